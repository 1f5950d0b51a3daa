"""Pickling and copying of the value records, across a real process pool."""
import copy
import json
import multiprocessing
import pickle
from concurrent.futures import ProcessPoolExecutor

import pytest

import ulo_protocol as u

# Not the shared sample: every optional member present, with edge values
# (a NUL in a text, nanoseconds, a leap second) that a copy must keep.
ENVELOPE = ('{"exchange_id":"ex-1","peer_self":{"class":"body","type":"agent","ref":"alice"},'
            '"peer_counterparty":{"class":"doc","type":"t","ref":"r\\u0000"},'
            '"direction":"inbound","request_hash":"aa11","response_hash":"",'
            '"our_signature":"sig-a","opened_at":"2026-04-15T09:00:00.000000001Z",'
            '"closed_at":"2016-12-31T23:59:60.5Z","protocol_hint":"quic",'
            '"counterparty_identifier":"peer-7"}')


def values():
    anchor = u.MockAnchor("m1")
    receipt = anchor.submit(bytes(range(32)))
    return [
        u.ProtocolAddress("doc", "t/x", "é\x00"),
        u.CounterpartyInfo("a", "b", None, ""),
        u.SignedEnvelope.from_json(ENVELOPE),
        u.AttestationChain(["c1", "c2"], "v"),
        u.SoftwareIdentity.from_seed(bytes(32)).descriptor(),
        u.PeerIdentityDescriptor.from_json(json.dumps({
            "fingerprint": "f", "public_key_b64": "k", "surface": "threshold",
            "attestation": {"certs_b64": ["x"], "vendor": "v"}, "created_at": "c",
            "superseded_by": {"class": "body", "type": "peer", "ref": "n"}})),
        receipt,
        anchor.verify(receipt),
    ]


def echo(value):
    return value


@pytest.mark.parametrize("value", values(), ids=lambda v: type(v).__name__)
def test_round_trips_and_copies(value):
    for protocol in range(2, pickle.HIGHEST_PROTOCOL + 1):
        again = pickle.loads(pickle.dumps(value, protocol))
        assert again == value and type(again) is type(value)
    assert copy.copy(value) == value
    assert copy.deepcopy(value) == value


def test_values_cross_a_process_pool():
    # Fresh interpreters: every value is rebuilt from its pickle alone, with
    # nothing inherited from this process's memory.
    originals = values()
    spawn = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(max_workers=2, mp_context=spawn) as pool:
        returned = list(pool.map(echo, originals, timeout=120))
    assert returned == originals
    assert [type(v) for v in returned] == [type(v) for v in originals]


def test_queue_pickles_by_directory(tmp_path):
    q = pickle.loads(pickle.dumps(u.EnvelopeQueue(str(tmp_path))))
    assert q.dir == str(tmp_path)


@pytest.mark.parametrize("make,why", [
    (lambda: u.SoftwareIdentity.generate(), "secret key"),
    (lambda: u.MockAnchor("m"), "submitted roots"),
])
def test_refused(make, why):
    obj = make()
    with pytest.raises(TypeError, match=why):
        pickle.dumps(obj)
    with pytest.raises(TypeError, match=why):
        copy.deepcopy(obj)
