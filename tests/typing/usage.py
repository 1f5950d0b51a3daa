"""Typical use of ulo_protocol, checked with `mypy --strict` and
basedpyright against the shipped stubs, and also run as a smoke script from
a fresh install. What the stubs must refuse is in misuse.py.
"""

from __future__ import annotations

import datetime
import sys
import tempfile
from typing import Literal

import ulo_protocol as ulo

if sys.version_info >= (3, 11):
    from typing import assert_type
else:
    from typing_extensions import assert_type

ENVELOPE_JSON = (
    '{"exchange_id":"ex-1","peer_self":{"class":"body","type":"agent","ref":"alice"},'
    '"direction":"outbound","request_hash":"aa11","our_signature":"sig-a",'
    '"opened_at":"2026-04-15T09:00:00Z","protocol_hint":"quic","counterparty_identifier":"peer-7"}'
)


def addresses() -> None:
    addr = ulo.ProtocolAddress.parse("tov://body/peer/abc")
    assert_type(addr.to_uri(), str)
    assert_type(addr.to_dict()["class"], Literal[
        "body", "act", "datum", "prop", "discard", "pair", "doc", "evidence", "route", "mediation"])
    assert addr == ulo.ProtocolAddress(address_class="body", type_="peer", ref_="abc")
    index: dict[ulo.ProtocolAddress, int] = {addr: hash(addr)}
    assert len(index) == 1


def envelopes_and_identities() -> None:
    env = ulo.SignedEnvelope.from_json(ENVELOPE_JSON)
    assert_type(env.opened_at, datetime.datetime)
    assert_type(env.closed_at, datetime.datetime | None)
    assert_type(env.response_hash, str | None)
    assert_type(env.peer_counterparty, ulo.ProtocolAddress | None)
    assert env.opened_at.tzinfo is datetime.timezone.utc
    assert ulo.SignedEnvelope.from_dict(env.to_dict()) == env
    closed = ulo.SignedEnvelope.from_dict({**env.to_dict(), "closed_at": None, "response_hash": "bb"})
    assert_type(closed.to_dict().get("closed_at"), str | None)

    identity = ulo.SoftwareIdentity.from_seed(bytes(32))
    payload: bytes = env.canonical_signing_bytes()
    descriptor = ulo.PeerIdentityDescriptor.from_json(identity.descriptor().to_json())
    descriptor.verify(payload, identity.sign(payload))
    assert descriptor.verify_many([(descriptor, payload, identity.sign(payload))]) == [True]
    descriptor.verify_strict(payload, identity.sign(payload))
    assert_type(descriptor.verify_many_strict([(descriptor, payload, identity.sign(payload))]),
                list[bool])
    assert_type(descriptor.has_small_order_key, bool)
    assert descriptor.tier == 0 and not descriptor.hardware_attested
    assert descriptor.attestation.is_empty()
    assert_type(descriptor.attestation.certs_b64, list[str])
    assert ulo.PeerIdentityDescriptor.fingerprint_of(bytes(32))

    info = ulo.CounterpartyInfo("peer-7", "quic", counterparty_signature=None)
    assert_type(info.to_dict()["peer_address"], str | None)
    assert ulo.AttestationChain(("c1", "c2"), vendor="v").certs_b64 == ["c1", "c2"]


def queue_and_anchor() -> None:
    env = ulo.SignedEnvelope.from_json(ENVELOPE_JSON)
    pair_class = ulo.classify_exchange(env.protocol_hint, env.counterparty_identifier)
    with tempfile.TemporaryDirectory() as tmp:
        queue = ulo.EnvelopeQueue(tmp)
        queue.push(pair_class, env)
        items = queue.list()
        assert_type(items, list[ulo.QueuedItem])
        assert [(i.queue_id, i.pair_class) for i in items] == [("ex-1", "routing")]
        assert_type(queue.count(), int)
        for item in queue.items():
            assert_type(item, ulo.QueuedItem)
            queue.drop_item(item.queue_id)
        assert queue.list() == []
        with open(f"{tmp}/broken.json", "w") as f:
            f.write("{")
        for error in queue.scan()[1]:
            assert_type(error.path, str)
            queue.quarantine(error.path)

    anchor = ulo.MockAnchor("m1")
    receipt = anchor.submit(bytes([0x11]) * 32)
    proof = anchor.verify(ulo.AnchorReceipt.from_dict(receipt.to_dict()))
    assert_type(proof.confirmed, bool)
    assert_type(anchor.finality_seconds, int)
    assert_type(anchor.cost_usd_per_submission, float)

    leaves = [ulo.new_exchange_id().encode() for _ in range(3)]
    root = ulo.merkle_root(leaves)
    assert_type(root, bytes)
    path = ulo.merkle_inclusion_proof(iter(leaves), 1)
    assert_type(path, list[bytes])
    assert_type(ulo.verify_merkle_inclusion(leaves[1], 1, len(leaves), path, root), None)


if __name__ == "__main__":
    addresses()
    envelopes_and_identities()
    queue_and_anchor()
