"""Behaviour that depends on the interpreter running the suite. Every case
runs on every supported CPython, each version with its own expectation."""

import subprocess
import sys
import unicodedata

import pytest

from conftest import FREE_THREADED
import ulo_protocol as ulo

# Each snippet imports the module in the main interpreter first, then in a
# sub-interpreter, and prints the ImportError's message seen there.
ISOLATED = {
    # 3.10 and 3.11 share one lock between interpreters: the module's own
    # check refuses the second interpreter.
    (3, 10): "_xxsubinterpreters",
    (3, 11): "_xxsubinterpreters",
    # From 3.12 an isolated interpreter refuses single-phase modules itself.
    (3, 12): "_xxsubinterpreters",
    (3, 13): "_interpreters",
    (3, 14): "_interpreters",
    (3, 15): "_interpreters",
}

SUB_SCRIPT = """
import sys, ulo_protocol
mod = __import__({api!r})
legacy = {legacy!r}
if {api!r} == "_interpreters":
    interp = mod.create("legacy" if legacy else "isolated")
    failure = mod.run_string(interp, "import ulo_protocol")
    print(failure.type.__name__ + ": " + failure.msg)
else:
    interp = mod.create(isolated=not legacy) if sys.version_info >= (3, 12) else mod.create()
    try:
        mod.run_string(interp, "import ulo_protocol")
    except Exception as e:
        print(str(e).replace("<class 'ImportError'>", "ImportError"))
# The first interpreter keeps its module.
print(ulo_protocol.ProtocolAddress.parse("tov://body/agent/a"))
"""

OURS = "ImportError: ulo_protocol does not support sub-interpreters"
THEIRS = "ImportError: module ulo_protocol does not support loading in subinterpreters"


def run_sub(legacy):
    api = ISOLATED[sys.version_info[:2]]
    code = SUB_SCRIPT.format(api=api, legacy=legacy)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         check=True, timeout=60)
    return out.stdout.splitlines()


@pytest.mark.parametrize("legacy", [False, True], ids=["default", "shared-lock"])
def test_sub_interpreter_import_is_refused(legacy):
    refused, still_there = run_sub(legacy)
    # A free-threaded build has no lock for interpreters to share: it checks
    # extensions in legacy sub-interpreters too, and refuses the module
    # before its own check runs, whether the lock is on or off.
    if sys.version_info >= (3, 12) and (not legacy or FREE_THREADED):
        assert refused == THEIRS
    else:
        assert refused.startswith(OURS)
    assert still_there == "tov://body/agent/a"


def quoted_plainly(ch):
    return f'identifier="{ch}"' in repr(ulo.CounterpartyInfo(ch, "quic"))


def test_unicode_tables_against_this_interpreters_database():
    # Our tables are at least as new as this interpreter's database. Where it
    # knows a character, both must agree on printing it, except for marks
    # whose Grapheme_Extend property (which unicodedata does not expose)
    # makes us escape them, and characters whose category later changed.
    disagree = []
    for cp in range(0x110000):
        if 0xD800 <= cp <= 0xDFFF or cp in (0x22, 0x5C):
            continue
        ch = chr(cp)
        cat = unicodedata.category(ch)
        if cat == "Cn" or cat.startswith("M") or cp in (0x200C, 0xFF9E, 0xFF9F):
            continue
        if quoted_plainly(ch) != ch.isprintable():
            disagree.append(cp)
    # Letters, digits, symbols and separators: only recategorisations since
    # this interpreter's Unicode release, a handful at most.
    assert len(disagree) <= 8, [f"U+{c:04X}" for c in disagree]
