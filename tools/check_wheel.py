"""Check a built wheel the way a user would receive it.

Usage: check_wheel.py WHEEL --venv DIR [--python PY] [--smoke SCRIPT]

1. the tag is cp310-abi3 (one build for every interpreter from 3.10 on);
2. abi3audit --strict finds no call outside the limited API;
3. the extension exports nothing but its module entry;
4. the wheel installs into a fresh virtual environment, imports there, ships
   its type stubs, and its console script runs (plus an optional smoke script).
Prints one line per passed check; exits non-zero on the first failure.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import zipfile
from typing import NoReturn

MODULE = "ulo_protocol"
EXPECTED_TAG_PREFIX = "cp310-abi3-"
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
    if tags != [file_tag]:
        fail(f"WHEEL metadata tags {tags} do not match the file name tag {file_tag}")
    ok(f"tag {file_tag}")


def check_abi3audit(wheel: pathlib.Path) -> None:
    tool = shutil.which("abi3audit", path=os.path.dirname(sys.executable))
    if tool is None:
        fail("abi3audit is not installed beside this interpreter")
    run([tool, "--strict", str(wheel)])
    ok("abi3audit --strict")


def check_exports(zf: zipfile.ZipFile, tmp: pathlib.Path) -> None:
    libs = [n for n in zf.namelist() if n.endswith(".so")]
    if libs != [f"{MODULE}.abi3.so"]:
        fail(f"expected exactly {MODULE}.abi3.so at the top level, found {libs}")
    lib = pathlib.Path(zf.extract(libs[0], tmp))
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

    cli = str(venv / "bin" / "ulo-protocol")
    env = dict(os.environ, HOME=str(tmp))
    if run([cli, "classify", "QUIC", ""], cwd=tmp, env=env).stdout != "routing\n":
        fail("ulo-protocol classify gave an unexpected answer")
    seed = tmp / "seed.bin"
    run([cli, "identity", "new", "--seed-out", str(seed)], cwd=tmp, env=env)
    if seed.stat().st_size != 32:
        fail("identity new did not write a 32-byte seed")
    run([cli, "queue", "ls"], cwd=tmp, env=env)
    run([str(vpy), "-m", "ulo_protocol_cli", "--version"], cwd=tmp, env=env)
    ok("console script runs from the fresh venv")
    if smoke:
        run([str(vpy), "-I", str(pathlib.Path(smoke).resolve())], cwd=tmp, env=env)
        ok(f"{smoke} runs in the fresh venv")


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("wheel", nargs="+")
    ap.add_argument("--venv", required=True)
    ap.add_argument("--python", default=sys.executable, help="interpreter for the fresh venv")
    ap.add_argument("--smoke", help="script to run with the fresh venv's interpreter")
    args = ap.parse_args()
    if len(args.wheel) != 1:
        fail(f"expected exactly one wheel, got {args.wheel}")
    wheel = pathlib.Path(args.wheel[0])
    with tempfile.TemporaryDirectory() as tmpdir, zipfile.ZipFile(wheel) as zf:
        tmp = pathlib.Path(tmpdir)
        check_tag(wheel, zf)
        check_exports(zf, tmp)
        check_abi3audit(wheel)
        check_fresh_venv(wheel.resolve(), pathlib.Path(args.venv).resolve(), args.python, args.smoke, tmp)


if __name__ == "__main__":
    main()
