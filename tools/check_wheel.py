"""Check a built wheel the way a user would receive it.

Usage: check_wheel.py WHEEL --venv DIR [--python PY] [--sdist SDIST
                      [--constraints FILE]] [--smoke SCRIPT]

1. the tag is cp310-abi3-manylinux_* (one build for every interpreter from
   3.10 on, installable on any recent glibc Linux), and `auditwheel show`
   agrees;
2. abi3audit --strict finds no call outside the limited API;
3. the extension exports nothing but its module entry;
4. the metadata: version, licence, Python requirement, console script, and
   the type stubs inside;
5. the wheel installs into a fresh virtual environment, imports there,
   resolves libsodium from the copy inside the wheel, and its console script
   runs (plus an optional smoke script);
6. with --sdist: a wheel builds from the sdist in a fresh environment.
Prints one line per passed check; exits non-zero on the first failure.
"""

from __future__ import annotations

import argparse
import email.parser
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import zipfile
from typing import NoReturn

MODULE = "ulo_protocol"
VERSION = "0.1.0"
EXPECTED_TAG_PREFIX = "cp310-abi3-manylinux_"
ALLOWED_EXPORTS = {"PyInit_" + MODULE}


def fail(message: str) -> NoReturn:
    print(f"check_wheel: FAIL: {message}", file=sys.stderr)
    sys.exit(1)


def ok(message: str) -> None:
    print(f"check_wheel: ok: {message}", flush=True)


def run(
    cmd: list[str], cwd: pathlib.Path | None = None, env: dict[str, str] | None = None
) -> subprocess.CompletedProcess[str]:
    proc = subprocess.run(cmd, capture_output=True, text=True, cwd=cwd, env=env)
    if proc.returncode != 0:
        fail(f"{' '.join(cmd)} exited {proc.returncode}\n{proc.stdout}{proc.stderr}")
    return proc


def check_tag(wheel: pathlib.Path, zf: zipfile.ZipFile) -> None:
    # name-version-pythontag-abitag-platform.whl
    parts = wheel.stem.split("-")
    file_tag = "-".join(parts[-3:])
    if not file_tag.startswith(EXPECTED_TAG_PREFIX):
        fail(f"wheel file tag is {file_tag}, expected {EXPECTED_TAG_PREFIX}*")
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
    show = " ".join(run([tool_path("auditwheel"), "show", str(wheel)]).stdout.split())
    if f'is consistent with the following platform tag: "{parts[-1]}"' not in show:
        fail(f"auditwheel show does not report a manylinux tag:\n{show}")
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
    ok(f"metadata: version {VERSION}, licence, Requires-Python >=3.10, console script, stubs")


def check_abi3audit(wheel: pathlib.Path) -> None:
    run([tool_path("abi3audit"), "--strict", str(wheel)])
    ok("abi3audit --strict")


def check_exports(zf: zipfile.ZipFile, tmp: pathlib.Path) -> None:
    libs = [n for n in zf.namelist() if n.endswith(".so") and "/" not in n]
    if libs != [f"{MODULE}.abi3.so"]:
        fail(f"expected exactly {MODULE}.abi3.so at the top level, found {libs}")
    vendored = [n for n in zf.namelist() if n.startswith(f"{MODULE}.libs/libsodium")]
    if not vendored:
        fail(f"libsodium is not vendored under {MODULE}.libs/")
    lib = pathlib.Path(zf.extract(libs[0], tmp / "unpacked"))
    out = run(["nm", "-D", "--defined-only", str(lib)]).stdout
    exported = {line.split()[-1] for line in out.splitlines() if line.strip()}
    if exported != ALLOWED_EXPORTS:
        fail(f"extension exports {sorted(exported)}, expected only {sorted(ALLOWED_EXPORTS)}")
    ok(f"exports only {', '.join(sorted(ALLOWED_EXPORTS))}")


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


def check_ldd(module: pathlib.Path) -> None:
    # The vendored copy, found through the module's RUNPATH, never the system's.
    out = run(["ldd", str(module)]).stdout
    lines = [ln.strip() for ln in out.splitlines() if "libsodium" in ln]
    libs_dir = (module.parent / f"{MODULE}.libs").resolve()
    if len(lines) != 1 or "=>" not in lines[0]:
        fail(f"ldd shows no single libsodium for {module}:\n{out}")
    target = pathlib.Path(lines[0].split("=>", 1)[1].split("(")[0].strip()).resolve()
    if target.parent != libs_dir:
        fail(f"libsodium resolves to {target}, not inside {libs_dir}")
    ok(f"ldd resolves libsodium to {target.relative_to(module.parent)}")


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
    where = run([str(vpy), "-I", "-c", IMPORT_CHECK], cwd=tmp).stdout.strip()
    ok(f"fresh venv imports {where}")
    check_ldd(pathlib.Path(where))

    cli = str(venv / "bin" / "ulo-protocol")
    env = dict(os.environ, HOME=str(tmp))
    if run([cli, "classify", "QUIC", ""], cwd=tmp, env=env).stdout != "routing\n":
        fail("ulo-protocol classify gave an unexpected answer")
    seed = tmp / "seed.bin"
    run([cli, "identity", "new", "--seed-out", str(seed)], cwd=tmp, env=env)
    if seed.stat().st_size != 32:
        fail("identity new did not write a 32-byte seed")
    # An empty default queue lists nothing; a missing one is an error.
    (tmp / ".tovane" / "envelope-queue").mkdir(parents=True)
    if run([cli, "queue", "ls"], cwd=tmp, env=env).stdout != "":
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


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("wheel", nargs="+")
    ap.add_argument("--venv", required=True)
    ap.add_argument("--python", default=sys.executable, help="interpreter for the fresh venv")
    ap.add_argument("--smoke", help="script to run with the fresh venv's interpreter")
    ap.add_argument("--sdist", nargs="*", default=[], help="sdist to build a wheel from")
    ap.add_argument("--constraints", help="pins for the sdist's isolated build environment")
    args = ap.parse_args()
    if len(args.wheel) != 1:
        fail(f"expected exactly one wheel, got {args.wheel}")
    wheel = pathlib.Path(args.wheel[0])
    with tempfile.TemporaryDirectory() as tmpdir, zipfile.ZipFile(wheel) as zf:
        tmp = pathlib.Path(tmpdir)
        check_tag(wheel, zf)
        check_metadata(zf)
        check_exports(zf, tmp)
        check_abi3audit(wheel)
        check_fresh_venv(wheel.resolve(), pathlib.Path(args.venv).resolve(), args.python, args.smoke, tmp)
        if len(args.sdist) > 1:
            fail(f"expected one sdist, got {args.sdist}")
        for sdist in args.sdist:
            check_sdist(pathlib.Path(sdist).resolve(), args.python, tmp, args.constraints)


if __name__ == "__main__":
    main()
