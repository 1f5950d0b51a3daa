"""CPythons built here, for the wheels no distribution's interpreter can prove:
the free-threaded build and CPython on musl, for x86_64 and aarch64. Each is
built once from the upstream tarball inside Debian's pythonX.Y source package
and cached under CACHE/cpython/<name>-<key>, the key hashing its recipe and
source version.

aarch64 interpreters are cross-built with Debian's aarch64 gcc (for musl,
against the musl of the arm64 root of tools/platform_roots.py) by the
x86_64 build of the same version, and run with qemu-aarch64-static -L and
that root, never through binfmt_misc.

Adding an interpreter is one line in BUILDS once Debian carries its source
(for example `Build("3.14t", "3.14", free_threaded=True)`).

Usage: python -m tools.cpython_builds CACHE [NAME...]   prints each interpreter's path
"""

from __future__ import annotations

import dataclasses
import hashlib
import os
import pathlib
import shutil
import sys
import tempfile

from tools import platform_roots, release_build
from tools.release_tools import Reporter, Target, host_mirror

# Suites whose source indexes are read: the newest CPython sources are in
# testing, and a stable release keeps one when testing moves on.
SOURCE_SUITES = ("trixie", "testing")


@dataclasses.dataclass(frozen=True)
class Build:
    name: str
    minor: str
    free_threaded: bool = False
    libc: str = "gnu"
    arch: str = "x86_64"

    @property
    def source(self) -> str:
        return f"python{self.minor}"

    @property
    def executable(self) -> str:
        return f"python{self.minor}{'t' if self.free_threaded else ''}"

    @property
    def target(self) -> Target:
        """The wheel this interpreter takes."""
        return Target(self.arch, self.libc, self.minor if self.free_threaded else "")

    @property
    def triple(self) -> str:
        return f"{self.arch}-linux-{self.libc}"

    @property
    def platform(self) -> str:
        libc = "musl 1.2.3 (Debian 12)" if self.libc == "musl" else "glibc"
        gil = ", free-threaded, PYTHON_GIL=0" if self.free_threaded else ""
        return f"{self.arch} {libc}{gil}" + (" (qemu)" if self.arch != "x86_64" else "")

    @property
    def build_python(self) -> str | None:
        """The x86_64 build that cross-builds this one."""
        return None if self.arch == "x86_64" else self.name.removesuffix(f"-{self.arch}")

    def recipe(self, version: str) -> str:
        # Bump the leading number when a build step below changes. (The name
        # holds the architecture; glibc is spelt as the first recipes had it.)
        libc = "glibc" if self.libc == "gnu" else self.libc
        return f"1|{self.name}|{self.minor}|{self.free_threaded}|{libc}|{version}"


BUILDS = {b.name: b for b in (
    Build("3.13t", "3.13", free_threaded=True),
    Build("3.13-musl", "3.13", libc="musl"),
    Build("3.13t-aarch64", "3.13", free_threaded=True, arch="aarch64"),
    Build("3.13-musl-aarch64", "3.13", libc="musl", arch="aarch64"),
)}

report = Reporter("cpython")
log = report.log


def private_apt(cache: pathlib.Path) -> dict[str, str]:
    """An apt state of our own for the source suites, so the host's sources
    and lists stay as they are; the archive keyring checks the indexes."""
    state = cache / "apt-sources"
    conf = state / "apt.conf"
    lines = "".join(f"deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] {host_mirror()} {s} main\n"
                    for s in SOURCE_SUITES)
    if not conf.is_file() or (state / "sources.list").read_text() != lines:
        for sub in ("lists/partial", "cache/archives/partial", "parts"):
            (state / sub).mkdir(parents=True, exist_ok=True)
        (state / "status").touch()
        (state / "sources.list").write_text(lines)
        conf.write_text(f'Dir::Etc::sourcelist "{state}/sources.list";\nDir::Etc::sourceparts "{state}/parts";\n'
                        f'Dir::State::Lists "{state}/lists";\nDir::State::status "{state}/status";\n'
                        f'Dir::Cache "{state}/cache";\n')
        (state / "updated").unlink(missing_ok=True)
    env = dict(os.environ, APT_CONFIG=str(conf))
    if not (state / "updated").is_file():
        report.run(["apt-get", "update", "-qq"], env=env)
        (state / "updated").touch()
    return env


def source_tarball(build: Build, cache: pathlib.Path) -> tuple[pathlib.Path, str]:
    """The upstream tarball, kept once fetched: testing drops old versions."""
    keep = cache / "sources" / build.source
    found = sorted(keep.glob("*.orig.tar.*")) if keep.is_dir() else []
    if found:
        return found[-1], (keep / "version").read_text().strip()
    with tempfile.TemporaryDirectory() as tmp:
        t = pathlib.Path(tmp)
        version = release_build.apt_source(build.source, t, env=private_apt(cache))
        tarball = next(t.glob("*.orig.tar.*"))
        keep.mkdir(parents=True, exist_ok=True)
        shutil.copy2(tarball, keep / tarball.name)
        (keep / "version").write_text(version + "\n")
        return keep / tarball.name, version


def toolchain(build: Build, work: pathlib.Path, root: pathlib.Path) -> dict[str, str]:
    """CC and friends for `build`. For musl, musl-gcc's specs as configure
    needs them: the folder with libc.so searched first (else libc.a is linked
    in), paths into `root` (the host, or the arm64 root), and the triplet
    answered."""
    gcc = f"{build.arch}-linux-gnu-gcc"
    tools = {"CC": gcc, "AR": f"{build.arch}-linux-gnu-ar", "RANLIB": f"{build.arch}-linux-gnu-ranlib"}
    if build.libc != "musl":
        return tools
    triple = build.triple
    specs = (root / "usr/lib" / triple / "musl-gcc.specs").read_text()
    for folder in (f"/usr/include/{triple}", f"/usr/lib/{triple}"):
        specs = specs.replace(folder, f"{root}{folder}".replace("//", "/"))
    specs = specs.replace("*link_libgcc:\n", f"*link_libgcc:\n-L{root / 'lib' / triple} ", 1)
    (work / "musl.specs").write_text(specs)
    cc = work / "musl-cc"
    cc.write_text(f'#!/bin/sh\n[ "$1" = --print-multiarch ] && {{ echo {triple}; exit 0; }}\n'
                  f'exec {gcc} "$@" -specs "{work}/musl.specs"\n')
    cc.chmod(0o755)
    return tools | {"CC": str(cc)}


def build_zlib(cache: pathlib.Path, work: pathlib.Path, env: dict[str, str], logfile: pathlib.Path) -> pathlib.Path:
    # ensurepip and pip unpack wheels with zlib; musl has none of its own.
    fetch = work / "zlib-src"
    fetch.mkdir()
    release_build.apt_source("zlib", fetch)
    report.run(["tar", "-xf", str(next(fetch.glob("zlib_*.orig.tar.*"))), "-C", str(fetch)], log=logfile)
    src = next(p for p in fetch.iterdir() if p.is_dir())
    prefix = work / "zlib"
    report.run(["./configure", "--static", f"--prefix={prefix}"], log=logfile, cwd=src,
               env=env | {"CFLAGS": "-O2 -fPIC", "CHOST": env["CC"]})
    report.run(["make", f"-j{os.cpu_count() or 2}", "install"], log=logfile, cwd=src, env=env)
    return prefix


def ensure(name: str, cache: pathlib.Path) -> pathlib.Path:
    """The interpreter's path, building it first if the cache has none."""
    build = BUILDS[name]
    tarball, version = source_tarball(build, cache)
    key = hashlib.sha256(build.recipe(version).encode()).hexdigest()[:12]
    final = cache / "cpython" / f"{name}-{key}"
    python = final / "bin" / build.executable
    if (final / ".ready").is_file():
        return python
    final.parent.mkdir(parents=True, exist_ok=True)
    for stale in final.parent.glob(f"{name}-{'?' * len(key)}"):
        shutil.rmtree(stale, ignore_errors=True)
    logfile = final.parent / f"{name}.log"
    logfile.write_text("")
    log(f"building CPython {name} from Debian's {build.source} {version} (minutes; cached afterwards); log {logfile}")
    work = pathlib.Path(tempfile.mkdtemp(prefix=f".{name}-", dir=final.parent))
    try:
        builder = build.build_python
        cross = builder is not None
        root = platform_roots.ensure("arm64", cache) if cross else pathlib.Path("/")
        env = dict(os.environ, LC_ALL="C") | toolchain(build, work, root)
        cppflags, ldflags = [], [f"-Wl,-rpath,{final}/lib"]
        flags = [f"--prefix={final}"]
        if build.free_threaded:
            flags.append("--disable-gil")
        if builder is not None:
            # The target cannot run here: configure is told what it would find.
            site = "ac_cv_file__dev_ptmx=yes\nac_cv_file__dev_ptc=no\nac_cv_buggy_getaddrinfo=no\n"
            if build.libc == "musl":
                # The cross compiler's libatomic and the start-up of its
                # outline atomics are built for glibc (__getauxval): atomics
                # are inlined instead.
                site += "ac_cv_libatomic_needed=no\n"
                flags.append("CFLAGS=-mno-outline-atomics")
            (work / "config.site").write_text(site)
            env["CONFIG_SITE"] = str(work / "config.site")
            flags += [f"--host={build.triple}", "--build=x86_64-linux-gnu", "--with-ensurepip=no",
                      f"--with-build-python={ensure(builder, cache)}"]
        else:
            flags.append("--with-ensurepip=install")
        if build.libc == "musl" or cross:
            # The host's libraries are not the target's: pkg-config must not
            # offer them to configure.
            (work / "no-pc").mkdir()
            env |= {"PKG_CONFIG_LIBDIR": str(work / "no-pc"), "PKG_CONFIG_PATH": ""}
            zlib = build_zlib(cache, work, env, logfile)
            cppflags.append(f"-I{zlib}/include")
            ldflags.append(f"-L{zlib}/lib")
        flags += [f"CPPFLAGS={' '.join(cppflags)}", f"LDFLAGS={' '.join(ldflags)}"]
        src = work / "src"
        src.mkdir()
        report.run(["tar", "-xf", str(tarball), "-C", str(src), "--strip-components=1"], log=logfile)
        report.run(["./configure", *flags], log=logfile, cwd=src, env=env)
        report.run(["make", f"-j{os.cpu_count() or 2}"], log=logfile, cwd=src, env=env)
        report.run(["make", "install"], log=logfile, cwd=src, env=env)
        (final / ".ready").write_text(build.recipe(version) + "\n")
    except BaseException:
        shutil.rmtree(final, ignore_errors=True)
        raise
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return python


def main() -> None:
    cache = pathlib.Path(sys.argv[1]).resolve()
    for name in sys.argv[2:] or list(BUILDS):
        print(ensure(name, cache))


if __name__ == "__main__":
    main()
