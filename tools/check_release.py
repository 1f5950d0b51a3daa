"""Checks of the release beyond what a user sees at install time.

Usage (python -m tools.check_release ...):
  hardening WHEEL...                    ELF properties of every shipped .so, as a table;
                                        fails when a required one is missing, or when
                                        a build path is left in the binary
  sums DIR                              SHA256SUMS matches every artifact in DIR
  preflight                             make dist without a toolchain says what to do
  repro [--make ARGS]                   two `make dist` in two temporary clones give the
                                        same bytes; a changed source gives other bytes;
                                        refuses a dirty tree
"""

from __future__ import annotations

import argparse
import hashlib
import io
import json
import os
import pathlib
import re
import subprocess
import sys
import tempfile
import time
import zipfile

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile
from elftools.elf.sections import NoteSection, SymbolTableSection

from tools.release_tools import Reporter, Target

ROOT = pathlib.Path(__file__).resolve().parent.parent
DF_BIND_NOW = 0x8
DF_1_NOW = 0x1
PF_X = 0x1
GNU_PROPERTY_X86_FEATURE_1_AND = 0xC0000002
X86_IBT, X86_SHSTK = 0x1, 0x2
# Paths of this build that must not reach a shipped binary, beside any
# string that looks like a home, temporary or build folder.
PATH_PATTERN = re.compile(rb"(?:^|[^\w.-])/(?:home|root|tmp|work|build|usr/src|var/tmp)/[\w.-]")
# Required everywhere; CET only where the toolchain can give it (README).
# musl has no fortified functions to call, so its wheels cannot have FORTIFY.
REQUIRED = ("RELRO", "BIND_NOW", "NX stack", "stack protector", "FORTIFY")
NOT_ON_MUSL = ("FORTIFY",)


report = Reporter("check_release")
fail, ok = report.fail, report.ok


# --- hardening -------------------------------------------------------------------


def properties(data: bytes) -> dict[str, str]:
    elf = ELFFile(io.BytesIO(data))
    segs = {seg["p_type"]: seg for seg in elf.iter_segments()}
    flags = flags_1 = 0
    for sec in elf.iter_sections():
        if isinstance(sec, DynamicSection):
            for tag in sec.iter_tags():
                if tag.entry.d_tag == "DT_FLAGS":
                    flags = tag.entry.d_val
                elif tag.entry.d_tag == "DT_FLAGS_1":
                    flags_1 = tag.entry.d_val
    imports = set()
    dynsym = elf.get_section_by_name(".dynsym")
    if isinstance(dynsym, SymbolTableSection):
        imports = {s.name for s in dynsym.iter_symbols() if s["st_shndx"] == "SHN_UNDEF" and s.name}
    fortified = sorted(n for n in imports if n.startswith("__") and n.endswith("_chk") and n != "__stack_chk_fail")
    cet = "n/a"
    if elf["e_machine"] == "EM_X86_64":
        feature = 0
        for sec in elf.iter_sections():
            if isinstance(sec, NoteSection) and sec.name == ".note.gnu.property":
                for note in sec.iter_notes():
                    for prop in note.get("n_desc", []) or []:
                        if prop.pr_type == "GNU_PROPERTY_X86_FEATURE_1_AND" or prop.pr_type == GNU_PROPERTY_X86_FEATURE_1_AND:
                            feature = prop.pr_data
        cet = "IBT+SHSTK" if feature & X86_IBT and feature & X86_SHSTK else "no"
    stack = segs.get("PT_GNU_STACK")
    protector = "yes" if "__stack_chk_fail" in imports else "no"
    if protector == "no" and elf["e_machine"] == "EM_AARCH64" and "getauxval" in imports:
        # Zig's runtime supplied the guard and the failure handler in this
        # link; the guard is seeded from AT_RANDOM at load (cmake/zig-stack-guard.cpp).
        protector = "yes (seeded)"
    return {
        "RELRO": "yes" if "PT_GNU_RELRO" in segs else "no",
        "BIND_NOW": "yes" if flags & DF_BIND_NOW or flags_1 & DF_1_NOW else "no",
        "NX stack": "yes" if stack is not None and not stack["p_flags"] & PF_X else "no",
        "stack protector": protector,
        "FORTIFY": f"yes ({len(fortified)} __*_chk)" if fortified else "no",
        "CET": cet,
    }


def leaked_paths(data: bytes, own: list[str]) -> list[str]:
    found = []
    for s in re.findall(rb"[\x20-\x7e]{6,}", data):
        if any(p.encode() in s for p in own) or PATH_PATTERN.search(s):
            found.append(s.decode())
    return found


def hardening(wheels: list[pathlib.Path]) -> None:
    home = str(pathlib.Path.home())
    own = [str(ROOT), tempfile.gettempdir() + "/", *([home] if home not in ("/", "") else [])]
    header = f"{'wheel':<60} " + " ".join(f"{k:<16}" for k in (*REQUIRED, "CET"))
    print(header)
    bad = []
    for wheel in wheels:
        with zipfile.ZipFile(wheel) as zf:
            for name in (n for n in zf.namelist() if n.endswith(".so")):
                data = zf.read(name)
                props = properties(data)
                target = Target.of_wheel(wheel)
                if target.libc == "musl":
                    props.update({k: "n/a (musl)" for k in NOT_ON_MUSL if props[k] == "no"})
                print(f"{target.name + ' ' + name:<60} " + " ".join(f"{props[k]:<16}" for k in (*REQUIRED, "CET")))
                bad += [f"{wheel.name}:{name} lacks {k}" for k in REQUIRED if props[k] == "no"]
                bad += [f"{wheel.name}:{name} holds the build path {s!r}" for s in leaked_paths(data, own)]
    if bad:
        fail("\n  ".join(bad))
    ok(f"{len(wheels)} wheel(s): {', '.join(REQUIRED)}; no build path in the binaries")


# --- checksums ---------------------------------------------------------------------


def sums(folder: pathlib.Path) -> None:
    listed = {}
    for line in (folder / "SHA256SUMS").read_text().splitlines():
        digest, name = line.split(maxsplit=1)
        listed[name.lstrip("*")] = digest
    present = {p.name for p in folder.iterdir() if p.name != "SHA256SUMS"}
    if set(listed) != present:
        fail(f"SHA256SUMS lists {sorted(listed)}, the folder holds {sorted(present)}")
    for name, digest in listed.items():
        if hashlib.sha256((folder / name).read_bytes()).hexdigest() != digest:
            fail(f"SHA256SUMS does not match {name}")
    # The form `sha256sum -c` reads, as a user would check a download.
    subprocess.run(["sha256sum", "--quiet", "-c", "SHA256SUMS"], cwd=folder, check=True)
    ok(f"SHA256SUMS covers and matches {len(listed)} artifacts (sha256sum -c agrees)")


# --- preflight -----------------------------------------------------------------------


def preflight() -> None:
    with tempfile.TemporaryDirectory() as empty:
        proc = subprocess.run([sys.executable, "-m", "tools.release_build", "--preflight", "--out", empty,
                               "--cache", empty], cwd=ROOT, capture_output=True, text=True, check=False)
    if proc.returncode == 0 or "the Zig toolchain" not in proc.stderr or "make release-toolchain" not in proc.stderr:
        fail(f"make dist without a toolchain did not say what is missing:\n{proc.stdout}{proc.stderr}")
    ok("without a toolchain, make dist names it and how to get it")


# --- reproducibility ---------------------------------------------------------------


def digests(folder: pathlib.Path) -> dict[str, str]:
    return {p.name: hashlib.sha256(p.read_bytes()).hexdigest() for p in sorted(folder.glob("*.whl"))}


def first_difference(a: pathlib.Path, b: pathlib.Path) -> str:
    with zipfile.ZipFile(a) as za, zipfile.ZipFile(b) as zb:
        na, nb = za.namelist(), zb.namelist()
        for x, y in zip(na, nb):
            if x != y:
                return f"entry order or names differ first at {x!r} / {y!r}"
            ia, ib = za.getinfo(x), zb.getinfo(y)
            if za.read(x) != zb.read(y):
                return f"{x} differs in content"
            if (ia.date_time, ia.external_attr, ia.compress_type) != (ib.date_time, ib.external_attr, ib.compress_type):
                return f"{x} differs in time, mode or compression"
        if na != nb:
            return f"entry lists differ in length ({len(na)} / {len(nb)})"
    return "the archives differ outside their entries (zip headers)"


def clone_and_build(where: pathlib.Path, make_args: list[str], umask: int, user: str) -> pathlib.Path:
    subprocess.run(["git", "clone", "-q", "--no-hardlinks", str(ROOT), str(where)], check=True)
    env = dict(os.environ, USER=user, LOGNAME=user, TZ="Pacific/Kiritimati" if umask == 0o077 else "UTC")
    env.pop("SOURCE_DATE_EPOCH", None)
    old = os.umask(umask)
    try:
        start = time.monotonic()
        proc = subprocess.run(["make", "--no-print-directory", "dist", *make_args], cwd=where, env=env,
                              capture_output=True, text=True, check=False, timeout=3600)
    finally:
        os.umask(old)
    if proc.returncode != 0:
        fail(f"make dist in {where} failed:\n{proc.stdout[-3000:]}{proc.stderr[-3000:]}")
    ok(f"make dist in {where} (umask {umask:03o}, user {user}) took {time.monotonic() - start:.0f} s")
    return where / "dist"


def repro(make_args: list[str]) -> None:
    status = subprocess.run(["git", "-C", str(ROOT), "status", "--porcelain", "--untracked-files=all"],
                            capture_output=True, text=True, check=True).stdout
    if status.strip():
        fail("the tree has uncommitted changes: a wheel of it cannot be rebuilt from its commit, "
             "so reproducibility is not checked (commit, then run again)")
    # The wheels `make dist` just wrote from this tree, against a clone of its
    # commit built elsewhere, by another user, with another umask and zone.
    a = ROOT / "dist"
    with tempfile.TemporaryDirectory(prefix="ulo-repro-") as tmp:
        base = pathlib.Path(tmp)
        b = clone_and_build(base / "second" / "clone-b", make_args, 0o077, "builder-b")
        da, db = digests(a), digests(b)
        if not da or set(da) != set(db):
            fail(f"the two builds gave different wheels: {sorted(da)} / {sorted(db)}")
        for name in sorted(da):
            print(f"  {name}\n    a {da[name]}\n    b {db[name]}", flush=True)
            if da[name] != db[name]:
                fail(f"{name} is not reproducible: {first_difference(a / name, b / name)}")
        ok(f"{len(da)} wheel(s) byte-identical across two checkouts, folders, umasks and times")
        changed_source(base / "second" / "clone-b", db, make_args)


def changed_source(clone: pathlib.Path, before: dict[str, str], make_args: list[str]) -> None:
    # One message text of the binding changes: the module's bytes must too,
    # and the wheel must say that it came from a modified tree.
    lib = clone / "bindings" / "python" / "ulo-protocol-py" / "src" / "lib.cpp"
    text = lib.read_text()
    marker = "does not support sub-interpreters"
    if marker not in text:
        fail(f"{lib} no longer holds {marker!r}; pick another probe")
    lib.write_text(text.replace(marker, marker + " (probe)", 1))
    # One target shows it: the others go through the same steps.
    proc = subprocess.run(["make", "--no-print-directory", "dist", *make_args, f"DIST_TARGETS={Target('x86_64').name}"],
                          cwd=clone,
                          capture_output=True, text=True, check=False, timeout=3600)
    if proc.returncode != 0:
        fail(f"make dist of the changed tree failed:\n{proc.stdout[-3000:]}{proc.stderr[-3000:]}")
    if "uncommitted change" not in proc.stdout + proc.stderr:
        fail("the build log of a dirty tree does not say so")
    after = digests(clone / "dist")
    for name, digest in after.items():
        if digest == before.get(name):
            fail(f"{name}: a changed source file left the wheel's hash unchanged")
        with zipfile.ZipFile(clone / "dist" / name) as zf:
            so = zf.read(Target.of_wheel(clone / "dist" / name).module_file)
            if b"(probe)" not in so:
                fail(f"{name}: the changed message is not in the module")
            sbom = next(n for n in zf.namelist() if n.endswith(".cdx.json"))
            props = {p["name"]: p["value"] for p in json.loads(zf.read(sbom))["metadata"]["properties"]}
            if props.get("ulo:source-tree") != "dirty":
                fail(f"{name}: the SBOM of a dirty build says {props.get('ulo:source-tree')!r}")
    ok(f"a changed source changes the wheel's hash; the log and the SBOM say 'dirty' ({', '.join(after)})")


def main() -> None:
    ap = argparse.ArgumentParser()
    sub = ap.add_subparsers(dest="what", required=True)
    h = sub.add_parser("hardening")
    h.add_argument("wheels", nargs="+")
    s = sub.add_parser("sums")
    s.add_argument("folder")
    sub.add_parser("preflight")
    r = sub.add_parser("repro")
    r.add_argument("--make", default="", help="extra arguments for make dist in the clones")
    args = ap.parse_args()
    if args.what == "hardening":
        hardening([pathlib.Path(w) for w in args.wheels])
    elif args.what == "sums":
        sums(pathlib.Path(args.folder))
    elif args.what == "preflight":
        preflight()
    else:
        repro(args.make.split())


if __name__ == "__main__":
    main()
