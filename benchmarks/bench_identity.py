"""Verification and signing beside PyNaCl and cryptography; descriptor parsing
beside msgspec."""
import base64
import json

import msgspec
import nacl.signing
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PublicKey

from harness import Case
from ulo_protocol import PeerIdentityDescriptor, SoftwareIdentity

SEED = bytes(range(32))
PAYLOAD = b'["ex-1","aa11",null]'
# The identity point (y = 1) with R = identity and S = 0: small-order R and
# key, which only the slow path can decide.
SMALL_ORDER_R_SIG = bytes([1] + [0] * 31) + bytes(32)


class MDescriptor(msgspec.Struct):
    fingerprint: str
    public_key_b64: str
    surface: str
    created_at: str
    attestation: dict | None = None
    superseded_by: dict | None = None


def _descriptor(key_b64):
    return PeerIdentityDescriptor.from_json(json.dumps({
        "fingerprint": "0" * 32, "public_key_b64": key_b64, "surface": "software",
        "created_at": "2026-04-15T00:00:00Z"}))


def _fails(fn):
    def run():
        try:
            fn()
        except Exception:  # noqa: BLE001
            pass
    return run


def cases():
    ident = SoftwareIdentity.from_seed(SEED)
    desc = ident.descriptor()
    sig = ident.sign(PAYLOAD)
    bad_sig = sig[:-1] + bytes([sig[-1] ^ 1])
    nacl_sk = nacl.signing.SigningKey(SEED)
    nacl_vk = nacl_sk.verify_key
    raw_key = bytes(nacl_vk)
    crypto_pk = Ed25519PublicKey.from_public_bytes(raw_key)
    small_desc = _descriptor(base64.b64encode(bytes([1] + [0] * 31)).decode().rstrip("="))
    # y = p + 1 written out: a non-canonical encoding of the point y = 1.
    noncanon = (2**255 - 19 + 1).to_bytes(32, "little")
    noncanon_desc = _descriptor(base64.b64encode(noncanon).decode().rstrip("="))
    text = desc.to_json()
    m_dec = msgspec.json.Decoder(MDescriptor)
    ns = {"desc": desc, "PAYLOAD": PAYLOAD, "sig": sig, "nacl_vk": nacl_vk, "crypto_pk": crypto_pk,
          "ident": ident, "nacl_sk": nacl_sk, "PeerIdentityDescriptor": PeerIdentityDescriptor,
          "text": text, "m_dec": m_dec}
    verify_peers = {"PyNaCl VerifyKey.verify": ("nacl_vk.verify(PAYLOAD, sig)", ns),
                    "cryptography verify": ("crypto_pk.verify(sig, PAYLOAD)", ns)}
    return [
        Case("identity", "descriptor.verify (valid)", ("desc.verify(PAYLOAD, sig)", ns), verify_peers,
             [("PyNaCl VerifyKey.verify", 1.0), ("cryptography verify", 0.65)]),
        Case("identity", "verify, invalid signature", _fails(lambda: desc.verify(PAYLOAD, bad_sig)),
             {"ours, valid (fast path)": ("desc.verify(PAYLOAD, sig)", ns)}),
        Case("identity", "verify, small-order R (slow path)",
             lambda: small_desc.verify(b"", SMALL_ORDER_R_SIG),
             {"ours, valid (fast path)": ("desc.verify(PAYLOAD, sig)", ns)},
             [("ours, valid (fast path)", 3.0)]),
        Case("identity", "verify, non-canonical key (slow path)",
             _fails(lambda: noncanon_desc.verify(PAYLOAD, sig)),
             {"ours, valid (fast path)": ("desc.verify(PAYLOAD, sig)", ns)},
             [("ours, valid (fast path)", 3.0)]),
        Case("identity", "SoftwareIdentity.sign", ("ident.sign(PAYLOAD)", ns),
             {"PyNaCl SigningKey.sign": ("nacl_sk.sign(PAYLOAD)", ns)},
             [("PyNaCl SigningKey.sign", 1.0)]),
        Case("identity", "PeerIdentityDescriptor.from_json", ("PeerIdentityDescriptor.from_json(text)", ns),
             {"msgspec Struct": ("m_dec.decode(text)", ns)}, [("msgspec Struct", 1.0)]),
    ]
