"""Forked children get a working queue and anchor at once, whatever the
parent's worker runtime was doing at the fork. Every child is watched: a
hang ends it with SIGALRM and fails the test instead of stalling the run."""
import json
import multiprocessing
import os
import signal
import threading

import pytest

from ulo_protocol import EnvelopeQueue, MockAnchor, SignedEnvelope

pytestmark = [
    pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork"),
    # Forking a process that has threads is what is tested here.
    pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning"),
]

EXAMPLE = {"exchange_id": "ex-1", "peer_self": {"class": "body", "type": "agent", "ref": "a"},
           "direction": "outbound", "request_hash": "aa11", "our_signature": "sig-a",
           "opened_at": "2026-04-15T09:00:00Z", "protocol_hint": "quic",
           "counterparty_identifier": "peer-7"}
CHILD_LIMIT = 30  # seconds a child may take before it counts as hung


def envelope(exchange_id):
    return SignedEnvelope.from_json(json.dumps({**EXAMPLE, "exchange_id": exchange_id}))


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


def run_in_child(work):
    """Forks; the child runs work() under an alarm and exits 0 on success."""
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            signal.alarm(CHILD_LIMIT)
            work()
            code = 0
        finally:
            os._exit(code)
    _, status = os.waitpid(pid, 0)
    return status


def test_child_of_a_parent_that_used_the_runtime(tmp_path):
    q = EnvelopeQueue(str(tmp_path))
    q.push("routing", envelope("parent"))
    MockAnchor("a").submit(b"\1" * 32)
    status = run_in_child(lambda: child_work(str(tmp_path), 1))
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, status
    # The parent's runtime carries on.
    q.push("routing", envelope("parent2"))
    assert [i.queue_id for i in q.list()] == ["parent", "parent2"]


def _pool_task(args):
    return child_work(*args)


def test_fork_pool_after_the_parent_pushed(tmp_path):
    q = EnvelopeQueue(str(tmp_path))
    q.push("routing", envelope("parent"))
    ctx = multiprocessing.get_context("fork")
    with ctx.Pool(3) as pool:
        result = pool.map_async(_pool_task, [(str(tmp_path), n) for n in range(6)])
        lists = result.get(timeout=CHILD_LIMIT * 2)
    assert all("parent" in ids for ids in lists)
    assert [i.queue_id for i in q.list()] == ["parent"]


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
        statuses = [run_in_child(lambda: work(k)) for k in range(20)]
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

    assert run_in_child(child) == 0
    assert head + [i.queue_id for i in it] == ids
