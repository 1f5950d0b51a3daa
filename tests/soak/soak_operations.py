"""Leak and reference soak: every public operation of the module, many times.

Not collected by the normal run (file name); `make soak` runs it with
SOAK_SCALE=1 (a few hundred thousand calls per operation), `make test` with a
small scale. A case fails when resident memory keeps growing after warm-up
or when the reference count of any argument object changes.
"""
import copy
import gc
import json
import os
import pickle
import sys
import warnings

import pytest

from ulo_protocol import (AnchorProof, AnchorReceipt, AttestationChain, CounterpartyInfo,
                          EnvelopeQueue, MockAnchor, PeerIdentityDescriptor, ProtocolAddress,
                          SignedEnvelope, SoftwareIdentity, classify_exchange)

SCALE = float(os.environ.get("SOAK_SCALE", "1"))
CALLS = max(2000, int(300_000 * SCALE))
# File-system operations are ~100x slower than the rest.
IO_CALLS = max(200, CALLS // 50)
# A batch of 64 verifications costs what 64 single calls do.
BATCH_CALLS = max(200, CALLS // 64)
# Growth allowed after warm-up: allocator noise, not per-call leaks (one
# leaked byte per call would exceed it at full scale).
RSS_BOUND = 512 * 1024 if SCALE >= 1 else 256 * 1024
PAGE = os.sysconf("SC_PAGE_SIZE")

# Not the shared minimal sample: every optional member present, so that every
# getter and encoding branch is exercised.
ENVELOPE_JSON = ('{"exchange_id":"ex-1","peer_self":{"class":"body","type":"agent","ref":"alice"},'
                 '"peer_counterparty":{"class":"body","type":"agent","ref":"bob"},'
                 '"direction":"outbound","request_hash":"aa11","response_hash":"bb22",'
                 '"counterparty_signature":"sig-b","our_signature":"sig-a",'
                 '"opened_at":"2026-04-15T09:00:00.123456789Z","closed_at":"2026-04-15T09:00:01Z",'
                 '"protocol_hint":"quic","counterparty_identifier":"peer-7"}')
ENVELOPE_DICT = json.loads(ENVELOPE_JSON)
LEAP_JSON = ENVELOPE_JSON.replace("09:00:01Z", "23:59:60Z")
SEED = bytes(range(32))
IDENT = SoftwareIdentity.from_seed(SEED)
DESC = IDENT.descriptor()
DESC_JSON = DESC.to_json()
DESC_DICT = DESC.to_dict()
PAYLOAD = b"payload" * 20
SIG = IDENT.sign(PAYLOAD)
BAD_SIG = bytes(64)
ROOT = bytes([7]) * 32
ANCHOR = MockAnchor("m")
RECEIPT = ANCHOR.submit(ROOT)
RECEIPT_JSON = RECEIPT.to_json()
RECEIPT_DICT = RECEIPT.to_dict()
PROOF = ANCHOR.verify(RECEIPT)
PROOF_JSON = PROOF.to_json()
PROOF_DICT = PROOF.to_dict()
ADDR = ProtocolAddress("body", "peer", "abc")
URI = "tov://body/peer/abc"
CHAIN = AttestationChain(["YQ", "Yg"], "vendor")
INFO = CounterpartyInfo("peer-7", "quic", "addr", "sig")
ENV = SignedEnvelope.from_json(ENVELOPE_JSON)
BAD_JSON = '{"exchange_id": 1}'
NAMELESS = SignedEnvelope.from_dict({**ENVELOPE_DICT, "exchange_id": "..."})
TRUNCATED = ENVELOPE_JSON[:40]
# Below the parallel threshold: verified on the calling thread. Mixed
# verdicts, so both outcomes are churned.
SMALL_BATCH = [(DESC, PAYLOAD, SIG), (DESC, PAYLOAD, BAD_SIG), (DESC, b"", SIG)]
POOL_BATCH = [(DESC, PAYLOAD, SIG), (DESC, PAYLOAD[1:], SIG)] * 32
POOL_VERDICTS = [True, False] * 32


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def raises(exc, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc:
        return
    raise AssertionError(f"{fn} did not raise {exc.__name__}")


def churn(op, calls, watched):
    """Runs op() `calls` times after a warm-up; checks RSS and refcounts."""
    for _ in range(max(100, calls // 10)):
        op()
    gc.collect()
    before_refs = [sys.getrefcount(o) for o in watched]
    before = rss()
    for _ in range(calls):
        op()
    gc.collect()
    grown = rss() - before
    after_refs = [sys.getrefcount(o) for o in watched]
    assert after_refs == before_refs, f"reference counts changed: {before_refs} -> {after_refs}"
    assert grown <= RSS_BOUND, f"RSS grew by {grown} bytes over {calls} calls"
    print(f"  {calls} calls, RSS {before >> 10} KiB, growth {grown} B", end="")


# name -> (operation, argument objects whose counts must not move)
CASES = {
    # ProtocolAddress
    "address.new": (lambda: ProtocolAddress("body", "peer", "abc"), []),
    "address.new.kw": (lambda: ProtocolAddress(address_class="doc", type_="t", ref_="r"), []),
    "address.parse": (lambda: ProtocolAddress.parse(URI), [URI]),
    "address.getters": (lambda: (ADDR.address_class, ADDR.type, ADDR.ref), [ADDR]),
    "address.text": (lambda: (ADDR.to_uri(), str(ADDR), repr(ADDR), ADDR.to_dict()), [ADDR]),
    "address.hash.eq": (lambda: (hash(ADDR), ADDR == ADDR, ADDR != URI, ADDR == 1), [ADDR, URI]),
    "address.pickle": (lambda: (pickle.loads(pickle.dumps(ADDR)), copy.copy(ADDR)), [ADDR]),
    "address.errors": (lambda: (raises(ValueError, ProtocolAddress.parse, "tov://x/y"),
                                raises(ValueError, ProtocolAddress, "widget", "t", "r"),
                                raises(TypeError, ProtocolAddress, "body", 1, "r"),
                                raises(TypeError, ProtocolAddress.parse, uri=b"x"),
                                raises(TypeError, ProtocolAddress.parse, URI, URI)), [URI]),
    # CounterpartyInfo, AttestationChain, classify_exchange
    "info.all": (lambda: (CounterpartyInfo("a", "b"), INFO.identifier, INFO.protocol_hint,
                          INFO.peer_address, INFO.counterparty_signature, INFO.to_dict(),
                          repr(INFO), INFO == INFO, hash(INFO) if INFO.__hash__ else 0), [INFO]),
    "info.errors": (lambda: raises(TypeError, CounterpartyInfo, "a", "b", 3), []),
    "chain.all": (lambda: (AttestationChain(["a"], "v"), CHAIN.certs_b64, CHAIN.vendor,
                           CHAIN.is_empty(), repr(CHAIN), CHAIN == CHAIN,
                           pickle.loads(pickle.dumps(CHAIN))), [CHAIN]),
    "chain.errors": (lambda: (raises(TypeError, AttestationChain, "abc"),
                              raises(TypeError, AttestationChain, None)), []),
    "classify": (lambda: (classify_exchange("x3dh", "peer-7"), classify_exchange("", ""),
                          classify_exchange(protocol_hint="tcp", counterparty="api")), []),
    "classify.errors": (lambda: (raises(TypeError, classify_exchange, 1, 2),
                                 raises(TypeError, classify_exchange, "tcp")), []),
    # SignedEnvelope
    "envelope.from_json": (lambda: SignedEnvelope.from_json(ENVELOPE_JSON), [ENVELOPE_JSON]),
    "envelope.from_dict": (lambda: SignedEnvelope.from_dict(ENVELOPE_DICT), [ENVELOPE_DICT]),
    "envelope.out": (lambda: (ENV.to_json(), ENV.to_dict(), ENV.canonical_signing_bytes(),
                              repr(ENV), str(ENV)), [ENV]),
    "envelope.getters": (lambda: (ENV.exchange_id, ENV.peer_self, ENV.peer_counterparty,
                                  ENV.direction, ENV.request_hash, ENV.response_hash,
                                  ENV.counterparty_signature, ENV.our_signature, ENV.opened_at,
                                  ENV.closed_at, ENV.protocol_hint, ENV.counterparty_identifier),
                         [ENV]),
    "envelope.compare": (lambda: (ENV == ENV, ENV != ADDR, pickle.loads(pickle.dumps(ENV))),
                         [ENV, ADDR]),
    "envelope.errors": (lambda: (raises(ValueError, SignedEnvelope.from_json, BAD_JSON),
                                 raises(ValueError, SignedEnvelope.from_json, TRUNCATED),
                                 raises(ValueError, SignedEnvelope.from_dict, {}),
                                 raises(TypeError, SignedEnvelope.from_dict, [])),
                        [BAD_JSON, TRUNCATED]),
    "envelope.leap": (lambda: SignedEnvelope.from_json(LEAP_JSON).closed_at, [LEAP_JSON]),
    # Identities and descriptors
    "identity.from_seed": (lambda: SoftwareIdentity.from_seed(SEED), [SEED]),
    "identity.sign": (lambda: IDENT.sign(PAYLOAD), [IDENT, PAYLOAD]),
    "identity.getters": (lambda: (IDENT.fingerprint, IDENT.surface, IDENT.hardware_attested,
                                  IDENT.secret_bytes(), repr(IDENT), hash(IDENT),
                                  IDENT == IDENT), [IDENT]),
    "identity.descriptor": (lambda: IDENT.descriptor(), [IDENT]),
    "identity.errors": (lambda: (raises(ValueError, SoftwareIdentity.from_seed, b"short"),
                                 raises(TypeError, pickle.dumps, IDENT)), [IDENT]),
    "descriptor.parse": (lambda: (PeerIdentityDescriptor.from_json(DESC_JSON),
                                  PeerIdentityDescriptor.from_dict(DESC_DICT)),
                         [DESC_JSON, DESC_DICT]),
    "descriptor.out": (lambda: (DESC.to_json(), DESC.to_dict(), repr(DESC), DESC == DESC,
                                pickle.loads(pickle.dumps(DESC))), [DESC]),
    "descriptor.getters": (lambda: (DESC.fingerprint, DESC.public_key_b64, DESC.surface,
                                    DESC.tier, DESC.hardware_attested, DESC.attestation,
                                    DESC.created_at, DESC.superseded_by, DESC.address()),
                           [DESC]),
    "descriptor.verify": (lambda: DESC.verify(PAYLOAD, SIG), [DESC, PAYLOAD, SIG]),
    "descriptor.fingerprint_of": (lambda: PeerIdentityDescriptor.fingerprint_of(SEED), [SEED]),
    "descriptor.errors": (lambda: (raises(ValueError, DESC.verify, PAYLOAD, BAD_SIG),
                                   raises(ValueError, DESC.verify, PAYLOAD, b"x"),
                                   raises(ValueError, PeerIdentityDescriptor.fingerprint_of, b"1"),
                                   raises(ValueError, PeerIdentityDescriptor.from_json, BAD_JSON),
                                   raises(TypeError, DESC.verify, "text", SIG)),
                          [DESC, PAYLOAD, BAD_SIG, SIG, BAD_JSON]),
    "descriptor.verify_many.small": (lambda: _verify_many(SMALL_BATCH, [True, False, False]),
                                     [DESC, PAYLOAD, SIG, BAD_SIG, SMALL_BATCH]),
    "descriptor.verify_many.pool": (lambda: _verify_many(POOL_BATCH, POOL_VERDICTS),
                                    [DESC, PAYLOAD, SIG, POOL_BATCH]),
    "descriptor.verify_many.errors": (lambda: _verify_many_errors(),
                                      [DESC, PAYLOAD, SIG, SMALL_BATCH]),
    # Anchors
    "anchor.submit.verify": (lambda: _submit_verify(), [ROOT]),
    "anchor.getters": (lambda: _anchor_getters(), [ROOT]),
    "anchor.records": (lambda: (AnchorReceipt.from_json(RECEIPT_JSON),
                                AnchorReceipt.from_dict(RECEIPT_DICT),
                                AnchorProof.from_json(PROOF_JSON), AnchorProof.from_dict(PROOF_DICT),
                                RECEIPT.to_json(), RECEIPT.to_dict(), PROOF.to_json(),
                                PROOF.to_dict(), repr(RECEIPT), repr(PROOF), RECEIPT == RECEIPT,
                                PROOF == PROOF, pickle.loads(pickle.dumps(RECEIPT))),
                       [RECEIPT_JSON, RECEIPT_DICT, PROOF_JSON, PROOF_DICT, RECEIPT, PROOF]),
    "anchor.record.getters": (lambda: (RECEIPT.anchor_id, RECEIPT.anchor_kind,
                                       RECEIPT.merkle_root_hex, RECEIPT.submission_ref,
                                       RECEIPT.submitted_at, RECEIPT.expected_finality_at,
                                       RECEIPT.proof_b64, PROOF.anchor_id, PROOF.anchor_kind,
                                       PROOF.merkle_root_hex, PROOF.confirmed,
                                       PROOF.authoritative_time, PROOF.detail),
                              [RECEIPT, PROOF]),
    "anchor.errors": (lambda: _anchor_errors(), [ROOT, RECEIPT, BAD_JSON]),
}


def _verify_many(batch, expected):
    assert PeerIdentityDescriptor.verify_many(batch) == expected


def _failing_items():
    yield from SMALL_BATCH
    raise LookupError("midway")


def _verify_many_errors():
    verify_many = PeerIdentityDescriptor.verify_many
    # Triples already taken are released when a later one is refused.
    raises(TypeError, verify_many, [*SMALL_BATCH, (DESC, bytearray(PAYLOAD), SIG)])
    raises(TypeError, verify_many, [*SMALL_BATCH, (DESC, PAYLOAD)])
    raises(TypeError, verify_many, (t for t in [*SMALL_BATCH, (DESC.to_json(), PAYLOAD, SIG)]))
    raises(LookupError, verify_many, _failing_items())
    raises(TypeError, verify_many, 5)
    raises(TypeError, verify_many)
    raises(TypeError, verify_many, SMALL_BATCH, SMALL_BATCH)


BATCHED = {"descriptor.verify_many.pool"}


def _submit_verify():
    m = MockAnchor("m")
    return m.verify(m.submit(ROOT))


def _anchor_getters():
    m = MockAnchor("m")
    return m.id, m.kind, m.cost_usd_per_submission, m.finality_seconds, repr(m), m == m


def _anchor_errors():
    m = MockAnchor("m")
    m.submit(ROOT)
    raises(ValueError, m.submit, ROOT)
    raises(ValueError, m.submit, b"short")
    raises(KeyError, MockAnchor("other").verify, RECEIPT)
    raises(TypeError, m.verify, RECEIPT_JSON)
    raises(TypeError, pickle.dumps, m)
    raises(ValueError, AnchorReceipt.from_json, BAD_JSON)
    raises(ValueError, AnchorProof.from_json, BAD_JSON)


@pytest.mark.parametrize("name", sorted(CASES))
def test_operation_does_not_leak(name):
    op, watched = CASES[name]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        churn(op, BATCH_CALLS if name in BATCHED else CALLS, watched)


def test_queue_operations_do_not_leak(tmp_path):
    q = EnvelopeQueue(str(tmp_path))
    bad = tmp_path / "bad.json"
    pair = "routing"

    def op():
        q.push(pair, ENV)
        q.push(pair, ENV)  # replaces the same file
        (item,) = q.list()
        item.queue_id, item.pair_class, item.envelope, repr(item)
        q.drop_item("ex-1")
        q.drop_item("ex-1")
        q.dir, repr(q), EnvelopeQueue.default(), pickle.loads(pickle.dumps(q))
        raises(ValueError, q.push, pair, NAMELESS)
        bad.write_text("{")
        raises(ValueError, q.list)
        bad.unlink()
        raises(OSError, EnvelopeQueue(str(blocker / "x")).push, pair, ENV)

    # A file where a directory is expected: an I/O error on every call.
    blocker = tmp_path.parent / (tmp_path.name + "-blocker")
    blocker.write_text("")
    churn(op, IO_CALLS, [q, ENV, pair])
    assert q.list() == []
