"""Build the release: the sdist, one wheel per target, SHA256SUMS.

Usage: python -m tools.release_build --out DIR [--targets x86_64-gnu,...] [--cache DIR]

Targets (release_tools.TARGETS): abi3 wheels for manylinux2014 (glibc 2.17)
and musllinux_1_2, and free-threaded wheels for manylinux2014, each for
x86_64 and aarch64. They are cross-built with Zig's clang and libc++, with
libsodium compiled from Debian's source package and linked in statically.
A free-threaded wheel is built against the headers of the free-threaded
CPython that tools/cpython_builds.py makes. Everything expensive (the toolchain, libsodium's builds, Zig's
own cache) lives under --cache, keyed by what went into it, so a changed
recipe rebuilds. Bytes depend only on the commit: SOURCE_DATE_EPOCH comes
from it, paths are mapped out, and the archives are written in a fixed order
with fixed times and modes (tools/wheel_finish.py). A dirty tree builds, but
the log and the wheel's SBOM say so.
"""

from __future__ import annotations

import argparse
import functools
import hashlib
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

from tools import wheel_finish
from tools.release_tools import TARGETS, Reporter, Target

ROOT = pathlib.Path(__file__).resolve().parent.parent
SODIUM_SOURCE = "libsodium"
# Raise when the libsodium recipe below changes, so cached builds are redone.
SODIUM_RECIPE = 4
# glibc functions libsodium would use if the build machine has them, all
# newer than the 2.17 target: its portable fallbacks are used instead.
SODIUM_NOT_ON_2_17 = ("ac_cv_func_getrandom=no", "ac_cv_func_getentropy=no", "ac_cv_func_explicit_bzero=no",
                      "ac_cv_func_memset_s=no", "ac_cv_func_arc4random=no", "ac_cv_func_arc4random_buf=no")
# The same hardening as the module (cmake/zig-common.cmake). libsodium's own
# -fstack-protector would come after ours and weaken it, hence --disable-ssp.
SODIUM_CFLAGS = "-O2 -g0 -fstack-protector-strong -D_FORTIFY_SOURCE=3"
HOW_TO_GET = "`make deps` installs the Debian packages and adds the deb-src entry"


report = Reporter("release")
log, die, run = report.log, report.fail, report.run


def default_cache() -> pathlib.Path:
    base = os.environ.get("XDG_CACHE_HOME") or str(pathlib.Path.home() / ".cache")
    return pathlib.Path(base) / "ulo-protocol"


def zig_version() -> str:
    for line in (ROOT / "requirements-release.txt").read_text().splitlines():
        if line.startswith("ziglang=="):
            return line.split("==", 1)[1].strip()
    die("requirements-release.txt pins no ziglang version")


# --- what must be on the machine ---------------------------------------------


def preflight(cache: pathlib.Path) -> None:
    """Say everything that is missing at once, and how to get it."""
    missing = []
    for tool, package in (("autoreconf", "autoconf"), ("automake", "automake"),
                          ("libtoolize", "libtool"), ("dpkg-source", "dpkg-dev"),
                          ("apt-get", "apt"), ("git", "git")):
        if shutil.which(tool) is None:
            missing.append(f"{tool} (Debian package {package}): {HOW_TO_GET}")
    if shutil.which("apt-cache") is not None:
        src = subprocess.run(["apt-cache", "showsrc", SODIUM_SOURCE], capture_output=True, text=True, check=False)
        if "Package: " + SODIUM_SOURCE not in src.stdout:
            missing.append(f"Debian's {SODIUM_SOURCE} source package (no deb-src entry in apt's sources): {HOW_TO_GET}")
    if not zig_binary(cache).is_file():
        missing.append(f"the Zig toolchain (ziglang=={zig_version()} under {zig_home(cache)}): "
                       "`make release-toolchain` installs it from requirements-release.txt (make dist does so first)")
    if missing:
        die("cannot build the release wheels; missing:\n  - " + "\n  - ".join(missing))


# --- toolchain -----------------------------------------------------------------


def zig_home(cache: pathlib.Path) -> pathlib.Path:
    return cache / f"ziglang-{zig_version()}"


def zig_binary(cache: pathlib.Path) -> pathlib.Path:
    return zig_home(cache) / "ziglang" / "zig"


def zig_env(cache: pathlib.Path) -> dict[str, str]:
    env = dict(os.environ)
    env["ZIG_GLOBAL_CACHE_DIR"] = str(cache / "zig-cache")
    env["ZIG_LOCAL_CACHE_DIR"] = str(cache / "zig-cache")
    env["ULO_ZIG_BIN"] = str(wrappers(cache))
    return env


def wrappers(cache: pathlib.Path) -> pathlib.Path:
    """One compiler per architecture and C library with the triple built in
    (CMake and autoconf both want a single program), plus ar and ranlib."""
    bindir = zig_home(cache) / "bin"
    bindir.mkdir(exist_ok=True)
    zig = zig_binary(cache)
    scripts = {f"{t.arch}-{t.libc}-{lang}": f'exec "{zig}" {lang} -target {t.zig_triple} "$@"'
               for t in TARGETS for lang in ("cc", "c++")}
    scripts.update({tool: f'exec "{zig}" {tool} "$@"' for tool in ("ar", "ranlib")})
    for name, body in scripts.items():
        path = bindir / name
        text = f"#!/bin/sh\n{body}\n"
        if not path.is_file() or path.read_text() != text:
            path.write_text(text)
            path.chmod(0o755)
    return bindir


# --- libsodium -------------------------------------------------------------------


def source_versions(package: str, env: dict[str, str] | None = None) -> list[str]:
    """The versions apt's source index lists, newest first."""
    index = run(["apt-cache", "showsrc", "--only-source", package], env=env)
    versions = {line.split(":", 1)[1].strip() for line in index.splitlines() if line.startswith("Version:")}
    return sorted(versions, key=version_key, reverse=True)


def apt_download(package: str, version: str, dest: pathlib.Path, env: dict[str, str] | None = None) -> str | None:
    """Fetch one source package version into `dest`; apt checks every file
    against the signed archive index. Returns apt's complaint on failure (an
    index may list a security update whose files a mirror does not serve yet)."""
    proc = subprocess.run(["apt-get", "source", "--download-only", "-qq", f"{package}={version}"],
                          cwd=dest, env=env, capture_output=True, text=True, check=False)
    if proc.returncode == 0:
        return None
    for partial in dest.iterdir():
        partial.unlink()
    lines = proc.stderr.strip().splitlines()
    return lines[-1] if lines else f"apt-get exited {proc.returncode}"


def apt_source(package: str, dest: pathlib.Path, env: dict[str, str] | None = None) -> str:
    """The newest version of `package` that can be downloaded, into `dest`."""
    errors = []
    for version in source_versions(package, env):
        problem = apt_download(package, version, dest, env)
        if problem is None:
            return version
        errors.append(f"{version}: {problem}")
    die(f"cannot download Debian source package {package}:\n  " + "\n  ".join(errors or ["not in the index"]))


@functools.cache
def sodium_source(cache: pathlib.Path) -> tuple[pathlib.Path, str]:
    """Debian's source package, unpacked with Debian's patches and made
    configurable; a version can be pinned with ULO_SODIUM_VERSION."""
    pinned = os.environ.get("ULO_SODIUM_VERSION")
    versions = source_versions(SODIUM_SOURCE)
    if pinned and pinned not in versions:
        die(f"{SODIUM_SOURCE} {pinned} is not in apt's source index (has {', '.join(versions)})")
    tree_root = cache / "src"
    tree_root.mkdir(parents=True, exist_ok=True)
    errors = []
    for want in [pinned] if pinned else versions:
        tree = tree_root / f"{SODIUM_SOURCE}-{want}"
        if (tree / ".ready").is_file():
            return tree, want
        with tempfile.TemporaryDirectory(dir=tree_root) as tmp:
            t = pathlib.Path(tmp)
            problem = apt_download(SODIUM_SOURCE, want, t)
            if problem is not None:
                errors.append(f"{want}: {problem}")
                continue
            log(f"unpacking Debian source {SODIUM_SOURCE} {want}")
            shutil.rmtree(tree, ignore_errors=True)
            dsc = next(t.glob("*.dsc"))
            run(["dpkg-source", "-x", dsc.name, "tree"], cwd=t)
            run(["./autogen.sh", "-s"], cwd=t / "tree", log=t / "autogen.log")
            orig = next(t.glob("*.orig.tar.*"))
            (t / "tree" / ".orig-sha256").write_text(hashlib.sha256(orig.read_bytes()).hexdigest() + "\n")
            (t / "tree").rename(tree)
        (tree / ".ready").write_text(want + "\n")
        return tree, want
    die(f"cannot download Debian source package {SODIUM_SOURCE}:\n  " + "\n  ".join(errors))


def _dpkg_cmp(a: str, b: str) -> int:
    if a == b:
        return 0
    lower = subprocess.run(["dpkg", "--compare-versions", a, "lt", b], check=False).returncode == 0
    return -1 if lower else 1


version_key = functools.cmp_to_key(_dpkg_cmp)


def sodium_compiler(cache: pathlib.Path, target: Target) -> tuple[str, str]:
    """(CC, description). On x86_64 glibc Debian's GCC: clang's code for
    libsodium's field arithmetic runs about 6% more instructions per
    verification. Which glibc symbols the objects bind to is decided by the
    final link against the 2.17 target, so the host headers do no harm once
    the functions newer than 2.17 are ruled out (SODIUM_NOT_ON_2_17); for
    musl the same through Debian's musl-gcc (musl 1.2.3). Elsewhere Zig's
    clang."""
    if target.arch == "x86_64":
        version = run(["gcc", "-dumpfullversion"]).strip()
        if target.libc == "musl":
            return "musl-gcc", f"Debian gcc {version} with Debian's musl"
        return "gcc", f"Debian gcc {version}"
    return f"{wrappers(cache)}/{target.arch}-{target.libc}-cc", f"zig {zig_version()} clang"


def sodium_build(cache: pathlib.Path, target: Target) -> tuple[pathlib.Path, dict[str, str]]:
    """libsodium for one architecture and C library; free-threaded wheels
    share their abi3 sibling's."""
    src, version = sodium_source(cache)
    cflags = SODIUM_CFLAGS
    cc, compiler = sodium_compiler(cache, target)
    arch = target.arch if target.libc == "gnu" else f"{target.arch}-{target.libc}"
    key = hashlib.sha256(f"{SODIUM_RECIPE}|{version}|{compiler}|{arch}|{cflags}".encode()).hexdigest()[:16]
    prefix = cache / "sodium" / f"{version}-{arch}-{key}"
    info = {"version": version, "upstream": version.split("-")[0], "compiler": compiler,
            "orig_sha256": (src / ".orig-sha256").read_text().strip(), "license_file": str(src / "LICENSE")}
    if (prefix / ".ready").is_file():
        return prefix, info
    log(f"building libsodium {version} for {arch} with {compiler} (cached afterwards)")
    shutil.rmtree(prefix, ignore_errors=True)
    with tempfile.TemporaryDirectory(prefix="sodium-build-") as tmp:
        build = pathlib.Path(tmp)
        env = zig_env(cache)
        bindir = wrappers(cache)
        # The source and build folders are mapped to fixed names, so no cache
        # path reaches an assertion message in the module.
        maps = f" -ffile-prefix-map={src}=libsodium -ffile-prefix-map={build}=libsodium"
        run([str(src / "configure"), f"--host={target.arch}-linux-{target.libc}", "--disable-shared", "--with-pic",
             "--disable-ssp", f"--prefix={prefix}", f"CC={cc}", f"CFLAGS={cflags}{maps}",
             f"AR={bindir}/ar", f"RANLIB={bindir}/ranlib", *SODIUM_NOT_ON_2_17],
            cwd=build, env=env, log=build / "configure.log")
        jobs = str(os.cpu_count() or 2)
        run(["make", f"-j{jobs}", "install"], cwd=build, env=env, log=build / "make.log")
    (prefix / ".ready").write_text(key + "\n")
    return prefix, info


# --- the source tree -----------------------------------------------------------


def git(*args: str) -> str:
    return run(["git", "-C", str(ROOT), *args]).strip()


def tree_state() -> dict[str, str]:
    commit = git("rev-parse", "HEAD")
    epoch = git("log", "-1", "--format=%ct", "HEAD")
    changed = [ln for ln in git("status", "--porcelain", "--untracked-files=all").splitlines() if ln.strip()]
    return {"commit": commit, "epoch": epoch, "dirty": "dirty" if changed else "clean",
            "changed": str(len(changed))}


# --- the artifacts ---------------------------------------------------------------


def build_sdist(out: pathlib.Path, env: dict[str, str], logs: pathlib.Path) -> pathlib.Path:
    run([sys.executable, "-m", "build", "--sdist", "--no-isolation", "--outdir", str(out), str(ROOT)],
        env=env, log=logs / "sdist.log")
    return next(out.glob("*.tar.gz"))


def free_threaded_builder(cache: pathlib.Path, minor: str) -> pathlib.Path:
    """The free-threaded interpreter's own build environment: scikit-build-core
    reads the wheel tag and the headers from the interpreter it runs in."""
    from tools import cpython_builds

    python = cpython_builds.ensure(f"{minor}t", cache)
    reqs = ROOT / "requirements-build.txt"
    key = hashlib.sha256(f"{python}|{reqs.read_text()}".encode()).hexdigest()[:12]
    venv = cache / f"build-venv-{minor}t-{key}"
    if not (venv / ".ready").is_file():
        shutil.rmtree(venv, ignore_errors=True)
        run([str(python), "-m", "venv", str(venv)])
        run([str(venv / "bin" / "python"), "-m", "pip", "install", "-q", "--disable-pip-version-check",
             "-r", str(reqs)])
        (venv / ".ready").touch()
    return venv / "bin" / "python"


def build_wheel(target: Target, cache: pathlib.Path, env: dict[str, str], raw: pathlib.Path,
                logs: pathlib.Path) -> pathlib.Path:
    sodium, _ = sodium_build(cache, target)
    # The release's settings are all given below; none come from the caller.
    env = {k: v for k, v in env.items() if not k.startswith("SKBUILD_")}
    env.update({k: v for k, v in zig_env(cache).items() if k.startswith(("ZIG_", "ULO_"))})
    env["ULO_ZIG_LIBC"] = target.libc
    # Only the static libsodium just built, never the system's.
    env["PKG_CONFIG_LIBDIR"] = str(sodium / "lib" / "pkgconfig")
    env["PKG_CONFIG_PATH"] = ""
    env["_PYTHON_HOST_PLATFORM"] = f"linux-{target.arch}"
    python, defines = sys.executable, []
    if target.free_threaded:
        python = str(free_threaded_builder(cache, target.free_threaded))
        # The building interpreter is x86_64; the module's name is the target's.
        defines = [f"-Ccmake.define.Python_SOABI={target.soabi}"]
    build_dir = ROOT / "build" / "release" / target.name
    # A toolchain change is not picked up by an existing CMake cache.
    stamp = build_dir / "toolchain.key"
    key = f"{wrappers(cache)}|{sodium.name}|{python}|{(ROOT / 'cmake' / 'zig-common.cmake').read_text()}"
    if not stamp.is_file() or stamp.read_text() != key:
        shutil.rmtree(build_dir, ignore_errors=True)
        build_dir.mkdir(parents=True)
        stamp.write_text(key)
    dest = raw / target.name
    shutil.rmtree(dest, ignore_errors=True)
    log(f"building the {target.name} wheel")
    run([python, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "--disable-pip-version-check",
         "-w", str(dest),
         f"-Ccmake.define.CMAKE_TOOLCHAIN_FILE={ROOT / 'cmake' / f'zig-{target.arch}.cmake'}",
         "-Ccmake.define.ULO_REPRODUCIBLE=ON", "-Ccmake.define.ULO_WERROR=ON", *defines,
         f"-Cbuild-dir={build_dir}", "-Cinstall.strip=false", "-Ccmake.build-type=Release",
         str(ROOT)], env=env, log=logs / f"wheel-{target.name}.log")
    return next(dest.glob("*.whl"))


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--out", required=True)
    ap.add_argument("--targets", default=",".join(t.name for t in TARGETS))
    ap.add_argument("--cache", default=str(default_cache()))
    ap.add_argument("--preflight", action="store_true", help="only check what is needed")
    args = ap.parse_args()
    cache = pathlib.Path(args.cache).resolve()
    known = {t.name: t for t in TARGETS}
    for name in args.targets.split(","):
        if name and name not in known:
            die(f"unknown target {name}; known: {', '.join(known)}")
    targets = [known[name] for name in args.targets.split(",") if name]
    preflight(cache)
    if args.preflight:
        log("toolchain and sources present")
        return
    out = pathlib.Path(args.out).resolve()
    logs = ROOT / "build" / "release" / "logs"
    raw = ROOT / "build" / "release" / "raw"
    # Steps append to their logs: each run starts them afresh.
    for d in (out, logs):
        shutil.rmtree(d, ignore_errors=True)
    for d in (out, logs, raw):
        d.mkdir(parents=True, exist_ok=True)

    state = tree_state()
    if state["dirty"] == "dirty":
        log(f"WARNING: the tree has {state['changed']} uncommitted change(s); "
            "the wheels are marked dirty and are not reproducible from the commit")
    env = dict(os.environ, SOURCE_DATE_EPOCH=state["epoch"], PYTHONHASHSEED="0", LC_ALL="C", TZ="UTC")

    sdist = build_sdist(out, env, logs)
    wheels = []
    for target in targets:
        raw_wheel = build_wheel(target, cache, env, raw, logs)
        _, sodium = sodium_build(cache, target)
        wheels.append(wheel_finish.finish(
            raw_wheel, out, target=target, epoch=int(state["epoch"]), commit=state["commit"],
            tree=state["dirty"], sodium=sodium, zig_version=zig_version(), zig_lib=zig_home(cache) / "ziglang",
            project_license=ROOT / "LICENSE"))
    sums = out / "SHA256SUMS"
    lines = [f"{hashlib.sha256(p.read_bytes()).hexdigest()}  {p.name}\n" for p in sorted([sdist, *wheels])]
    sums.write_text("".join(lines))
    for p in sorted(out.iterdir()):
        log(f"{p.name} ({p.stat().st_size:,} bytes)")


if __name__ == "__main__":
    main()
