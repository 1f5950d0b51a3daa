"""Forked children get a working queue and anchor at once, whatever the
parent's worker runtime was doing at the fork. Every child is watched: a
hang ends it with SIGALRM and fails the test instead of stalling the run."""
import os
import threading

import pytest

from conftest import envelope_with, run_in_child
from ulo_protocol import EnvelopeQueue, MockAnchor

pytestmark = [
    pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork"),
    # Forking a process that has threads is what is tested here.
    pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning"),
]

CHILD_LIMIT = 30  # seconds a child may take before it counts as hung


def envelope(exchange_id):
    return envelope_with(exchange_id=exchange_id)


def child_work(qdir, tag):
    """Everything that goes through the runtime, in a child; returns ids."""
    q = EnvelopeQueue(qdir)
    q.push("routing", envelope(f"child-{tag}"))
    ids = [i.queue_id for i in q.list()]
    q.drop_item(f"child-{tag}")
    q.sync()  # whatever the parent's threads were recording at the fork
    anchor = MockAnchor("a")
    receipt = anchor.submit(bytes([tag % 256]) * 32)
    assert anchor.verify(receipt).confirmed
    return ids


def test_child_of_a_parent_that_used_the_runtime(tmp_path):
    q = EnvelopeQueue(str(tmp_path))
    q.push("routing", envelope("parent"))
    MockAnchor("a").submit(b"\1" * 32)
    status = run_in_child(lambda: child_work(str(tmp_path), 1), CHILD_LIMIT)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, status
    # The parent's runtime carries on.
    q.push("routing", envelope("parent2"))
    assert [i.queue_id for i in q.list()] == ["parent", "parent2"]


@pytest.mark.parametrize("operation", ["list", "push", "durable push_many", "items"])
def test_fork_while_another_thread_runs_queue_operations(tmp_path, operation):
    q = EnvelopeQueue(str(tmp_path))
    durable = EnvelopeQueue(str(tmp_path), durable=True)
    ids = [f"item-{n:04d}" for n in range(300)]
    for i in ids:  # enough files for list() to fan out over the pool
        q.push("routing", envelope(i))
    stop = threading.Event()
    # Read by the other thread, a batch at a time without the interpreter
    # lock, and taken over by each child wherever the fork found it.
    shared = [q.items()]

    def busy():
        n = 0
        while not stop.is_set():
            if operation == "list":
                q.list()
            elif operation == "push":
                q.push("routing", envelope(f"item-{n % 300:04d}"))
            elif operation == "durable push_many":
                durable.push_many([("routing", envelope(f"item-{(n + k) % 300:04d}"))
                                   for k in range(4)])
            elif next(shared[0], None) is None:
                shared[0] = q.items()
            n += 1

    def work(k):
        rest = [i.queue_id for i in shared[0]]
        assert rest == ids[len(ids) - len(rest):]
        child_work(str(tmp_path), k)

    worker = threading.Thread(target=busy)
    worker.start()
    try:
        statuses = [run_in_child(lambda: work(k), CHILD_LIMIT) for k in range(20)]
    finally:
        stop.set()
        worker.join(timeout=CHILD_LIMIT)
    assert not worker.is_alive()
    assert all(os.WIFEXITED(s) and os.WEXITSTATUS(s) == 0 for s in statuses), statuses
    assert len(q.list()) == 300


def test_fork_in_the_middle_of_an_iteration(tmp_path):
    q = EnvelopeQueue(str(tmp_path))
    ids = [f"item-{n:04d}" for n in range(700)]
    for i in ids:
        q.push("routing", envelope(i))
    it = q.items()
    head = [next(it).queue_id for _ in range(300)]

    def child():
        assert head + [i.queue_id for i in it] == ids
        child_work(str(tmp_path), 7)

    assert run_in_child(child, CHILD_LIMIT) == 0
    assert head + [i.queue_id for i in it] == ids
