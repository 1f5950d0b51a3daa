"""Run the Python test suite on every CPython >= 3.10 on this machine and in
the platform roots, from the shipped wheels.

Usage: python -m tools.run_suites --wheel WHEEL... --requirements FILE --work DIR
           [--roots NAME,... --built NAME,... --cache DIR --pip-pin FILE] [--no-host] TESTS_DIR

Interpreters are the pyenv versions (under `pyenv root`, or ~/.pyenv when
pyenv is not on PATH), the system's own python3, those in the platform
roots, and those built here (tools/cpython_builds.py: musl, free-threaded,
which run without the GIL: PYTHON_GIL=0). Each gets a fresh virtual
environment holding the wheel meant for it and the pinned test
requirements, and runs pytest from an empty directory so that the source
tree cannot stand in for the installed wheel. In an interpreter built here,
pip must also refuse every other wheel of its architecture. Prints one line per interpreter; a supported minor
version with no interpreter is reported and skipped. Exits non-zero if any
run fails (pytest's "nothing collected" included).

With no roots and no interpreters built here, one wheel is enough: any
wheel this machine's CPythons install, such as the development build of
`make test`.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import glob
import hashlib
import os
import pathlib
import platform
import re
import shutil
import subprocess
import sys
import time

SUPPORTED = [(3, 10), (3, 11), (3, 12), (3, 13), (3, 14), (3, 15)]
MINIMUM = (3, 10)
# A hung suite must not hold CI for its whole time limit; emulation is
# several times slower.
SUITE_TIMEOUT = 1200
EMULATED_TIMEOUT = 2400

from tools import cpython_builds, platform_roots
from tools.release_tools import Target


def pyenv_root() -> pathlib.Path:
    tool = shutil.which("pyenv")
    if tool:
        out = subprocess.run([tool, "root"], capture_output=True, text=True, check=False)
        if out.returncode == 0 and out.stdout.strip():
            return pathlib.Path(out.stdout.strip())
    return pathlib.Path(os.environ.get("PYENV_ROOT", pathlib.Path.home() / ".pyenv"))


def candidates() -> list[pathlib.Path]:
    found = [pathlib.Path(p) for p in sorted(glob.glob(str(pyenv_root() / "versions" / "*" / "bin" / "python3")))]
    found += [pathlib.Path(p) for p in ("/usr/bin/python3", "/usr/local/bin/python3") if os.path.exists(p)]
    seen: set[pathlib.Path] = set()
    unique = []
    for p in found:
        real = p.resolve()
        if real not in seen:
            seen.add(real)
            unique.append(p)
    return unique


def version_of(python: pathlib.Path) -> tuple[str, tuple[int, int]] | None:
    code = "import sys, platform; print(platform.python_implementation(), platform.python_version())"
    out = subprocess.run([str(python), "-I", "-c", code], capture_output=True, text=True, check=False)
    if out.returncode != 0:
        return None
    impl, full = out.stdout.split()
    if impl != "CPython":
        return None
    major, minor = (int(x) for x in full.split(".")[:2])
    return full, (major, minor)


def summary_line(output: str) -> str:
    # pytest's closing line: "N passed, M skipped in T s" or "no tests ran".
    for line in reversed(output.strip().splitlines()):
        text = line.strip("= ")
        if re.search(r"\b(passed|failed|errors?|no tests ran)\b", text):
            return text
    return "(no summary)"


def wheel_for(wheels: list[pathlib.Path], target: Target) -> pathlib.Path:
    found = [w for w in wheels if Target.of_wheel(w) == target]
    if len(found) != 1:
        sys.exit(f"expected one {target.name} wheel among {[w.name for w in wheels]}")
    return found[0]


def wheelhouse(cache: pathlib.Path, reqs: pathlib.Path, pip_pin: str) -> pathlib.Path:
    """The test requirements and pip itself as wheels, for every root."""
    key = hashlib.sha256((reqs.read_text() + pip_pin).encode()).hexdigest()[:12]
    house = cache / f"wheelhouse-{key}"
    if (house / ".ready").is_file():
        return house
    shutil.rmtree(house, ignore_errors=True)
    # The oldest supported version, so every conditional requirement is there.
    proc = subprocess.run([sys.executable, "-m", "pip", "download", "-q", "--disable-pip-version-check",
                           "--only-binary=:all:", "--python-version", "3.10", "-d", str(house),
                           "-r", str(reqs), pip_pin], capture_output=True, text=True, check=False)
    if proc.returncode != 0:
        sys.exit(f"cannot fill the wheelhouse: {proc.stderr.strip()[-600:]}")
    (house / ".ready").touch()
    return house


def run_in_root(
    interp: platform_roots.Interpreter, wheel: pathlib.Path, reqs: pathlib.Path, house: pathlib.Path,
    tests: pathlib.Path, work: pathlib.Path,
) -> tuple[str, bool, str]:
    def step(cmd: list[str], timeout: int) -> subprocess.CompletedProcess[str]:
        return subprocess.run(cmd, capture_output=True, text=True, check=False, timeout=timeout,
                              cwd=work if interp.spec.arch == "arm64" else None)

    src = tests.parent
    if interp.built and Target.of_wheel(wheel).libc == "musl":
        # Under emulation sys.executable is the shell wrapper, in which pip
        # cannot find musl's loader and so offers no musllinux tag: the same
        # file is installed under the plain Linux tag instead.
        plain = work.parent / f"{interp.label}-wheel" / wheel.name.replace(
            "-".join(Target.of_wheel(wheel).platform_tags), f"linux_{Target.of_wheel(wheel).arch}")
        plain.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(wheel, plain)
        wheel = plain
    binds = {"/src": src, "/dist": wheel.parent, "/wheelhouse": house}
    try:
        prefix, vpy, where = interp.venv(work, binds)
    except subprocess.CalledProcessError as e:
        return "?", False, f"cannot create a venv: {e.stderr.strip()[-400:] if e.stderr else e}"
    ver = step([*prefix, vpy, "-c", "import platform; print(platform.python_version())"], 300)
    version = ver.stdout.strip() or "?"
    pip = next(house.glob("pip-*.whl")).name
    inst = step([*prefix, vpy, f"{where['/wheelhouse']}/{pip}/pip", "install", "-q", "--no-index",
                 "--disable-pip-version-check", "--find-links", where["/wheelhouse"],
                 "-r", f"{where['/src']}/{reqs.relative_to(src)}", f"{where['/dist']}/{wheel.name}"], 1800)
    if inst.returncode != 0:
        return version, False, f"install failed: {(inst.stdout + inst.stderr).strip()[-400:]}"
    limit = EMULATED_TIMEOUT if interp.spec.arch == "arm64" else SUITE_TIMEOUT
    suite = f"{where['/src']}/{tests.name}"
    start = time.monotonic()
    try:
        run = step([*prefix, vpy, "-m", "pytest", "-p", "no:cacheprovider", "--rootdir", suite, suite], limit)
    except subprocess.TimeoutExpired:
        return version, False, f"timed out after {limit}s"
    took = time.monotonic() - start
    if run.returncode != 0:
        log = work / "pytest.log"
        log.write_text(run.stdout + run.stderr, encoding="utf-8")
        print("\n".join(run.stdout.strip().splitlines()[-30:]), file=sys.stderr)
        return version, False, f"{summary_line(run.stdout)} (exit {run.returncode}, log {log})"
    return version, True, f"{summary_line(run.stdout)} (wall {took:.0f} s)"


def refused(vpy: pathlib.Path, others: list[pathlib.Path]) -> str | None:
    """Why not, if pip in `vpy` would install any of `others`."""
    for wheel in others:
        proc = subprocess.run([sys.executable, "-m", "pip", "--python", str(vpy), "install", "--dry-run",
                               "--no-deps", "--no-index", "--disable-pip-version-check", str(wheel)],
                              capture_output=True, text=True, check=False)
        if proc.returncode == 0 or "is not a supported wheel on this platform" not in proc.stderr:
            return f"pip did not refuse {wheel.name}: {(proc.stdout + proc.stderr).strip()[-300:]}"
    return None


def run_one(
    python: pathlib.Path, label: str, wheel: pathlib.Path, reqs: pathlib.Path,
    venv: pathlib.Path, tests: pathlib.Path, scratch: pathlib.Path,
    house: pathlib.Path | None = None, env: dict[str, str] | None = None, others: list[pathlib.Path] = [],
) -> tuple[bool, str]:
    def step(cmd: list[str], **kw: object) -> subprocess.CompletedProcess[str]:
        return subprocess.run(cmd, capture_output=True, text=True, check=False, **kw)  # type: ignore[call-overload, no-any-return]

    made = step([str(python), "-m", "venv", "--clear", "--without-pip", str(venv)])
    if made.returncode != 0:
        return False, f"cannot create a venv: {made.stderr.strip()}"
    vpy = venv / "bin" / "python"
    # The outer pip installs into the new environment, which saves
    # bootstrapping pip into each one; from the wheelhouse where the
    # interpreter has no TLS of its own.
    index = ["--no-index", "--find-links", str(house)] if house else []
    inst = step([sys.executable, "-m", "pip", "--python", str(vpy), "install", "-q",
                 "--disable-pip-version-check", *index, "-r", str(reqs), str(wheel)])
    if inst.returncode != 0:
        return False, f"install failed: {inst.stderr.strip()[-400:]}"
    if (problem := refused(vpy, others)) is not None:
        return False, problem
    scratch.mkdir(parents=True, exist_ok=True)
    start = time.monotonic()
    try:
        run = step([str(vpy), "-m", "pytest", "-p", "no:cacheprovider",
                    "--rootdir", str(tests), str(tests)], cwd=scratch, timeout=SUITE_TIMEOUT,
                   env=dict(os.environ, **(env or {})))
    except subprocess.TimeoutExpired:
        return False, f"timed out after {SUITE_TIMEOUT}s"
    took = time.monotonic() - start
    ok = run.returncode == 0
    if not ok:
        log = venv.parent / f"{label}.log"
        log.write_text(run.stdout + run.stderr, encoding="utf-8")
        tail = "\n".join(run.stdout.strip().splitlines()[-30:])
        print(tail, file=sys.stderr)
        return False, f"{summary_line(run.stdout)} (exit {run.returncode}, log {log})"
    return True, f"{summary_line(run.stdout)} (wall {took:.0f} s)"


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--wheel", required=True, nargs="+")
    ap.add_argument("--requirements", required=True)
    ap.add_argument("--work", required=True)
    ap.add_argument("--roots", default="", help="platform roots to run in, comma-separated")
    ap.add_argument("--built", default="", help="interpreters built here to run in (cpython_builds), comma-separated")
    ap.add_argument("--cache", help="where the roots and the wheelhouse are kept")
    ap.add_argument("--pip-pin", default="requirements-release.txt", help="file whose pip== line pins pip in roots")
    ap.add_argument("--no-host", action="store_true", help="only the roots and the interpreters built here")
    ap.add_argument("--jobs", type=int, default=1, help="this machine's interpreters run this many at a time")
    ap.add_argument("tests")
    args = ap.parse_args()
    wheels = [pathlib.Path(w).resolve() for w in args.wheel]
    roots = [r for r in args.roots.split(",") if r]
    built = [b for b in args.built.split(",") if b]
    # Only the host's interpreters: pip itself says whether they take it.
    host_only = len(wheels) == 1 and not roots and not built
    wheel = wheels[0] if host_only else wheel_for(wheels, Target(platform.machine()))
    reqs = pathlib.Path(args.requirements).resolve()
    tests = pathlib.Path(args.tests).resolve()
    work = pathlib.Path(args.work).resolve()
    work.mkdir(parents=True, exist_ok=True)

    interpreters = []
    for python in [] if args.no_host else candidates():
        info = version_of(python)
        if info and info[1] >= MINIMUM:
            interpreters.append((python, *info))
    failed = False

    def host_run(python: pathlib.Path, full: str) -> tuple[bool, str]:
        owner = python.parent.parent.name if "versions" in python.parts else "system"
        label = f"cpython-{full}-{owner}"
        return run_one(python, label, wheel, reqs, work / label, tests, work / "scratch" / label)

    # Each run is its own processes in its own folders: they can overlap.
    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, args.jobs)) as pool:
        runs = {pool.submit(host_run, python, full): (python, full) for python, full, _ in interpreters}
        for done in concurrent.futures.as_completed(runs):
            python, full = runs[done]
            ok, text = done.result()
            failed |= not ok
            print(f"CPython {full:<8} {'host ' + platform.machine():<36} {str(python):<45} "
                  f"{'ok  ' if ok else 'FAIL'} {text}", flush=True)
    have = {minor for _, _, minor in interpreters}
    if roots or built:
        cache = pathlib.Path(args.cache).resolve()
        pins = [ln.strip() for ln in pathlib.Path(args.pip_pin).read_text().splitlines() if ln.startswith("pip==")]
        house = wheelhouse(cache, reqs, pins[0] if pins else "pip")
    emulated: list[tuple[platform_roots.Interpreter, Target]] = []
    for name in built:
        build = cpython_builds.BUILDS[name]
        python = cpython_builds.ensure(name, cache)
        env = {"PYTHON_GIL": "0"} if build.free_threaded else {}
        if build.arch != platform.machine():
            root = platform_roots.ensure("arm64", cache)
            emulated.append((platform_roots.Interpreter(root, platform_roots.ROOTS["arm64"], str(python),
                                                        build.platform, tuple(env.items())), build.target))
            continue
        mine = wheel_for(wheels, build.target)
        others = [w for w in wheels if w != mine and Target.of_wheel(w).arch == build.arch]
        label = f"cpython-{name}"
        ok, text = run_one(python, label, mine, reqs, work / label, tests, work / "scratch" / label,
                           house=house, env=env, others=others)
        failed |= not ok
        info = version_of(python)
        full = info[0] if info else "?"
        print(f"CPython {full:<8} {build.platform:<36} {python.name:<45} "
              f"{'ok  ' if ok else 'FAIL'} {text}", flush=True)
    if roots or emulated:
        in_roots = [(i, Target("aarch64" if i.spec.arch == "arm64" else "x86_64"))
                    for i in platform_roots.interpreters(roots, cache)]
        for interp, target in [*in_roots, *emulated]:
            version, ok, text = run_in_root(interp, wheel_for(wheels, target), reqs, house, tests,
                                            work / interp.label)
            failed |= not ok
            if ok:
                have.add(tuple(int(x) for x in version.split(".")[:2]))  # type: ignore[arg-type]
            print(f"CPython {version:<8} {interp.platform:<36} {pathlib.Path(interp.python).name:<45} "
                  f"{'ok  ' if ok else 'FAIL'} {text}", flush=True)
    if args.no_host:
        sys.exit(1 if failed else 0)
    for minor in SUPPORTED:
        if minor not in have:
            print(f"CPython {minor[0]}.{minor[1]:<6} absent on this machine: skipped", flush=True)
    if not interpreters:
        sys.exit("no CPython >= 3.10 found")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
