"""ProtocolAddress: URI form, content hash, dict form, representation."""
import pytest

from conftest import load_jsonl
from ulo_protocol import ProtocolAddress

VECTORS = load_jsonl("address_hash.jsonl")


@pytest.mark.parametrize("v", VECTORS, ids=lambda v: v["uri"][:40])
def test_vectors(v):
    a = ProtocolAddress(v["class"], v["type"], v["ref"])
    assert hash(a) == v["hash"]
    assert a.to_uri() == v["uri"] == str(a)
    assert repr(a) == v["repr"]


@pytest.mark.parametrize("uri,parts", [
    ("tov://body/peer/abc", ("body", "peer", "abc")),
    ("tov://body/peer/a/b/c", ("body", "peer", "a/b/c")),
    ("tov://body/peer/", ("body", "peer", "")),
    ("tov://body//x", ("body", "", "x")),
    ("tov://body//", ("body", "", "")),
    ("tov://mediation/é/\x00🙂", ("mediation", "é", "\x00🙂")),
])
def test_parse(uri, parts):
    a = ProtocolAddress.parse(uri)
    assert (a.address_class, a.type, a.ref) == parts
    assert a.to_uri() == uri


@pytest.mark.parametrize("uri", [
    "tov://body/peer", "TOV://body/peer/x", "tov://Body/peer/x", "tov:/body/peer/x", "",
    " tov://body/peer/x", "tov://body ", "tov://widget/a/b", "tov://body", "tov://",
])
def test_parse_refuses_with_the_input_in_the_message(uri):
    with pytest.raises(ValueError) as e:
        ProtocolAddress.parse(uri)
    assert str(e.value) == "invalid tov:// URI: " + uri


def test_type_with_slash_does_not_round_trip():
    a = ProtocolAddress("body", "a/b", "c")
    assert a.to_uri() == "tov://body/a/b/c"
    b = ProtocolAddress.parse(a.to_uri())
    assert (b.type, b.ref) == ("a", "b/c") and a != b


@pytest.mark.parametrize("bad", ["widget", "Body", "body ", ""])
def test_unknown_class(bad):
    with pytest.raises(ValueError) as e:
        ProtocolAddress(bad, "t", "r")
    assert str(e.value) == (
        f"unknown address class: {bad} (expected one of: body, act, datum, prop, discard, "
        "pair, doc, evidence, route, mediation)")


def test_keywords_in_any_order_and_str_subclasses_are_text():
    class S(str):
        pass

    want = ProtocolAddress("doc", "t", "r")
    assert ProtocolAddress(ref_="r", type_="t", address_class="doc") == want
    assert ProtocolAddress(S("body"), S("t"), S("r")).address_class == "body"


def test_parsed_and_built_addresses_are_one_key():
    a = ProtocolAddress("body", "peer", "abc")
    b = ProtocolAddress.parse("tov://body/peer/abc")
    assert a == b and len({a: 1, b: 2}) == 1 and (a == "tov://body/peer/abc") is False
    for op in ("__lt__", "__le__", "__gt__", "__ge__"):
        assert getattr(a, op)(b) is NotImplemented


def test_ne_honours_reflected_eq():
    class AlwaysEqual:
        def __eq__(self, other):
            return True

    assert (ProtocolAddress("body", "a", "b") != AlwaysEqual()) is False


def test_to_dict_order_and_fresh_objects():
    a = ProtocolAddress("route", "t", "r")
    d = a.to_dict()
    assert list(d.items()) == [("class", "route"), ("type", "t"), ("ref", "r")]
    assert a.to_dict() is not d


def test_large_and_odd_texts():
    big = "x" * 10_000_000
    a = ProtocolAddress("doc", big, "\x00\n\u200b")
    assert a.type == big
    assert repr(a).endswith('\\0\\n\\u{200b}")')
    with pytest.raises(UnicodeEncodeError):
        ProtocolAddress("doc", "\ud800", "r")


# Short URIs are built in a fixed buffer, longer ones on the heap: both sides
# of the boundary, counted in UTF-8 bytes.
@pytest.mark.parametrize("ref", ["r" * 243, "r" * 244, "r" * 245, "é" * 122, "é" * 123, "€" * 82,
                                 "r" * 5000])
def test_uri_lengths_around_the_buffer(ref):
    a = ProtocolAddress("doc", "t", ref)
    uri = "tov://doc/t/" + ref
    assert a.to_uri() == str(a) == uri
    assert repr(a) == f'ProtocolAddress("{uri}")'
    assert ProtocolAddress.parse(uri) == a
