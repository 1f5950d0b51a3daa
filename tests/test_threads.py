"""Eight threads sharing everything at once, round after round: one items()
iterator, one queue directory pushed to, replaced in, dropped from and listed,
one MockAnchor, and descriptors verified one by one and in batches. Without an interpreter lock (a
free-threaded CPython with PYTHON_GIL=0) nothing but the module's own
synchronisation keeps them apart; with one, this must hold all the same."""
import os
import subprocess
import sys
import threading

import pytest

from conftest import FREE_THREADED, envelope_with
from ulo_protocol import EnvelopeQueue, MockAnchor, SoftwareIdentity

pytestmark = pytest.mark.usefixtures("watchdog")

THREADS, ROUNDS, ITEMS = 8, 16, 800
# A hang, not slowness, is what the timeout is for: the whole test takes
# seconds even under ThreadSanitizer on a loaded two-core machine, and the
# watchdog (120 s) ends the process if a join itself never returns.
JOIN_TIMEOUT = 100


def test_threads_share_an_iterator_a_queue_an_anchor_and_descriptors(tmp_path):
    source = EnvelopeQueue(str(tmp_path / "source"))
    ids = [f"i{k:05d}" for k in range(ITEMS)]
    for ident in ids:
        source.push("routing", envelope_with(exchange_id=ident))
    pushed = EnvelopeQueue(str(tmp_path / "pushed"))
    anchor = MockAnchor("shared")
    identities = [SoftwareIdentity.from_seed(bytes([s]) * 32) for s in range(4)]
    descriptors = [i.descriptor() for i in identities]
    # Large enough for the pool; only every third signature is the key's own.
    triples = [(descriptors[k % 4], b"%d" % k, identities[(k + k % 3) % 4].sign(b"%d" % k))
               for k in range(48)]
    verdicts = [k % 3 == 0 for k in range(48)]

    # Made ahead: items() reads nothing until the first next().
    iterators = [source.items() for _ in range(ROUNDS)]
    drained = [[[] for _ in range(THREADS)] for _ in range(ROUNDS)]
    shared_root_wins = [0] * ROUNDS
    errors = []
    lock = threading.Lock()
    start = threading.Barrier(THREADS)

    def work(n):
        try:
            for r in range(ROUNDS):
                start.wait()  # every thread reaches the iterator at once
                mine = drained[r][n]
                for item in iterators[r]:
                    mine.append(item)  # looked at later: keep the race tight
                pushed.push("routing", envelope_with(exchange_id=f"r{r}-t{n}"))
                pushed.push("routing", envelope_with(exchange_id="everyone"))
                if r % 2:
                    pushed.drop_item(f"r{r}-t{n}")
                assert all(i.envelope.exchange_id == i.queue_id for i in pushed.list())
                receipt = anchor.submit(bytes([1, r, n]) + bytes(29))
                assert anchor.verify(receipt).confirmed
                try:
                    anchor.submit(bytes([2, r]) + bytes(30))  # one wins
                    with lock:
                        shared_root_wins[r] += 1
                except ValueError as e:
                    assert str(e).startswith("anchor already submitted: ")
                # Every thread on one descriptor: its key table is built while
                # the others verify with it.
                descriptors[0].verify(b"x", identities[0].sign(b"x"))
                assert descriptors[0].verify_many(triples) == verdicts
        except BaseException as e:  # noqa: BLE001 - reported by the main thread
            with lock:
                errors.append(e)
            start.abort()

    threads = [threading.Thread(target=work, args=(n,)) for n in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(JOIN_TIMEOUT)
    assert not any(t.is_alive() for t in threads), "deadlock: threads still running"
    assert not errors, errors

    for r in range(ROUNDS):
        # Every item exactly once, whole (a record moved out from under a
        # second reader has an empty id), and in order within each thread.
        got = [item.queue_id for mine in drained[r] for item in mine]
        assert sorted(got) == ids, f"round {r}"
        for mine in drained[r]:
            assert [i.envelope.exchange_id for i in mine] == [i.queue_id for i in mine]
            assert [i.queue_id for i in mine] == sorted(i.queue_id for i in mine)
    assert shared_root_wins == [1] * ROUNDS
    listed = pushed.list()
    kept = sorted(["everyone"] + [f"r{r}-t{n}" for r in range(0, ROUNDS, 2) for n in range(THREADS)])
    assert sorted(i.queue_id for i in listed) == kept
    assert all(i.envelope == envelope_with(exchange_id=i.queue_id) for i in listed)
    # Nothing left behind: no temporary file of a replaced or dropped item.
    assert sorted(os.listdir(tmp_path / "pushed")) == sorted(f"{i}.json" for i in kept)


@pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded CPython")
def test_import_leaves_the_interpreter_lock_off():
    # A module that does not declare itself safe turns the lock back on as it
    # is imported, with a RuntimeWarning; PYTHON_GIL=0 would hide that.
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    code = "import sys, ulo_protocol; print(sys._is_gil_enabled())"
    out = subprocess.run([sys.executable, "-W", "error", "-c", code], env=env,
                         capture_output=True, text=True, check=True, timeout=60)
    assert out.stdout == "False\n"
