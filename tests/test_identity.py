"""Attestation chains, descriptors, verification and software identities."""
import base64
import json
import pickle

import pytest

from conftest import load_jsonl
from ulo_protocol import (AttestationChain, PeerIdentityDescriptor, ProtocolAddress,
                          SoftwareIdentity)

ED25519 = load_jsonl("ed25519.jsonl")
FINGERPRINTS = load_jsonl("fingerprint.jsonl")
SEEDS = load_jsonl("seeds.jsonl")
SURFACES = [("software", 0, False), ("os_keychain", 1, False), ("secure_element", 2, True),
            ("external_hardware", 3, True), ("threshold", 4, True)]


def descriptor(key_b64="11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo", **extra):
    d = {"fingerprint": "21fe31dfa154a261626bf854046fd227", "public_key_b64": key_b64,
         "surface": "software", "created_at": "2026-04-15T00:00:00Z", **extra}
    return PeerIdentityDescriptor.from_json(json.dumps(d))


def payload_of(v):
    if "payload_hex" in v:
        return bytes.fromhex(v["payload_hex"])
    return bytes([v["payload_pattern"]["byte"]]) * v["payload_pattern"]["len"]


# A descriptor verified more than this many times keeps a table of its key.
HOT_AFTER = 8


@pytest.mark.parametrize("v", ED25519, ids=lambda v: v["name"])
def test_verify_vectors(v):
    d = descriptor(v["public_key_b64"])
    sig = bytes.fromhex(v["signature_hex"])
    # The same verdict before and after the descriptor's key turns hot.
    for _ in range(HOT_AFTER + 3):
        if v["expected"] == "ok":
            assert d.verify(payload_of(v), sig) is None
        else:
            with pytest.raises(ValueError) as e:
                d.verify(payload_of(v), sig)
            assert str(e.value) == "signature verification failed: " + v["expected"]
    # The strict check accepts exactly what libsodium accepts; a key the
    # protocol refuses it refuses alike, and a weak key it refuses as a key.
    if v["libsodium_accepts"]:
        assert d.verify_strict(payload_of(v), sig) is None
        return
    with pytest.raises(ValueError) as e:
        d.verify_strict(payload_of(v), sig)
    weak = d.has_small_order_key
    want = "BadPublicKey" if weak or v["expected"] == "BadPublicKey" else "BadSignature"
    assert str(e.value) == "signature verification failed: " + want
    assert weak == any("anyone can sign for this key" in n for n in getattr(e.value, "__notes__", []))


def test_verify_many_strict_gives_the_verdicts_of_verify_strict():
    triples = [(descriptor(v["public_key_b64"]), payload_of(v), bytes.fromhex(v["signature_hex"]))
               for v in ED25519]
    want = [bool(v["libsodium_accepts"]) for v in ED25519]
    assert PeerIdentityDescriptor.verify_many_strict(triples) == want
    assert PeerIdentityDescriptor.verify_many_strict(triples * 20) == want * 20  # on the pool


P = 2**255 - 19


def key_b64(y):
    return base64.b64encode(y.to_bytes(32, "little")).decode().rstrip("=")


# The identity and its alias with x = -0 are among the vectors; y = p + 1 is
# the identity once more, written unreduced.
def test_small_order_key_verifies_any_payload_but_not_strictly():
    d = descriptor(key_b64(P + 1))
    forged = bytes.fromhex("01" + "00" * 63)  # R the identity, S = 0
    assert d.has_small_order_key
    for payload in (b"", b"transfer everything"):
        assert d.verify(payload, forged) is None
        with pytest.raises(ValueError) as e:
            d.verify_strict(payload, forged)
        assert str(e.value) == "signature verification failed: BadPublicKey"
        assert any("anyone can sign for this key" in n for n in e.value.__notes__)


def test_non_canonical_key_is_refused_strictly_as_a_key():
    # The first y >= p (beyond the small-order aliases) that is a point.
    y = next(y for y in range(P + 2, 2**255) if fingerprint_ok(key_b64(y)))
    d = descriptor(key_b64(y))
    assert not d.has_small_order_key
    with pytest.raises(ValueError, match="BadSignature"):
        d.verify(b"", bytes(64))
    with pytest.raises(ValueError, match="BadPublicKey") as e:
        d.verify_strict(b"", bytes(64))
    assert "not canonical" in e.value.__notes__[0]


def fingerprint_ok(b64):
    try:
        PeerIdentityDescriptor.fingerprint_of(base64.b64decode(b64 + "="))
        return True
    except ValueError:
        return False


def test_a_hot_descriptor_is_the_same_value():
    # Verified past the threshold it keeps its key's table; that is no part of its value.
    ident = SoftwareIdentity.from_seed(bytes(range(32)))
    hot = ident.descriptor()
    for _ in range(HOT_AFTER + 2):
        hot.verify(b"p", ident.sign(b"p"))
    fresh = ident.descriptor()
    assert hot == fresh and not hot != fresh and repr(hot) == repr(fresh)
    assert hot.to_json() == fresh.to_json() and pickle.loads(pickle.dumps(hot)) == fresh


@pytest.mark.parametrize("v", FINGERPRINTS, ids=lambda v: v["pk_hex"][:16])
def test_fingerprint_vectors(v):
    key = bytes.fromhex(v["pk_hex"])
    if len(v["expected"]) == 32 and " " not in v["expected"]:
        assert PeerIdentityDescriptor.fingerprint_of(key) == v["expected"]
    else:
        with pytest.raises(ValueError) as e:
            PeerIdentityDescriptor.fingerprint_of(key)
        assert str(e.value) == v["expected"]


@pytest.mark.parametrize("v", SEEDS, ids=lambda v: v["seed_hex"][:16])
def test_seed_vectors(v):
    ident = SoftwareIdentity.from_seed(bytes.fromhex(v["seed_hex"]))
    desc = ident.descriptor()
    assert desc.public_key_b64 == v["public_key_b64"]
    assert ident.fingerprint == desc.fingerprint == v["fingerprint"]
    sig = ident.sign(bytes.fromhex(v["payload_hex"]))
    assert sig.hex() == v["signature_hex"]
    assert desc.verify(bytes.fromhex(v["payload_hex"]), sig) is None
    raw = base64.b64decode(desc.public_key_b64 + "=")
    assert PeerIdentityDescriptor.fingerprint_of(raw) == ident.fingerprint


def test_a_bad_key_is_reported_before_a_bad_signature():
    d = descriptor("A" * 43 + "=")  # padded text is no key, though the JSON parses
    with pytest.raises(ValueError, match="BadPublicKey"):
        d.verify(b"", b"\x00" * 10)


def test_software_identity_signs_and_descriptor_verifies():
    ident = SoftwareIdentity.generate()
    desc = ident.descriptor()
    for payload in (b"", b"x", bytes(range(256)) * 40):
        sig = ident.sign(payload)
        assert len(sig) == 64 and desc.verify(payload, sig) is None
        bad = bytearray(sig)
        bad[5] ^= 1
        with pytest.raises(ValueError, match="^signature verification failed: BadSignature$"):
            desc.verify(payload, bytes(bad))
        with pytest.raises(ValueError, match="BadSignature"):
            desc.verify(payload + b"!", sig)
    assert list(json.loads(desc.to_json())) == ["fingerprint", "public_key_b64", "surface",
                                                "created_at"]
    assert (desc.surface, desc.tier, desc.hardware_attested) == ("software", 0, False)
    assert desc.attestation.is_empty() and desc.superseded_by is None
    assert desc.created_at == "2026-04-15T00:00:00Z"
    assert desc.address() == ProtocolAddress("body", "peer", ident.fingerprint)


def test_software_identity_value_rules():
    seed = bytes(range(32))
    a, b = SoftwareIdentity.from_seed(seed), SoftwareIdentity.from_seed(seed)
    assert a != b and hash(a) != hash(b)
    assert a.descriptor() == b.descriptor() and a.fingerprint == b.fingerprint
    assert a.secret_bytes() == seed
    assert SoftwareIdentity.from_seed(a.secret_bytes()).sign(b"m") == a.sign(b"m")
    assert repr(a) == f'SoftwareIdentity(fingerprint="{a.fingerprint}", surface="software")'
    assert (a.surface, a.hardware_attested) == ("software", False)
    assert SoftwareIdentity.generate().fingerprint != SoftwareIdentity.generate().fingerprint
    for bad in (b"x" * 31, b"x" * 33, b""):
        with pytest.raises(ValueError, match="^seed must be exactly 32 bytes$"):
            SoftwareIdentity.from_seed(bad)


@pytest.mark.parametrize("surface,tier,attested", SURFACES)
def test_surfaces(surface, tier, attested):
    certs = {"attestation": {"certs_b64": ["Y2VydA"], "vendor": "v"}}
    for extra in ({}, certs):
        d = descriptor(surface=surface, **extra)
        assert (d.surface, d.tier, d.hardware_attested) == (surface, tier, attested)
    assert repr(d) == (f'PeerIdentityDescriptor(fingerprint="21fe31dfa154a261626bf854046fd227", '
                       f'surface="{surface}", tier={tier})')


def test_descriptor_json_quirks():
    chain = {"certs_b64": ["Y2VydA", "b3RoZXI"], "vendor": "acme"}
    d = descriptor(attestation=chain, superseded_by={"class": "body", "type": "peer", "ref": "n"},
                   tier=9, hardware_attested=True)
    assert d.attestation == AttestationChain(chain["certs_b64"], "acme")
    assert d.superseded_by == ProtocolAddress("body", "peer", "n")
    assert PeerIdentityDescriptor.from_json(d.to_json()) == d
    assert PeerIdentityDescriptor.from_dict(d.to_dict()) == d
    assert "tier" not in d.to_json()
    vendor_only = descriptor(attestation={"certs_b64": [], "vendor": "acme"})
    assert "attestation" not in vendor_only.to_json()
    assert PeerIdentityDescriptor.from_json(vendor_only.to_json()) != vendor_only
    assert descriptor(superseded_by=None).superseded_by is None
    for bad, message in [
        ({"attestation": None}, "invalid type: null, expected struct AttestationChain"),
        ({"surface": "Software"}, "unknown variant `Software`"),
        ({"attestation": {"certs_b64": []}}, "missing field `vendor`"),
        ({"attestation": {"certs_b64": "x", "vendor": ""}},
         'invalid type: string "x", expected a sequence'),
    ]:
        with pytest.raises(ValueError, match="^invalid PeerIdentityDescriptor JSON: " + message):
            descriptor(**bad)
    with pytest.raises(ValueError, match="duplicate field `surface`"):
        PeerIdentityDescriptor.from_json('{"surface":"software","surface":"software"}')
    with pytest.raises(ValueError, match="missing field `public_key_b64`"):
        PeerIdentityDescriptor.from_json('{"fingerprint":"f","surface":"software"}')
    with pytest.raises(ValueError, match="trailing characters"):
        PeerIdentityDescriptor.from_json(d.to_json() + " x")


def test_descriptor_positional_form():
    d = descriptor()
    row = [d.fingerprint, d.public_key_b64, "software", {"certs_b64": [], "vendor": ""},
           d.created_at, None]
    assert PeerIdentityDescriptor.from_json(json.dumps(row)) == d
    with pytest.raises(ValueError, match="invalid length 4, expected struct "
                                         "PeerIdentityDescriptor with 6 elements"):
        PeerIdentityDescriptor.from_json(json.dumps(row[:3]))
    with pytest.raises(ValueError, match="invalid length 5, expected"):
        PeerIdentityDescriptor.from_json(json.dumps(row[:5]))


def test_descriptor_mismatched_fingerprint_is_kept():
    d = descriptor()
    other = PeerIdentityDescriptor.from_json(d.to_json().replace("21fe", "0000"))
    assert other.address().to_uri() == "tov://body/peer/0000" + d.fingerprint[4:]
    assert other != d


def test_attestation_chain_constructor():
    empty = AttestationChain()
    assert (empty.certs_b64, empty.vendor, empty.is_empty()) == ([], "", True)
    assert repr(empty) == 'AttestationChain(vendor="", certs=0)'
    assert AttestationChain(vendor="v").is_empty()
    assert AttestationChain(("a", "b"), "v") == AttestationChain(["a", "b"], "v")
    assert repr(AttestationChain(["a"], 'x"y')) == 'AttestationChain(vendor="x\\"y", certs=1)'
    chain = AttestationChain(["a"])
    assert chain.certs_b64 is not chain.certs_b64
