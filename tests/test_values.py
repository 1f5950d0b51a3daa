"""Value semantics of the records, one table for every record class:
equality, hashing, ordering, immutability, copies and pickles (across a real
process pool too), and the objects that refuse to be copied."""
import copy
import inspect
import multiprocessing
import pickle
from concurrent.futures import ProcessPoolExecutor

import pytest

import ulo_protocol as u
from conftest import envelope_with


def values():
    """(value, one that differs in a single field). Optional members present,
    with edge values (a NUL in a text, nanoseconds, a leap second) that a copy
    must keep."""
    anchor = u.MockAnchor("m1")
    receipt = anchor.submit(bytes(range(32)))
    proof = anchor.verify(receipt)
    env = envelope_with(peer_counterparty={"class": "doc", "type": "t", "ref": "r\u0000"},
                        direction="inbound", response_hash="",
                        opened_at="2026-04-15T09:00:00.000000001Z",
                        closed_at="2016-12-31T23:59:60.5Z")
    desc = u.SoftwareIdentity.from_seed(bytes(32)).descriptor()
    full = u.PeerIdentityDescriptor.from_dict({
        "fingerprint": "f", "public_key_b64": "k", "surface": "threshold",
        "attestation": {"certs_b64": ["x"], "vendor": "v"}, "created_at": "c",
        "superseded_by": {"class": "body", "type": "peer", "ref": "n"}})
    return [
        (u.ProtocolAddress("doc", "t/x", "\u00e9\x00"), u.ProtocolAddress("doc", "t/x", "\u00e9")),
        (u.CounterpartyInfo("a", "b", None, ""), u.CounterpartyInfo("a", "b")),
        (env, u.SignedEnvelope.from_dict({**env.to_dict(), "response_hash": None})),
        (u.AttestationChain(["c1", "c2"], "v"), u.AttestationChain(["c2", "c1"], "v")),
        (desc, u.PeerIdentityDescriptor.from_dict({**desc.to_dict(), "surface": "os_keychain"})),
        (full, u.PeerIdentityDescriptor.from_dict({**full.to_dict(), "superseded_by": None})),
        (receipt, u.AnchorReceipt.from_dict({**receipt.to_dict(), "proof_b64": "x"})),
        (proof, u.AnchorProof.from_dict({**proof.to_dict(), "confirmed": False})),
    ]


@pytest.mark.parametrize("value, other", values(), ids=lambda v: type(v).__name__)
def test_value_semantics(value, other):
    again = pickle.loads(pickle.dumps(value))
    assert again == value and not again != value and again is not value
    assert other != value and not other == value
    assert (value == str(value)) is False and value != 5
    with pytest.raises(TypeError):
        value < again  # noqa: B015
    # Only the address has a hash (of its content); the others have none.
    if isinstance(value, u.ProtocolAddress):
        assert hash(again) == hash(value) and len({value: 1, again: 2}) == 1
    else:
        with pytest.raises(TypeError):
            hash(value)
    for protocol in range(2, pickle.HIGHEST_PROTOCOL + 1):
        back = pickle.loads(pickle.dumps(value, protocol))
        assert back == value and type(back) is type(value) and repr(back) == repr(value)
    assert copy.copy(value) == value
    assert copy.deepcopy(value) == value
    # Immutable: no field can be set, and no attribute added.
    field = next(n for n, d in vars(type(value)).items() if inspect.isgetsetdescriptor(d))
    for name in (field, "extra"):
        with pytest.raises(AttributeError):
            setattr(value, name, 1)


def echo(value):
    return value


def test_values_cross_a_process_pool():
    # Fresh interpreters: every value is rebuilt from its pickle alone, with
    # nothing inherited from this process's memory.
    originals = [v for v, _ in values()]
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
