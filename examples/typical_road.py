"""The typical road through ulo_protocol, step by step.

An envelope arrives as canonical JSON; its signature is checked through the
counterparty's descriptor; it is classified, spilled to the queue, re-emitted
and dropped; finally a batch root is anchored and the receipt verified.
Run with `make demo`.
"""
import hashlib
import json
import tempfile

import ulo_protocol as ulo


def section(title):
    print(f"\n-- {title}")


section("1. A protocol address")
addr = ulo.ProtocolAddress.parse("tov://body/agent/alice")
print(repr(addr), addr.to_dict(), "hash:", hash(addr))

section("2. The counterparty's identity (a tier-0 software key stands in for its signer)")
signer = ulo.SoftwareIdentity.from_seed(hashlib.sha256(b"demo counterparty").digest())
descriptor_json = signer.descriptor().to_json()
descriptor = ulo.PeerIdentityDescriptor.from_json(descriptor_json)
print(descriptor, "->", descriptor.address())

section("3. An envelope arrives as canonical JSON")
envelope = ulo.SignedEnvelope.from_json(json.dumps({
    "exchange_id": "0190a5b2-0000-7000-8000-000000000001",
    "peer_self": addr.to_dict(),
    "peer_counterparty": descriptor.address().to_dict(),
    "direction": "inbound",
    "request_hash": "aa11",
    "response_hash": "bb22",
    "our_signature": "sig-a",
    "opened_at": "2026-04-15T11:00:00.250+02:00",
    "protocol_hint": "quic",
    "counterparty_identifier": "https://api.stripe.com/v1/charges",
}))
print(envelope, "opened at", envelope.opened_at.isoformat())
print("canonical:", envelope.to_json())

section("4. Verify the counterparty's signature over the signing bytes")
signing_bytes = envelope.canonical_signing_bytes()
signature = signer.sign(signing_bytes)
descriptor.verify(signing_bytes, signature)
print("signed bytes", signing_bytes, "verified")
try:
    descriptor.verify(signing_bytes + b" ", signature)
except ValueError as e:
    print("tampered bytes refused:", e)

section("5. Classify the exchange")
pair_class = ulo.classify_exchange(envelope.protocol_hint, envelope.counterparty_identifier)
print("pair class:", pair_class)

section("6. Spill, list, re-emit and drop through the queue")
with tempfile.TemporaryDirectory() as tmp:
    queue = ulo.EnvelopeQueue(tmp + "/envelope-queue")
    queue.push(pair_class, envelope)
    for item in queue.list():
        print("re-emitting", item, "equal to the original:", item.envelope == envelope)
        queue.drop_item(item.queue_id)
    print("queue empty again:", queue.list() == [])

section("7. Anchor a batch root and verify the receipt")
anchor = ulo.MockAnchor("local-dev")
root = hashlib.sha256(signing_bytes).digest()
receipt = anchor.submit(root)
stored = receipt.to_json()
proof = anchor.verify(ulo.AnchorReceipt.from_json(stored))
print(receipt)
print(proof)
try:
    anchor.submit(root)
except ValueError as e:
    print("second submission refused:", e)
