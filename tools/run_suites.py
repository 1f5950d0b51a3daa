"""Run the Python test suite on every CPython >= 3.10 on this machine.

Usage: run_suites.py --wheel WHEEL --requirements FILE --work DIR TESTS_DIR

Interpreters are the pyenv versions (under `pyenv root`, or ~/.pyenv when
pyenv is not on PATH) and the system's own python3. Each gets a fresh
virtual environment holding the wheel and the pinned test requirements, and
runs pytest from an empty directory so that the source tree cannot stand in
for the installed wheel. Prints one line per interpreter; a supported minor
version with no interpreter is reported and skipped. Exits non-zero if any
run fails (pytest's "nothing collected" included).
"""

from __future__ import annotations

import argparse
import glob
import os
import pathlib
import re
import shutil
import subprocess
import sys
import time

SUPPORTED = [(3, 10), (3, 11), (3, 12), (3, 13)]
MINIMUM = (3, 10)
# A hung suite must not hold CI for its whole time limit.
SUITE_TIMEOUT = 1200


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


def run_one(
    python: pathlib.Path, label: str, wheel: pathlib.Path, reqs: pathlib.Path,
    venv: pathlib.Path, tests: pathlib.Path, scratch: pathlib.Path,
) -> tuple[bool, str]:
    def step(cmd: list[str], **kw: object) -> subprocess.CompletedProcess[str]:
        return subprocess.run(cmd, capture_output=True, text=True, check=False, **kw)  # type: ignore[call-overload, no-any-return]

    made = step([str(python), "-m", "venv", "--clear", "--without-pip", str(venv)])
    if made.returncode != 0:
        return False, f"cannot create a venv: {made.stderr.strip()}"
    vpy = venv / "bin" / "python"
    # The outer pip installs into the new environment, which saves
    # bootstrapping pip into each one.
    inst = step([sys.executable, "-m", "pip", "--python", str(vpy), "install", "-q",
                 "--disable-pip-version-check", "-r", str(reqs), str(wheel)])
    if inst.returncode != 0:
        return False, f"install failed: {inst.stderr.strip()[-400:]}"
    scratch.mkdir(parents=True, exist_ok=True)
    start = time.monotonic()
    try:
        run = step([str(vpy), "-m", "pytest", "-p", "no:cacheprovider",
                    "--rootdir", str(tests), str(tests)], cwd=scratch, timeout=SUITE_TIMEOUT)
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
    ap.add_argument("tests")
    args = ap.parse_args()
    if len(args.wheel) != 1:
        sys.exit(f"expected exactly one wheel, got {args.wheel}")
    wheel = pathlib.Path(args.wheel[0]).resolve()
    reqs = pathlib.Path(args.requirements).resolve()
    tests = pathlib.Path(args.tests).resolve()
    work = pathlib.Path(args.work).resolve()
    work.mkdir(parents=True, exist_ok=True)

    interpreters = []
    for python in candidates():
        info = version_of(python)
        if info and info[1] >= MINIMUM:
            interpreters.append((python, *info))
    failed = False
    for python, full, minor in interpreters:
        owner = python.parent.parent.name if "versions" in python.parts else "system"
        label = f"cpython-{full}-{owner}"
        ok, text = run_one(python, label, wheel, reqs, work / label, tests, work / "scratch" / label)
        failed |= not ok
        print(f"CPython {full:<8} {str(python):<45} {'ok  ' if ok else 'FAIL'} {text}", flush=True)
    have = {minor for _, _, minor in interpreters}
    for minor in SUPPORTED:
        if minor not in have:
            print(f"CPython {minor[0]}.{minor[1]:<6} absent on this machine: skipped", flush=True)
    if not interpreters:
        sys.exit("no CPython >= 3.10 found")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
