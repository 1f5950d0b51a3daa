"""Debian roots in which the shipped wheels are proven, built once and cached.

- bullseye (glibc 2.31, x86_64) with CPython 3.11 built there from the
  upstream tarball of Debian's python3.11 source package (bullseye itself
  ships only 3.9);
- bookworm for arm64, its own python3.11 run through qemu-aarch64-static;
- testing (x86_64) with Debian's python3.14 and python3.15.

x86_64 roots run under bubblewrap: the root read-only as /, a private /tmp,
/proc and /dev, and the work folder and the clone bound in. The arm64 root
is never entered: qemu is called explicitly with -L (no binfmt_misc, which
is machine-wide), and a shell wrapper stands in for the interpreter so that
tests starting `sys.executable` go through qemu too.

Each root lives under CACHE/roots/<name>-<key>, the key hashing its recipe;
it is built in a scratch folder and renamed into place only when complete.
"""

from __future__ import annotations

import dataclasses
import hashlib
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

from tools import release_build
from tools.release_tools import Reporter, host_mirror

QEMU = "/usr/bin/qemu-aarch64-static"
# Debian's python3.11 source package, from the suite the host runs.
CPYTHON_SOURCE = "python3.11"
CPYTHON_PREFIX = "/opt/python3.11"


@dataclasses.dataclass(frozen=True)
class Root:
    name: str
    suite: str
    arch: str
    packages: tuple[str, ...]
    script: str | None = None
    # Interpreters inside, with the platform label they are reported under.
    pythons: tuple[str, ...] = ()
    platform: str = ""

    def recipe(self) -> str:
        # Bump the leading number when a build step below changes.
        return f"4|{self.suite}|{self.arch}|{','.join(self.packages)}|{self.script}|{self.pythons}"

    def key(self) -> str:
        return hashlib.sha256(self.recipe().encode()).hexdigest()[:12]


ROOTS = {
    "bullseye": Root("bullseye", "bullseye", "amd64",
                     ("gcc", "make", "libc6-dev", "zlib1g-dev", "libffi-dev", "libssl-dev", "xz-utils"),
                     pythons=(f"{CPYTHON_PREFIX}/bin/python3.11",), platform="x86_64 glibc 2.31 (Debian 11)"),
    # musl too: the aarch64 musl CPython is built against it and the wheel's
    # imports are checked against its libc.so.
    "arm64": Root("arm64", "bookworm", "arm64", ("python3", "python3-venv", "musl", "musl-dev"),
                  pythons=("/usr/bin/python3.11",), platform="aarch64 glibc 2.36 (Debian 12, qemu)"),
    "testing": Root("testing", "testing", "amd64",
                    ("python3.14", "python3.14-venv", "python3.15", "python3.15-venv"),
                    script="/usr/share/debootstrap/scripts/sid",
                    pythons=("/usr/bin/python3.14", "/usr/bin/python3.15"), platform="x86_64 Debian testing"),
}


report = Reporter("roots")
log = report.log


def sandbox(root: pathlib.Path, ro: dict[str, pathlib.Path], work: pathlib.Path | None = None,
            writable_root: bool = False) -> list[str]:
    """bubblewrap around a command run inside an x86_64 root: a clean
    environment, `ro` bound read-only and `work` writable as /w."""
    cmd = ["bwrap", "--bind" if writable_root else "--ro-bind", str(root), "/",
           "--proc", "/proc", "--dev", "/dev", "--tmpfs", "/tmp", "--unshare-pid", "--die-with-parent",
           "--clearenv", "--setenv", "HOME", "/tmp", "--setenv", "LC_ALL", "C.UTF-8",
           "--setenv", "PATH", "/usr/local/bin:/usr/bin:/bin", "--setenv", "PYTHONDONTWRITEBYTECODE", "1"]
    for inside, outside in ro.items():
        cmd += ["--ro-bind", str(outside), inside]
    if work is not None:
        cmd += ["--bind", str(work), "/w", "--chdir", "/w"]
    return cmd


def ensure(name: str, cache: pathlib.Path) -> pathlib.Path:
    spec = ROOTS[name]
    final = cache / "roots" / f"{name}-{spec.key()}"
    if (final / ".ready").is_file():
        return final
    final.parent.mkdir(parents=True, exist_ok=True)
    for stale in final.parent.glob(f"{name}-*"):
        shutil.rmtree(stale, ignore_errors=True)
    scratch = pathlib.Path(tempfile.mkdtemp(prefix=f".{name}-", dir=final.parent))
    logfile = final.parent / f"{name}.log"
    logfile.write_text("")
    log(f"building the {name} root ({spec.suite}, {spec.arch}); log {logfile}")
    try:
        root = scratch / "root"
        boot = ["debootstrap", "--variant=minbase", f"--arch={spec.arch}", f"--include={','.join(spec.packages)}"]
        if spec.arch == "arm64":
            # Second stage skipped: nothing in the root is ever run natively.
            report.run([*boot, "--foreign", spec.suite, str(root), host_mirror()], log=logfile)
            for deb in sorted((root / "var/cache/apt/archives").glob("*.deb")):
                report.run(["dpkg-deb", "-x", str(deb), str(root)], log=logfile)
        else:
            report.run([*boot, spec.suite, str(root), host_mirror(), *([spec.script] if spec.script else [])],
                       log=logfile)
        if name == "bullseye":
            build_cpython(root, scratch, logfile)
        shutil.rmtree(root / "var/cache/apt/archives", ignore_errors=True)
        (root / "var/cache/apt/archives/partial").mkdir(parents=True, exist_ok=True)
        root.rename(final)
        (final / ".ready").write_text(spec.recipe() + "\n")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return final


def build_cpython(root: pathlib.Path, scratch: pathlib.Path, logfile: pathlib.Path) -> None:
    # apt fetches the source package and checks it against the signed index;
    # the upstream tarball inside is built as it is (Debian's patches adapt
    # it to Debian's own layout, which a private prefix does not need).
    fetch = scratch / "src"
    fetch.mkdir()
    version = release_build.apt_source(CPYTHON_SOURCE, fetch)
    log(f"CPython from Debian's {CPYTHON_SOURCE} {version}")
    tarball = next(fetch.glob(f"{CPYTHON_SOURCE}_*.orig.tar.*"))
    src = root / "usr/src/cpython"
    src.mkdir(parents=True)
    report.run(["tar", "-xf", str(tarball), "-C", str(src), "--strip-components=1"], log=logfile)
    jobs = os.cpu_count() or 2
    script = (f"cd /usr/src/cpython && ./configure --prefix={CPYTHON_PREFIX} --with-ensurepip=no "
              f"LDFLAGS=-Wl,-rpath,{CPYTHON_PREFIX}/lib >/dev/null && make -j{jobs} >/dev/null "
              "&& make install >/dev/null")
    log("building CPython 3.11 inside the bullseye root (a few minutes, cached afterwards)")
    report.run([*sandbox(root, {}, writable_root=True), "sh", "-c", script], log=logfile)
    shutil.rmtree(src)


@dataclasses.dataclass
class Interpreter:
    """One interpreter inside a root, or an aarch64 one built here and run
    with the arm64 root's libraries: how to run a command next to it."""
    root: pathlib.Path
    spec: Root
    python: str  # path inside the root, or on the host when `built`
    built: str = ""  # the platform label of an interpreter built here
    env: tuple[tuple[str, str], ...] = ()  # set for every command

    @property
    def label(self) -> str:
        return f"{self.spec.name}-{pathlib.Path(self.python).name}" + (f"-{self.built}" if self.built else "")

    @property
    def platform(self) -> str:
        return self.built or self.spec.platform

    def venv(self, work: pathlib.Path, binds: dict[str, pathlib.Path]) -> tuple[list[str], str, dict[str, str]]:
        """Make a venv in `work`; return (prefix, venv python, path map).

        `prefix` goes before every command; paths given to it are the
        mapped ones (a path inside the sandbox, or the host path for arm64).
        """
        shutil.rmtree(work, ignore_errors=True)
        work.mkdir(parents=True)
        if self.spec.arch == "arm64":
            py = work / "venv" / "bin" / "python"
            python = self.python if self.built else str(self.root) + self.python
            subprocess.run([QEMU, "-L", str(self.root), python, "-m", "venv",
                            "--without-pip", str(work / "venv")], check=True, capture_output=True)
            # ULO_EMULATED lets the suite skip what only a real kernel can do.
            exports = "".join(f"export {k}={v}\n" for k, v in (("ULO_EMULATED", "qemu-aarch64"), *self.env))
            wrapper = f'#!/bin/sh\n{exports}exec {QEMU} -L "{self.root}" -0 "$0" "{python}" "$@"\n'
            for exe in (work / "venv" / "bin").iterdir():
                if exe.name.startswith("python"):
                    exe.unlink()
                    exe.write_text(wrapper)
                    exe.chmod(0o755)
            return [], str(py), {k: str(v) for k, v in binds.items()} | {"/w": str(work)}
        for mount_point in (*binds, "/w"):
            (self.root / mount_point.lstrip("/")).mkdir(exist_ok=True)
        prefix = sandbox(self.root, binds, work)
        subprocess.run([*prefix, self.python, "-m", "venv", "--without-pip", "/w/venv"], check=True,
                       capture_output=True)
        return prefix, "/w/venv/bin/python", {k: k for k in binds} | {"/w": "/w"}


def interpreters(names: list[str], cache: pathlib.Path) -> list[Interpreter]:
    out = []
    for name in names:
        root = ensure(name, cache)
        out += [Interpreter(root, ROOTS[name], py) for py in ROOTS[name].pythons]
    return out


def main() -> None:
    # Build (or find) the roots: `python -m tools.platform_roots CACHE [NAME...]`.
    cache = pathlib.Path(sys.argv[1])
    for name in sys.argv[2:] or list(ROOTS):
        print(ensure(name, cache))


if __name__ == "__main__":
    main()
