"""Check a built wheel the way a user would receive it.

Usage: python -m tools.check_wheel WHEEL... --venv DIR [--python PY]
           [--sdist SDIST [--constraints FILE]] [--smoke SCRIPT]

For every wheel (one per release target, release_tools.TARGETS):
1. the tag is its target's (cp310-abi3 for every interpreter from 3.10 on,
   or cp313-cp313t; manylinux2014 or musllinux_1_2), and `auditwheel show`
   agrees;
2. abi3 wheels: abi3audit --strict finds no call outside the limited API;
3. the extension exports nothing but its module entry and needs nothing but
   the C library: libsodium and the C++ runtime are linked in;
4. every symbol it imports is the Python C API or exists in the oldest C
   library of its tag: glibc-versioned at 2.17 or older, or (musl, which has
   no versions) exported by musl 1.2's libc.so; an unversioned glibc import
   would fail to load on older systems, and auditwheel does not see it;
5. the metadata: version, licence, Python requirement, console script, the
   type stubs, the licence texts of what is linked in, and the SBOM naming
   libsodium;
Then, for the wheel of this machine's interpreter (abi3, glibc):
6. it installs into a fresh virtual environment, imports there, and its
   console script runs (plus an optional smoke script);
7. pip refuses every other wheel with its platform error;
8. with --sdist: a wheel builds from the sdist in a fresh environment.
The musl and free-threaded wheels are installed and tested in their own
interpreters by tools/run_suites.py, which also checks pip refuses there the
wheels not meant for them.
Prints one line per passed check; exits non-zero on the first failure.
"""

from __future__ import annotations

import argparse
import email.parser
import json
import os
import pathlib
import platform
import shutil
import subprocess
import sys
import tempfile
import zipfile

from tools.release_tools import GLIBC_FLOOR, MODULE, Reporter, Target

VERSION = "0.1.0"
ALLOWED_EXPORTS = {"PyInit_" + MODULE}
# The C library's own files; anything else would have to come with the wheel.
ALLOWED_NEEDED = {
    "gnu": {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1",
            "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1"},
    "musl": {"libc.musl-x86_64.so.1", "libc.musl-aarch64.so.1"},
}
# Where musl's libc.so lies for the import check: the host's musl package,
# and the arm64 root's (tools/platform_roots.py).
MUSL_LIBC = "lib/{arch}-linux-musl/libc.so"
# Licence texts of the project and of everything linked in statically.
LICENCES = {"LICENSE": "Apache License", "libsodium/LICENSE": "ISC License",
            "llvm/libcxx/LICENSE.TXT": "LLVM Exceptions", "llvm/libcxxabi/LICENSE.TXT": "LLVM Exceptions",
            "llvm/libunwind/LICENSE.TXT": "LLVM Exceptions", "zig/LICENSE": "MIT"}


report = Reporter("check_wheel")
fail, ok, run = report.fail, report.ok, report.run


def check_tag(wheel: pathlib.Path, zf: zipfile.ZipFile) -> None:
    # name-version-pythontag-abitag-platform.whl
    parts = wheel.stem.split("-")
    file_tag = "-".join(parts[-3:])
    target = Target.of_wheel(wheel)
    wheel_meta = next(n for n in zf.namelist() if n.endswith(".dist-info/WHEEL"))
    tags = [
        line.split(":", 1)[1].strip()
        for line in zf.read(wheel_meta).decode().splitlines()
        if line.startswith("Tag:")
    ]
    # auditwheel may write a compressed tag set (manylinux_2_x.manylinux_2_y).
    expanded = [
        f"{parts[-3]}-{parts[-2]}-{plat}" for plat in parts[-1].split(".")
    ]
    if sorted(tags) != sorted(expanded):
        fail(f"WHEEL metadata tags {tags} do not match the file name tag {file_tag}")
    show = " ".join(run([tool_path("auditwheel"), "show", str(wheel)]).split())
    if f'is consistent with the following platform tag: "{target.platform_tags[0]}"' not in show:
        fail(f"auditwheel show does not report {target.platform_tags[0]}:\n{show}")
    ok(f"tag {file_tag}; auditwheel show agrees")


def tool_path(name: str) -> str:
    tool = shutil.which(name, path=os.path.dirname(sys.executable)) or shutil.which(name)
    if tool is None:
        fail(f"{name} is not installed beside this interpreter")
    return tool


def check_metadata(zf: zipfile.ZipFile) -> None:
    names = zf.namelist()
    meta_name = next(n for n in names if n.endswith(".dist-info/METADATA"))
    meta = email.parser.Parser().parsestr(zf.read(meta_name).decode())
    want = {"Name": "ulo-protocol", "Version": VERSION, "Requires-Python": ">=3.10"}
    for key, value in want.items():
        if meta.get(key) != value:
            fail(f"METADATA {key} is {meta.get(key)!r}, expected {value!r}")
    if not (meta.get("License") or meta.get("License-Expression")):
        fail("METADATA names no licence")
    eps_name = next((n for n in names if n.endswith(".dist-info/entry_points.txt")), None)
    eps = zf.read(eps_name).decode() if eps_name else ""
    if "ulo-protocol = ulo_protocol_cli:main" not in eps:
        fail(f"console script ulo-protocol missing from entry points:\n{eps}")
    for needed in ("ulo_protocol-stubs/__init__.pyi", "ulo_protocol_cli/__init__.py"):
        if needed not in names:
            fail(f"{needed} missing from the wheel")
    dist_info = meta_name.rsplit("/", 1)[0]
    for rel, marker in LICENCES.items():
        name = f"{dist_info}/licenses/{rel}"
        if name not in names or marker not in zf.read(name).decode(errors="replace"):
            fail(f"licence text {name} missing or not the expected one ({marker!r})")
    check_sbom(zf, dist_info)
    ok(f"metadata: version {VERSION}, licence, Requires-Python >=3.10, console script, stubs, "
       f"{len(LICENCES)} licence texts, SBOM")


def check_sbom(zf: zipfile.ZipFile, dist_info: str) -> None:
    sboms = [n for n in zf.namelist() if n.startswith(f"{dist_info}/sboms/") and n.endswith(".cdx.json")]
    if not sboms:
        fail(f"no CycloneDX SBOM under {dist_info}/sboms/")
    found = []
    for name in sboms:
        doc = json.loads(zf.read(name))
        if doc.get("bomFormat") != "CycloneDX":
            fail(f"{name} is not a CycloneDX document")
        for comp in doc.get("components", []):
            props = {p["name"]: p["value"] for p in comp.get("properties", [])}
            licences = [lic.get("license", {}).get("id") for lic in comp.get("licenses", [])]
            if comp.get("name") == "libsodium" and comp.get("version") and "ISC" in licences \
                    and props.get("debian:source-package") == "libsodium" and props.get("debian:version"):
                found.append(f"{comp['version']} (Debian {props['debian:version']})")
    if len(found) != 1:
        fail(f"the SBOM does not name the bundled libsodium once with version, licence and source: {found}")


def check_abi3audit(wheel: pathlib.Path) -> None:
    run([tool_path("abi3audit"), "--strict", str(wheel)])
    ok("abi3audit --strict")


def check_exports(zf: zipfile.ZipFile, target: Target, tmp: pathlib.Path) -> pathlib.Path:
    libs = [n for n in zf.namelist() if n.endswith(".so") and "/" not in n]
    if libs != [target.module_file]:
        fail(f"expected exactly {target.module_file} at the top level, found {libs}")
    others = [n for n in zf.namelist() if n.startswith(f"{MODULE}.libs/")]
    if others:
        fail(f"shared libraries beside the module, expected everything linked in: {others}")
    lib = pathlib.Path(zf.extract(libs[0], tmp / "unpacked" / target.name))
    out = run(["nm", "-D", "--defined-only", str(lib)])
    exported = {line.split()[-1] for line in out.splitlines() if line.strip()}
    if exported != ALLOWED_EXPORTS:
        fail(f"extension exports {sorted(exported)}, expected only {sorted(ALLOWED_EXPORTS)}")
    dynamic = run(["readelf", "-dW", str(lib)])
    needed = {line.split("[", 1)[1].rstrip("]") for line in dynamic.splitlines() if "(NEEDED)" in line}
    if not needed <= ALLOWED_NEEDED[target.libc]:
        fail(f"extension needs {sorted(needed - ALLOWED_NEEDED[target.libc])} beyond the C library")
    ok(f"exports only {', '.join(sorted(ALLOWED_EXPORTS))}; needs only {', '.join(sorted(needed))}")
    return lib


def undefined_symbols(lib: pathlib.Path) -> list[tuple[str, str, str]]:
    """(name, version or "", binding) of every symbol `lib` imports."""
    out = run(["readelf", "--dyn-syms", "--wide", str(lib)])
    found = []
    for line in out.splitlines():
        cols = line.split()
        # Num: Value Size Type Bind Vis Ndx Name [(version index)]
        if len(cols) >= 8 and cols[0].rstrip(":").isdigit() and cols[6] == "UND":
            name, _, version = cols[7].partition("@")
            found.append((name, version.lstrip("@"), cols[4]))
    return found


def glibc_version(text: str) -> tuple[int, ...]:
    return tuple(int(x) for x in text.split("_", 1)[1].split("."))


def floor_violations(symbols: list[tuple[str, str, str]], libc: str, musl_exports: set[str] | None = None) -> list[str]:
    """The imports that a C library as old as the tag's may lack."""
    floor = glibc_version("GLIBC_" + GLIBC_FLOOR)
    bad = []
    for name, version, bind in symbols:
        if name.startswith(("Py", "_Py")) and not version:
            continue  # the interpreter's own C API
        if libc == "musl":
            if bind != "WEAK" and name not in (musl_exports or set()):
                bad.append(f"{name} (not in musl's libc.so)")
        elif not version:
            if bind != "WEAK":
                bad.append(f"{name} (unversioned: bound to whatever glibc has, or to nothing)")
        elif not version.startswith("GLIBC_") or glibc_version(version) > floor:
            bad.append(f"{name}@{version}")
    return bad


def exported_symbols(lib: pathlib.Path) -> set[str]:
    out = run(["nm", "-D", "--defined-only", str(lib)])
    return {line.split()[-1].split("@")[0] for line in out.splitlines() if line.strip()}


def check_symbols(lib: pathlib.Path, target: Target, musl_root: pathlib.Path | None) -> None:
    exports = None
    if target.libc == "musl":
        root = musl_root if target.arch == "aarch64" else pathlib.Path("/")
        libc = (root or pathlib.Path("/nonexistent")) / MUSL_LIBC.format(arch=target.arch)
        if not libc.is_file():
            fail(f"cannot check {target.name}'s imports: {libc} is missing (Debian's musl package"
                 + (", in the arm64 root" if target.arch == "aarch64" else "") + ")")
        exports = exported_symbols(libc)
    symbols = undefined_symbols(lib)
    bad = floor_violations(symbols, target.libc, exports)
    if bad:
        floor = f"glibc {GLIBC_FLOOR}" if target.libc == "gnu" else "musl 1.2"
        fail(f"{lib.name} ({target.name}) imports what {floor} may not have: {', '.join(bad)}")
    ok(f"all {len(symbols)} imports are the Python C API or in "
       + (f"glibc <= {GLIBC_FLOOR}" if target.libc == "gnu" else "musl's libc.so"))


IMPORT_CHECK = """
import pathlib, sys, ulo_protocol
prefix = pathlib.Path(sys.prefix).resolve()
where = pathlib.Path(ulo_protocol.__file__).resolve()
assert prefix in where.parents, f"imported from {where}, not from {prefix}"
assert ulo_protocol.__version__ == "0.1.0", ulo_protocol.__version__
stubs = where.parent / "ulo_protocol-stubs" / "__init__.pyi"
assert stubs.is_file(), f"type stubs missing at {stubs}"
print(where)
"""


def check_fresh_venv(
    wheel: pathlib.Path, venv: pathlib.Path, python: str, smoke: str | None, tmp: pathlib.Path
) -> None:
    # No pip inside: the outer pip installs into it, which is much faster.
    run([python, "-m", "venv", "--clear", "--without-pip", str(venv)])
    vpy = venv / "bin" / "python"
    run(
        [sys.executable, "-m", "pip", "--python", str(vpy), "install", "-q",
         "--no-deps", "--no-index", str(wheel)]
    )
    # Run from an empty directory so the source tree cannot shadow the install.
    where = run([str(vpy), "-I", "-c", IMPORT_CHECK], cwd=tmp).strip()
    ok(f"fresh venv imports {where}")

    cli = str(venv / "bin" / "ulo-protocol")
    env = dict(os.environ, HOME=str(tmp))
    if run([cli, "classify", "QUIC", ""], cwd=tmp, env=env) != "routing\n":
        fail("ulo-protocol classify gave an unexpected answer")
    seed = tmp / "seed.bin"
    run([cli, "identity", "new", "--seed-out", str(seed)], cwd=tmp, env=env)
    if seed.stat().st_size != 32:
        fail("identity new did not write a 32-byte seed")
    # An empty default queue lists nothing; a missing one is an error.
    (tmp / ".tovane" / "envelope-queue").mkdir(parents=True)
    if run([cli, "queue", "ls"], cwd=tmp, env=env) != "":
        fail("queue ls of an empty queue printed something")
    run([str(vpy), "-m", "ulo_protocol_cli", "--version"], cwd=tmp, env=env)
    ok("console script runs from the fresh venv")
    if smoke:
        run([str(vpy), "-I", str(pathlib.Path(smoke).resolve())], cwd=tmp, env=env)
        ok(f"{smoke} runs in the fresh venv")


def check_sdist(
    sdist: pathlib.Path, python: str, tmp: pathlib.Path, constraints: str | None
) -> None:
    # A fresh environment with nothing but pip: the build requirements come
    # from the sdist's own pyproject.toml, held to the pinned versions.
    venv = tmp / "sdist-venv"
    run([python, "-m", "venv", str(venv)])
    out = tmp / "from-sdist"
    env = dict(os.environ)
    if constraints:
        env["PIP_CONSTRAINT"] = str(pathlib.Path(constraints).resolve())
    run([str(venv / "bin" / "python"), "-m", "pip", "wheel", "-q", "--no-deps",
         "--disable-pip-version-check", "-w", str(out), str(sdist)], cwd=tmp, env=env)
    built = sorted(out.glob("*.whl"))
    if len(built) != 1 or "-cp310-abi3-" not in built[0].name:
        fail(f"building from the sdist gave {[b.name for b in built]}")
    ok(f"{sdist.name} builds {built[0].name} in a fresh venv")


def check_refused(wheel: pathlib.Path, venv: pathlib.Path) -> None:
    # A wheel for another machine, installed by mistake: pip's own error.
    proc = subprocess.run([sys.executable, "-m", "pip", "--python", str(venv / "bin" / "python"), "install",
                           "--no-deps", "--no-index", str(wheel)], capture_output=True, text=True)
    if proc.returncode == 0 or "is not a supported wheel on this platform" not in proc.stderr:
        fail(f"pip did not refuse {wheel.name} with its platform error:\n{proc.stdout}{proc.stderr}")
    ok(f"pip refuses {wheel.name} on {platform.machine()}: not a supported wheel on this platform")


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("wheel", nargs="+")
    ap.add_argument("--venv", required=True)
    ap.add_argument("--python", default=sys.executable, help="interpreter for the fresh venv")
    ap.add_argument("--smoke", help="script to run with the fresh venv's interpreter")
    ap.add_argument("--sdist", nargs="*", default=[], help="sdist to build a wheel from")
    ap.add_argument("--constraints", help="pins for the sdist's isolated build environment")
    ap.add_argument("--musl-root", help="a root holding aarch64 musl's libc.so, for the aarch64 musl wheel")
    args = ap.parse_args()
    wheels = [pathlib.Path(w).resolve() for w in args.wheel]
    targets = {w: Target.of_wheel(w) for w in wheels}
    native = [w for w, t in targets.items() if t == Target(platform.machine())]
    if len(native) != 1 or len(set(targets.values())) != len(wheels):
        fail(f"expected one wheel per target, one of them {Target(platform.machine()).name}: {args.wheel}")
    venv = pathlib.Path(args.venv).resolve()
    musl_root = pathlib.Path(args.musl_root) if args.musl_root else None
    with tempfile.TemporaryDirectory() as tmpdir:
        tmp = pathlib.Path(tmpdir)
        for wheel, target in targets.items():
            with zipfile.ZipFile(wheel) as zf:
                check_tag(wheel, zf)
                check_metadata(zf)
                lib = check_exports(zf, target, tmp)
            check_symbols(lib, target, musl_root)
            if not target.free_threaded:
                check_abi3audit(wheel)
        check_fresh_venv(native[0], venv, args.python, args.smoke, tmp)
        for wheel in wheels:
            if wheel is not native[0]:
                check_refused(wheel, venv)
        if len(args.sdist) > 1:
            fail(f"expected one sdist, got {args.sdist}")
        for sdist in args.sdist:
            check_sdist(pathlib.Path(sdist).resolve(), args.python, tmp, args.constraints)


if __name__ == "__main__":
    main()
