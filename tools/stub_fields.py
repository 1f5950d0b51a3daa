"""Writes the type stub's field properties and dict types from the records'
field tables, so that adding a field is a member and a row in C++.

    record_tables | python -m tools.stub_fields STUB          rewrite STUB
    record_tables | python -m tools.stub_fields --check STUB  fail if stale

The parts written sit between `# begin <Record>.<part>` and `# end` lines:
`<Record>.dict` is the record's TypedDict, `<Record>.properties` the
properties its table gives the class.
"""
from __future__ import annotations

import argparse
import ast
import difflib
import json
import keyword
import pathlib
import re
import sys
from typing import Any

Field = dict[str, Any]
Record = dict[str, Any]

BEGIN = re.compile(r"^( *)# begin (\w+)\.(dict|properties)\b.*$")
OPTIONAL = {"optional_text", "optional_timestamp", "optional_record"}


def literal_aliases(stub: str) -> dict[tuple[str, ...], str]:
    """The stub's `_Name = Literal[...]` aliases, by their values."""
    out: dict[tuple[str, ...], str] = {}
    for node in ast.parse(stub).body:
        if not (isinstance(node, ast.Assign) and isinstance(node.value, ast.Subscript)
                and isinstance(node.value.value, ast.Name) and node.value.value.id == "Literal"
                and isinstance(node.targets[0], ast.Name)):
            continue
        slice_ = node.value.slice
        values = slice_.elts if isinstance(slice_, ast.Tuple) else [slice_]
        out[tuple(str(v.value) for v in values if isinstance(v, ast.Constant))] = node.targets[0].id
    return out


class Types:
    def __init__(self, stub: str):
        self.aliases = literal_aliases(stub)

    def enum(self, field: Field) -> str:
        names = tuple(field["names"])
        return self.aliases.get(names) or "Literal[" + ", ".join(f'"{n}"' for n in names) + "]"

    def python(self, f: Field) -> str:
        """The property's type: what the getter returns."""
        base = {
            "text": "str", "optional_text": "str",
            "timestamp": "datetime.datetime", "optional_timestamp": "datetime.datetime",
            "boolean": "bool", "text_list": "builtins.list[str]",
        }.get(f["kind"]) or (self.enum(f) if f["kind"] == "enumeration" else f["nested"])
        return base + " | None" if f["kind"] in OPTIONAL else base

    def dict_value(self, f: Field) -> str:
        """The key's type in to_dict()'s result and from_dict()'s argument."""
        kind = f["kind"]
        if kind in ("record", "optional_record"):
            base = f"_{f['nested']}Dict"
        elif kind == "enumeration":
            base = self.enum(f)
        else:
            base = {"boolean": "bool", "text_list": "builtins.list[str]"}.get(kind, "str")
        if kind in OPTIONAL:
            base += " | None"
        # A key to_dict() may leave out; the reader takes it missing.
        if not f["emit_always"]:
            base = f"NotRequired[{base}]"
        if kind == "timestamp":
            base += "  # RFC 3339; to_dict() writes UTC with a Z"
        elif kind == "record" and f["absent"] == "defaulted":
            base += "  # null is refused here"
        return base


def part(record: Record, what: str, types: Types) -> list[str]:
    fields = record["fields"]
    if what == "properties":
        return [line for f in fields
                for line in ("@property", f"def {f['name']}(self) -> {types.python(f)}: ...")]
    name = f"_{record['name']}Dict"
    if any(keyword.iskeyword(f["name"]) for f in fields):
        # Keys that are keywords need the call form.
        items = ", ".join(f'"{f["name"]}": {types.dict_value(f)}' for f in fields)
        return [f'{name} = TypedDict("{name}", {{{items}}})']
    return [f"class {name}(TypedDict):"] + [f"    {f['name']}: {types.dict_value(f)}" for f in fields]


def rewrite(stub: str, records: dict[str, Record]) -> str:
    types = Types(stub)
    lines, i = stub.splitlines(), 0
    out: list[str] = []
    while i < len(lines):
        out.append(lines[i])
        m = BEGIN.match(lines[i])
        i += 1
        if not m:
            continue
        indent, name, what = m.groups()
        if name not in records:
            sys.exit(f"{name}: no such record in the field tables")
        out += [indent + line for line in part(records[name], what, types)]
        while i < len(lines) and lines[i].strip() != "# end":
            i += 1
        if i == len(lines):
            sys.exit(f"{name}.{what}: no '# end' line")
    return "\n".join(out) + "\n"


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("stub", type=pathlib.Path)
    ap.add_argument("--check", action="store_true", help="fail when the stub is not what the tables give")
    args = ap.parse_args()
    records = {r["name"]: r for r in json.load(sys.stdin)}
    old = args.stub.read_text()
    new = rewrite(old, records)
    if new == old:
        return
    if args.check:
        sys.stdout.writelines(difflib.unified_diff(
            old.splitlines(True), new.splitlines(True), str(args.stub), "from the field tables"))
        sys.exit(f"{args.stub} does not match the field tables: run 'make stubs'")
    args.stub.write_text(new)


if __name__ == "__main__":
    main()
