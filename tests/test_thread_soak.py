"""Threads sharing one queue directory and one MockAnchor with parsers and
verifiers running beside them: no deadlock, no lost or torn item, each root
accepted exactly once."""
import json
import threading

from conftest import envelope_dict
from ulo_protocol import (EnvelopeQueue, MockAnchor, PeerIdentityDescriptor, SignedEnvelope,
                          SoftwareIdentity)

WRITERS, ITEMS, ANCHOR_THREADS, ROOTS = 3, 40, 3, 60
TIMEOUT = 60


def envelope(ident):
    return SignedEnvelope.from_dict(envelope_dict(exchange_id=ident))


def test_threads_hammering_one_queue_and_one_anchor(tmp_path):
    queue = EnvelopeQueue(str(tmp_path))
    anchor = MockAnchor("shared")
    ident = SoftwareIdentity.from_seed(bytes(32))
    desc_json = ident.descriptor().to_json()
    stop = threading.Event()
    errors, accepted = [], []
    lock = threading.Lock()

    def guarded(fn):
        def run(*args):
            try:
                fn(*args)
            except BaseException as e:  # noqa: BLE001 - reported by the main thread
                with lock:
                    errors.append(e)
        return run

    @guarded
    def writer(w):
        # Each writer pushes its items, replaces them, lists, and drops the
        # odd ones; the even ones must remain.
        for i in range(ITEMS):
            queue.push(f"w{w}", envelope(f"w{w}-{i}"))
            queue.push(f"w{w}", envelope(f"w{w}-{i}"))
            queue.list()
            if i % 2:
                queue.drop_item(f"w{w}-{i}")

    @guarded
    def submitter():
        # Every thread tries every root; exactly one submission may win each.
        for r in range(ROOTS):
            root = bytes([r]) * 32
            try:
                receipt = anchor.submit(root)
            except ValueError as e:
                assert str(e).startswith("anchor already submitted: ")
                continue
            assert anchor.verify(receipt).confirmed
            with lock:
                accepted.append(root)

    @guarded
    def reader():
        while not stop.is_set():
            desc = PeerIdentityDescriptor.from_json(desc_json)
            payload = b"p" * 64
            desc.verify(payload, ident.sign(payload))
            envelope("r").to_json()
            for item in queue.list():
                assert item.envelope.exchange_id == item.queue_id

    busy = ([threading.Thread(target=writer, args=(w,)) for w in range(WRITERS)] +
            [threading.Thread(target=submitter) for _ in range(ANCHOR_THREADS)])
    readers = [threading.Thread(target=reader) for _ in range(2)]
    for t in busy + readers:
        t.start()
    for t in busy:
        t.join(TIMEOUT)
    stop.set()
    for t in readers:
        t.join(TIMEOUT)
    assert not any(t.is_alive() for t in busy + readers), "deadlock: threads still running"
    assert not errors, errors

    assert sorted(accepted) == [bytes([r]) * 32 for r in range(ROOTS)]
    expected = sorted(f"w{w}-{i}" for w in range(WRITERS) for i in range(0, ITEMS, 2))
    items = queue.list()
    assert sorted(i.queue_id for i in items) == expected
    for item in items:
        assert item.pair_class == item.queue_id.split("-")[0]
        assert json.loads(item.envelope.to_json()) == envelope_dict(exchange_id=item.queue_id)
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(e + ".json" for e in expected)
