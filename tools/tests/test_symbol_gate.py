"""The wheel check's import gate, on small shared objects built here with the
host's gcc (glibc 2.36): it must name what an old glibc lacks and pass what
every supported system has."""

from __future__ import annotations

import pathlib
import subprocess

import pytest

from tools import check_wheel

CASES = {
    # renameat2 came in glibc 2.28: linked here it carries that version.
    "versioned_too_new": ("#define _GNU_SOURCE\n#include <stdio.h>\n#include <fcntl.h>\n"
                          "int f(void) { return renameat2(AT_FDCWD, \"a\", AT_FDCWD, \"b\", 1); }\n",
                          ["renameat2@GLIBC_2.28"]),
    # What a link against an older glibc's stubs leaves: no version at all,
    # so the loader needs it from whatever glibc it finds.
    "unversioned": ("int getentropy_of_some_libc(void *, unsigned long);\n"
                    "int f(void) { char b[4]; return getentropy_of_some_libc(b, 4); }\n",
                    ["getentropy_of_some_libc (unversioned"]),
    # The Python C API, weak references and old glibc functions are fine.
    "clean": ("#include <string.h>\nint PyLong_FromLong(long);\n__attribute__((weak)) int maybe_there(void);\n"
              "int f(char *d, const char *s, unsigned long n) {\n"
              "  memcpy(d, s, n); return PyLong_FromLong(1) + (maybe_there ? maybe_there() : 0); }\n",
              []),
}


@pytest.mark.parametrize("case", CASES)
def test_gate_names_what_old_glibc_lacks(case: str, tmp_path: pathlib.Path) -> None:
    source, expected = CASES[case]
    (tmp_path / "m.c").write_text(source)
    lib = tmp_path / "m.so"
    subprocess.run(["gcc", "-shared", "-fPIC", "-O1", "-o", str(lib), str(tmp_path / "m.c")], check=True)
    bad = check_wheel.floor_violations(check_wheel.undefined_symbols(lib), "gnu")
    assert len(bad) == len(expected)
    for found, want in zip(sorted(bad), sorted(expected)):
        assert found.startswith(want)


def test_musl_imports_are_checked_against_its_libc() -> None:
    symbols = [("memcpy", "", "GLOBAL"), ("renameat2", "", "GLOBAL"), ("PyList_New", "", "GLOBAL"),
               ("__cxa_thread_atexit_impl", "", "WEAK")]
    assert check_wheel.floor_violations(symbols, "musl", {"memcpy"}) == ["renameat2 (not in musl's libc.so)"]
