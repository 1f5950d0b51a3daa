"""AnchorReceipt, AnchorProof and MockAnchor."""
import json

import pytest

from ulo_protocol import AnchorProof, AnchorReceipt, MockAnchor

ROOT = bytes([0x11]) * 32
HEX = "11" * 32
RECEIPT = ('{"anchor_id":"m1","anchor_kind":"local","merkle_root_hex":"' + HEX +
           '","submission_ref":"mock://' + HEX + '","submitted_at":"2026-04-15T09:00:00Z",'
           '"expected_finality_at":"2026-04-15T09:00:00Z","proof_b64":""}')
KINDS = ["open_timestamps", "ethereum", "solana", "nist_tsa", "handshake", "local"]


def test_submit_gives_the_exact_receipt_once_and_verify_confirms_it():
    m = MockAnchor("m1")
    r = m.submit(ROOT)
    assert r.to_json() == RECEIPT
    assert repr(r) == f'AnchorReceipt(anchor_id="m1", kind="local", root="{HEX}")'
    with pytest.raises(ValueError) as e:
        m.submit(ROOT)
    assert str(e.value) == "anchor already submitted: " + "1" * 64
    p = m.verify(r)
    assert (p.anchor_id, p.anchor_kind, p.merkle_root_hex, p.confirmed, p.authoritative_time,
            p.detail) == ("m1", "local", HEX, True, "2026-04-15T09:00:00Z", "mock")
    assert repr(p) == f'AnchorProof(anchor_id="m1", kind="local", confirmed=true, root="{HEX}")'
    assert AnchorProof.from_json(p.to_json()) == p


def test_only_the_root_decides_verification():
    m = MockAnchor("m1")
    d = m.submit(bytes(range(32))).to_dict()
    d.update(merkle_root_hex=d["merkle_root_hex"].upper(), submitted_at="later",
             anchor_id="other", anchor_kind="solana", proof_b64="zz")
    p = m.verify(AnchorReceipt.from_dict(d))
    assert p.merkle_root_hex == d["merkle_root_hex"] and p.authoritative_time == "later"
    assert p.anchor_id == "m1" and p.anchor_kind == "local"


@pytest.mark.parametrize("root_hex,message", [
    ("1" * 63, "anchor bad response: Odd number of digits"),
    ("1" * 62, "anchor bad response: root len"),
    ("", "anchor bad response: root len"),
    ("zz" + "1" * 62, "anchor bad response: Invalid character 'z' at position 0"),
    ("11g1" + "1" * 60, "anchor bad response: Invalid character 'g' at position 2"),
    ("12g", "anchor bad response: Odd number of digits"),
    ("1é1", "anchor bad response: Invalid character 'Ã' at position 1"),
    ("0\n" + "00" * 31, "anchor bad response: Invalid character '\\n' at position 1"),  # one line
])
def test_malformed_receipt_roots(root_hex, message):
    d = json.loads(RECEIPT)
    d["merkle_root_hex"] = root_hex
    with pytest.raises(ValueError) as e:
        MockAnchor("m1").verify(AnchorReceipt.from_dict(d))
    assert str(e.value) == message


def test_unknown_root_raises_key_error():
    with pytest.raises(KeyError) as e:
        MockAnchor("other").verify(MockAnchor("m1").submit(ROOT))
    assert e.value.args[0] == "anchor not found: " + HEX
    assert str(e.value) == repr("anchor not found: " + HEX)


@pytest.mark.parametrize("root", [b"", b"\x11" * 31, b"\x11" * 33])
def test_root_must_be_32_bytes(root):
    with pytest.raises(ValueError, match="^merkle_root must be exactly 32 bytes$"):
        MockAnchor("m").submit(root)


def test_receipts_name_the_anchor_and_are_final_at_once():
    m = MockAnchor('a"b')
    r = m.submit(ROOT)
    assert (r.anchor_id, r.anchor_kind) == (m.id, m.kind)
    assert m.finality_seconds == 0 and r.expected_finality_at == r.submitted_at
    assert repr(m) == 'MockAnchor(id="a\\"b", kind="local")'
    assert m != MockAnchor('a"b')  # each anchor holds roots of its own


@pytest.mark.parametrize("kind", KINDS)
def test_record_json_forms(kind):
    d = json.loads(RECEIPT)
    d["anchor_kind"] = kind
    r = AnchorReceipt.from_dict(d)
    assert r.anchor_kind == kind and AnchorReceipt.from_json(r.to_json()) == r
    assert r.to_dict() == d
    proof = {"anchor_id": "a", "anchor_kind": kind, "merkle_root_hex": "ab", "confirmed": False,
             "authoritative_time": "t", "detail": ""}
    p = AnchorProof.from_dict(proof)
    assert p.to_dict() == proof and p.confirmed is False
    assert (r == p) is False


@pytest.mark.parametrize("cls,text,message", [
    (AnchorProof, "{", "invalid AnchorProof JSON: EOF while parsing an object at line 1 column 1"),
    (AnchorReceipt, RECEIPT.replace(',"proof_b64":""', ""),
     "invalid AnchorReceipt JSON: missing field `proof_b64` at line 1 column"),
    (AnchorProof, '{"anchor_id":"a","anchor_kind":"local","merkle_root_hex":"","confirmed":"true",'
                  '"authoritative_time":"","detail":""}', "invalid AnchorProof JSON: invalid type"),
])
def test_record_decode_errors(cls, text, message):
    with pytest.raises(ValueError) as e:
        cls.from_json(text)
    assert str(e.value).startswith(message)

