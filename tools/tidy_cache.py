"""clang-tidy over a compile database, skipping the files it already passed.

Usage: python -m tools.tidy_cache --build DIR [--jobs N] [--clang-tidy BIN] FILE...

A file passes once for a key made of the clang-tidy binary's version, the
.clang-tidy configuration, the file's compile command and the content of
every file the preprocessor reads for it (the project's headers and the
system's alike), so any change that could change a finding runs it again.
The keys of the files that passed are kept in DIR/tidy-passed.json. Any
finding fails the run (.clang-tidy makes warnings errors); the full output is
in DIR/clang-tidy.log.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import functools
import hashlib
import json
import os
import pathlib
import shlex
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
# Flags of the compile command that name outputs or dependency files.
DROP_WITH_VALUE = {"-o", "-MF", "-MT", "-MQ"}
DROP = {"-c", "-MD", "-MMD"}


@functools.cache
def content(path: str) -> bytes:
    return hashlib.sha256(pathlib.Path(path).read_bytes()).digest()


def dependencies(entry: dict[str, str]) -> list[str]:
    """Every file the preprocessor reads for this entry, as the compiler of
    the compile command sees it."""
    args = shlex.split(entry["command"]) if "command" in entry else list(entry["arguments"])
    kept: list[str] = []
    skip = False
    for arg in args:
        if skip:
            skip = False
        elif arg in DROP_WITH_VALUE:
            skip = True
        elif arg not in DROP:
            kept.append(arg)
    proc = subprocess.run([*kept, "-M"], cwd=entry["directory"], capture_output=True, text=True, check=False)
    if proc.returncode != 0:
        # The file does not preprocess: clang-tidy will say why.
        return []
    rule = proc.stdout.replace("\\\n", " ").split(":", 1)[1]
    return sorted({os.path.normpath(os.path.join(entry["directory"], p)) for p in rule.split()})


def key(entry: dict[str, str], tidy_version: str, config: bytes) -> str:
    h = hashlib.sha256()
    h.update(tidy_version.encode())
    h.update(config)
    h.update(json.dumps(entry, sort_keys=True).encode())
    deps = dependencies(entry)
    if not deps:
        return ""
    for dep in deps:
        h.update(dep.encode())
        h.update(content(dep))
    return h.hexdigest()


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True, help="the folder holding compile_commands.json")
    ap.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    ap.add_argument("--clang-tidy", default="clang-tidy")
    ap.add_argument("files", nargs="+")
    args = ap.parse_args()
    build = pathlib.Path(args.build).resolve()
    entries = {os.path.normpath(os.path.join(e["directory"], e["file"])): e
               for e in json.loads((build / "compile_commands.json").read_text())}
    files = [str(pathlib.Path(f).resolve()) for f in args.files]
    missing = [f for f in files if f not in entries]
    if missing:
        sys.exit(f"tidy: not in the compile database: {', '.join(missing)}")
    version = subprocess.run([args.clang_tidy, "--version"], capture_output=True, text=True, check=True).stdout
    config = (ROOT / ".clang-tidy").read_bytes()
    store = build / "tidy-passed.json"
    passed: dict[str, str] = json.loads(store.read_text()) if store.is_file() else {}

    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        keys = dict(zip(files, pool.map(lambda f: key(entries[f], version, config), files)))
        todo = [f for f in files if not keys[f] or passed.get(f) != keys[f]]

        def tidy(path: str) -> subprocess.CompletedProcess[str]:
            return subprocess.run([args.clang_tidy, "-p", str(build), "--quiet", path], capture_output=True,
                                  text=True, check=False)

        results = dict(zip(todo, pool.map(tidy, todo)))
    failed = [f for f, r in results.items() if r.returncode != 0]
    # Only this run's files are kept: a removed file leaves no entry behind.
    passed = {f: keys[f] for f in files if keys[f] and f not in failed}
    store.write_text(json.dumps(passed, indent=1, sort_keys=True) + "\n")
    with (build / "clang-tidy.log").open("w") as log:
        for f, r in results.items():
            log.write(f"$ {args.clang_tidy} {f}\n{r.stdout}{r.stderr}")
    if failed:
        for f in failed:
            print(results[f].stdout + results[f].stderr, end="")
        sys.exit(f"tidy: findings in {len(failed)} of {len(files)} files (log {build / 'clang-tidy.log'})")
    print(f"tidy: {len(todo)} of {len(files)} files checked, {len(files) - len(todo)} unchanged since they passed",
          flush=True)


if __name__ == "__main__":
    main()
