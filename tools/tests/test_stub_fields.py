"""The stub's generated parts: every field kind gives the property and dict
types a user of the record sees, and a stale stub is caught."""

from __future__ import annotations

import pytest

from tools import stub_fields


def field(name: str, kind: str, absent: str = "required", emit_always: bool = True,
          nested: str | None = None, names: tuple[str, ...] = ()) -> dict[str, object]:
    return {"name": name, "kind": kind, "absent": absent, "emit_always": emit_always,
            "nested": nested, "names": list(names)}


RECORD = {"name": "Rec", "fields": [
    field("a", "text"),
    field("b", "optional_text", "defaulted", emit_always=False),
    field("c", "optional_text", "defaulted"),
    field("d", "timestamp"),
    field("e", "enumeration", names=("x", "y")),
    field("f", "enumeration", names=("p", "q")),
    field("g", "record", "defaulted", emit_always=False, nested="Sub"),
    field("h", "optional_record", "optional", emit_always=False, nested="Sub"),
    field("i", "text_list"),
    field("j", "boolean"),
]}

STUB = '''_XY = Literal["x", "y"]
class Rec:
    # begin Rec.properties
    stale
    # end
# begin Rec.dict
# end
'''

PROPERTIES = ["str", "str | None", "str | None", "datetime.datetime", "_XY", 'Literal["p", "q"]',
              "Sub", "Sub | None", "builtins.list[str]", "bool"]
DICT = ["str", "NotRequired[str | None]", "str | None", "str  # RFC 3339; to_dict() writes UTC with a Z",
        "_XY", 'Literal["p", "q"]', "NotRequired[_SubDict]  # null is refused here",
        "NotRequired[_SubDict | None]", "builtins.list[str]", "bool"]


def test_each_kind_gives_its_types() -> None:
    out = stub_fields.rewrite(STUB, {"Rec": RECORD})
    names = "abcdefghij"
    assert [f"    def {n}(self) -> {t}: ..." for n, t in zip(names, PROPERTIES)] == \
        [line for line in out.splitlines() if line.startswith("    def ")]
    assert [f"    {n}: {t}" for n, t in zip(names, DICT)] == \
        [line for line in out.splitlines() if line.startswith("    ") and line[5:7] == ": "]
    assert stub_fields.rewrite(out, {"Rec": RECORD}) == out  # written once, then stable


def test_keyword_keys_take_the_call_form() -> None:
    rec = {"name": "Addr", "fields": [field("class", "text"), field("ref", "text")]}
    out = stub_fields.rewrite("# begin Addr.dict\n# end\n", {"Addr": rec})
    assert '_AddrDict = TypedDict("_AddrDict", {"class": str, "ref": str})' in out


@pytest.mark.parametrize("stub, message", [
    ("# begin Nope.dict\n# end\n", "Nope: no such record"),
    ("# begin Rec.dict\n", "Rec.dict: no '# end' line"),
])
def test_bad_markers_are_named(stub: str, message: str) -> None:
    with pytest.raises(SystemExit, match=message):
        stub_fields.rewrite(stub, {"Rec": RECORD})
