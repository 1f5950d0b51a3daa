"""new_exchange_id: UUIDv7 text whose order is the order of making."""
import os
import time
import uuid

import pytest

from conftest import envelope_with
from ulo_protocol import EnvelopeQueue, new_exchange_id

pytestmark = pytest.mark.usefixtures("watchdog")


def test_text_is_a_version_7_uuid_of_now():
    before = int(time.time() * 1000)
    text = new_exchange_id()
    after = int(time.time() * 1000)
    u = uuid.UUID(text)
    assert (u.version, u.variant, str(u)) == (7, uuid.RFC_4122, text)
    # A burst may run the stamp a few milliseconds ahead of the clock.
    assert before <= u.int >> 80 <= after + 5


# Threads racing for ids are the C++ suite's: here the interpreter lock
# would keep them from racing at all.
def test_ids_increase_within_a_millisecond():
    ids = [new_exchange_id() for _ in range(20000)]  # thousands per millisecond
    assert ids == sorted(set(ids)) and len(ids) == 20000


def test_a_forked_child_continues_above_its_parent():
    last = [new_exchange_id() for _ in range(1000)][-1]
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.write(write, "".join(new_exchange_id() for _ in range(3)).encode())
        os._exit(0)
    os.close(write)
    child = os.read(read, 200).decode()
    os.close(read)
    os.waitpid(pid, 0)
    ids = [child[i:i + 36] for i in range(0, 108, 36)]
    assert last < ids[0] < ids[1] < ids[2] and last < new_exchange_id()


def test_queue_drains_in_emission_order(tmp_path):
    q = EnvelopeQueue(str(tmp_path))
    emitted = []
    for _ in range(300):
        env = envelope_with(exchange_id=new_exchange_id())
        q.push("routing", env)
        emitted.append(env.exchange_id)
    assert [i.queue_id for i in q.list()] == emitted
