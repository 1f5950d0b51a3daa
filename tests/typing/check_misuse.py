"""Both type checkers must refuse exactly the lines of misuse.py marked
`# error`: a missing report means the stubs accept a call the runtime
refuses; an extra one means the file itself is wrong."""

from __future__ import annotations

import argparse
import json
import pathlib
import re
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
MISUSE = HERE / "misuse.py"


def expected_lines() -> set[int]:
    lines = MISUSE.read_text(encoding="utf-8").splitlines()
    return {n for n, line in enumerate(lines, 1) if line.rstrip().endswith("# error")}


def mypy_lines(python: str) -> set[int]:
    out = subprocess.run(
        [python, "-m", "mypy", "--strict", "--no-incremental", "--show-error-codes", str(MISUSE)],
        capture_output=True, text=True, check=False,
    ).stdout
    return {int(m.group(1)) for m in re.finditer(r"misuse\.py:(\d+): error:", out)}


def pyright_lines(python: str) -> set[int]:
    tool = pathlib.Path(python).parent / "basedpyright"
    proc = subprocess.run(
        [str(tool), "--pythonpath", python, "--outputjson", str(MISUSE)],
        capture_output=True, text=True, check=False,
    )
    report = json.loads(proc.stdout)
    return {
        d["range"]["start"]["line"] + 1
        for d in report["generalDiagnostics"]
        if d["severity"] == "error"
    }


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--python", default=sys.executable)
    args = ap.parse_args()
    want = expected_lines()
    failed = False
    for name, got in (("mypy", mypy_lines(args.python)), ("basedpyright", pyright_lines(args.python))):
        missing, extra = sorted(want - got), sorted(got - want)
        if missing or extra:
            failed = True
            print(f"check_misuse: {name}: not refused at lines {missing}, unexpected errors at {extra}",
                  file=sys.stderr)
    if failed:
        sys.exit(1)
    print(f"check_misuse: both checkers refuse all {len(want)} misuses")


if __name__ == "__main__":
    main()
