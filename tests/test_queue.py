"""EnvelopeQueue and QueuedItem over real directories."""
import json
import os
import pickle
import re
import subprocess
import sys
import textwrap
import threading

import pytest

from conftest import ENVELOPE_JSON, envelope_with, run_python
from ulo_protocol import EnvelopeQueue, QueuedItem

pytestmark = pytest.mark.usefixtures("watchdog")

# The stored form: two-space indents, members in record order, no final newline.
EXAMPLE_FILE = json.dumps({"queue_id": "ex-1", "pair_class": "routing",
                           "envelope": json.loads(ENVELOPE_JSON)}, indent=2)


def envelope(exchange_id="ex-1"):
    return envelope_with(exchange_id=exchange_id)


def test_push_writes_the_exact_file_and_lists_it(tmp_path):
    q = EnvelopeQueue(str(tmp_path / "a" / "b"))
    assert q.list() == [] and not (tmp_path / "a").exists()
    assert q.push("routing", envelope()) is None
    assert (tmp_path / "a" / "b" / "ex-1.json").read_text() == EXAMPLE_FILE
    assert [p.name for p in (tmp_path / "a" / "b").iterdir()] == ["ex-1.json"]
    (item,) = q.list()
    assert type(item) is QueuedItem
    assert (item.queue_id, item.pair_class, item.envelope) == ("ex-1", "routing", envelope())
    assert item.envelope is not item.envelope
    assert repr(item) == 'QueuedItem(queue_id="ex-1", pair_class="routing")'
    assert q.drop_item("ex-1") is None and q.list() == []
    assert q.drop_item("never-there") is None


def test_order_sanitising_and_replacement(tmp_path):
    q = EnvelopeQueue(str(tmp_path))
    for ident in ["0190a5b2-0000-7000-8000-000000000002", "0190a5b2-0000-7000-8000-000000000001",
                  "x/y..z", "a.b", "a.b"]:
        q.push("p" + ident[-1], envelope(ident))
    names = sorted(os.listdir(tmp_path))
    assert names == ["0190a5b2-0000-7000-8000-000000000001.json",
                     "0190a5b2-0000-7000-8000-000000000002.json", "ab.json", "xyz.json"]
    items = q.list()
    assert [i.queue_id for i in items] == ["0190a5b2-0000-7000-8000-000000000001",
                                          "0190a5b2-0000-7000-8000-000000000002", "a.b", "x/y..z"]
    q.drop_item("x/y..z")
    assert not (tmp_path / "xyz.json").exists()


@pytest.mark.parametrize("first, second", [("order:17", "order17"), ("ab", "a.b"),
                                           ("x" * 240, "x" * 240 + "\n")])
def test_ids_that_share_a_file_name_never_replace_or_drop_each_other(tmp_path, first, second):
    q = EnvelopeQueue(str(tmp_path))
    q.push("routing", envelope(first))
    before = os.listdir(tmp_path), (tmp_path / os.listdir(tmp_path)[0]).read_bytes()
    with pytest.raises(ValueError) as e:
        q.push("trust", envelope(second))
    message = str(e.value)
    assert message.startswith("queue id ") and message.endswith("; nothing written")
    for ident in (first, second):
        quoted = json.dumps(ident[:200], ensure_ascii=False)
        assert quoted in message or quoted[:-1] + '"... [' in message
    assert "\n" not in message and len(message) < 1000
    assert e.value.path == str(tmp_path / os.listdir(tmp_path)[0])
    assert (os.listdir(tmp_path), (tmp_path / os.listdir(tmp_path)[0]).read_bytes()) == before
    q.drop_item(second)  # not the item queued as `first`
    assert [(i.queue_id, i.pair_class) for i in q.list()] == [(first, "routing")]
    q.drop_item(first)
    assert q.list() == []


def test_other_files_are_ignored_and_every_field_survives(tmp_path):
    for name in ("x.txt", "x.JSON", "x", ".json", "x.json.tmp", ".a.json.tmp-1-1"):
        (tmp_path / name).write_text("not an item")
    q = EnvelopeQueue(str(tmp_path))
    assert q.list() == []
    full = envelope_with(peer_counterparty={"class": "mediation", "type": "p/q", "ref": '"r"'},
                         direction="inbound", response_hash="", counterparty_signature="sig-b",
                         closed_at="2016-12-31T23:59:60.5Z")
    q.push("", full)
    assert [(i.pair_class, i.envelope) for i in q.list()] == [("", full)]


@pytest.mark.parametrize("exchange_id", ["", "...", "é", "/"])
def test_id_without_file_name_characters_is_refused(tmp_path, exchange_id):
    q = EnvelopeQueue(str(tmp_path))
    with pytest.raises(ValueError) as e:
        q.push("routing", envelope(exchange_id))
    assert str(e.value) == ("queue id has no file-name characters: "
                            + json.dumps(exchange_id, ensure_ascii=False))
    assert os.listdir(tmp_path) == []


def test_directory_in_place_of_an_item(tmp_path):
    q = EnvelopeQueue(str(tmp_path))
    (tmp_path / "y.json").mkdir()
    with pytest.raises(IsADirectoryError) as e:
        q.drop_item("y")
    assert str(e.value).endswith("(os error 21)")
    assert (e.value.errno, e.value.filename) == (21, str(tmp_path / "y.json"))
    where = re.escape(f"queue I/O error at {tmp_path / 'y.json'}: ")
    with pytest.raises(OSError, match=f"^{where}.*os error 21"):
        q.push("routing", envelope("y"))
    assert os.listdir(tmp_path) == ["y.json"]  # no temporary file left behind


def test_path_through_a_regular_file(tmp_path):
    (tmp_path / "f").write_text("")
    q = EnvelopeQueue(str(tmp_path / "f" / "q"))
    assert q.list() == []
    with pytest.raises(OSError) as e:
        q.push("routing", envelope())
    assert str(e.value).startswith(f"queue I/O error at {tmp_path / 'f' / 'q'}: ")
    with pytest.raises(OSError, match="os error 20"):
        EnvelopeQueue(str(tmp_path / "f")).list()


def test_threads_and_processes_lose_nothing(tmp_path):
    q = EnvelopeQueue(str(tmp_path))
    errors = []

    def worker(n):
        try:
            for i in range(50):
                q.push("routing", envelope(f"t{n}-{i:03d}"))
                assert len(q.list()) >= 1
        except Exception as e:  # noqa: BLE001
            errors.append(e)

    code = (f"from ulo_protocol import EnvelopeQueue, SignedEnvelope\nimport json\n"
            f"q = EnvelopeQueue({str(tmp_path)!r})\n"
            f"for i in range(100):\n"
            f"    d = json.loads({ENVELOPE_JSON!r}); d['exchange_id'] = f'p-{{i:03d}}'\n"
            f"    q.push('routing', SignedEnvelope.from_dict(d)); q.list()\n")
    proc = subprocess.Popen([sys.executable, "-c", code])
    threads = [threading.Thread(target=worker, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()  # under the watchdog
    assert proc.wait(timeout=120) == 0
    assert errors == []
    ids = [i.queue_id for i in q.list()]
    assert len(ids) == 300 and ids == sorted(ids)


def test_default_directory(monkeypatch):
    monkeypatch.setenv("HOME", "/home/u/")
    assert EnvelopeQueue.default().dir == "/home/u/.tovane/envelope-queue"
    monkeypatch.setenv("HOME", "/home/u")
    assert repr(EnvelopeQueue.default()) == 'EnvelopeQueue(dir="/home/u/.tovane/envelope-queue")'
    monkeypatch.setenv("HOME", "")
    assert EnvelopeQueue.default().dir == ".tovane/envelope-queue"
    monkeypatch.delenv("HOME")
    assert EnvelopeQueue.default().dir == ".envelope-queue"


def test_arguments_are_checked_before_anything_happens(tmp_path):
    with pytest.raises(TypeError, match="argument 'dir': 'bytes' object cannot be cast as 'str'"):
        EnvelopeQueue(b"q")
    q = EnvelopeQueue(str(tmp_path / "q"))
    with pytest.raises(TypeError, match="argument 'envelope': 'dict' object cannot be cast as "
                                        "'SignedEnvelope'"):
        q.push("routing", {})
    with pytest.raises(TypeError, match="argument 'pair_class'"):
        q.push(1, envelope())
    assert not (tmp_path / "q").exists()
    assert repr(EnvelopeQueue('a"b')) == 'EnvelopeQueue(dir="a\\"b")'


def test_runtime_starts_at_the_first_bridge_call(tmp_path):
    code = textwrap.dedent(f"""
        import os
        def threads(): return len(os.listdir('/proc/self/task'))
        start = threads()
        import ulo_protocol as u
        q = u.EnvelopeQueue({str(tmp_path)!r}); u.EnvelopeQueue.default(); repr(q); q.dir
        u.MockAnchor("m")
        after_import = threads()
        try:
            q.push(1, None)
        except TypeError:
            pass
        after_bad_push = threads()
        e = u.SignedEnvelope.from_json({ENVELOPE_JSON!r})
        q.push("routing", e)
        first = threads()
        for _ in range(20):
            q.push("routing", e)
        print(start, after_import, after_bad_push, first, threads())
    """)
    start, after_import, after_bad_push, first, later = map(int, run_python(code).stdout.split())
    # Compared with the start, not with 1: an emulator may run a thread of its own.
    assert start == after_import == after_bad_push
    assert first > start and later <= first + 1


def fill(q, n, prefix="i"):
    q.push_many(("routing", envelope(f"{prefix}{k:05d}")) for k in range(n))


# items() reads 32 names first, then twice as many each time up to 1024, so
# its batches end after 32, 96, ... 992, 2016 names. Sizes on both sides of
# the first end and of the first full-size batch, grown in one queue.
def test_items_streams_what_list_returns_and_count_counts_it(tmp_path):
    q = EnvelopeQueue(str(tmp_path / "q"))
    assert q.count() == 0 and list(q.items()) == []
    (tmp_path / "q").mkdir()
    (tmp_path / "q" / "x.txt").write_text("not counted")
    it = q.items()
    assert iter(it) is it and "ulo_protocol" in type(it).__module__
    assert not hasattr(__import__("ulo_protocol"), type(it).__name__)
    have = 0
    for n in [1, 31, 32, 33, 991, 992, 993, 2015, 2016, 2017]:
        q.push_many(("routing", envelope(f"i{k:05d}")) for k in range(have, n))
        have = n
        it = q.items()
        got = [(i.queue_id, i.pair_class, i.envelope) for i in it]
        assert [g[0] for g in got] == [f"i{k:05d}" for k in range(n)], n  # each once, in order
        assert got == [(i.queue_id, i.pair_class, i.envelope) for i in q.list()], n
        assert next(it, None) is None  # stays exhausted
        assert q.count() == n


def test_items_reads_names_once_and_skips_what_was_dropped_meanwhile(tmp_path):
    q = EnvelopeQueue(str(tmp_path))
    fill(q, 600)
    it = q.items()
    assert repr(it) == f'QueuedItemIterator(dir="{tmp_path}", position=0)'
    assert next(it).queue_id == "i00000"
    assert repr(it) == f'QueuedItemIterator(dir="{tmp_path}", position=1, names=600)'
    for k in range(300, 400):
        q.drop_item(f"i{k:05d}")    # dropped by someone else, ahead of the reader
    q.push("routing", envelope("i99999"))  # after the names were read
    rest = []
    for item in it:
        rest.append(item.queue_id)
        q.drop_item(item.queue_id)  # the drainer drops as it goes
    assert rest == [f"i{k:05d}" for k in range(1, 600) if not 300 <= k < 400]
    assert [i.queue_id for i in q.list()] == ["i00000", "i99999"] and q.count() == 2


def test_threads_share_one_iterator(tmp_path):
    q = EnvelopeQueue(str(tmp_path))
    fill(q, 2000)
    it = q.items()
    seen = [[] for _ in range(4)]

    def drain(mine):
        for item in it:
            mine.append(item.queue_id)

    threads = [threading.Thread(target=drain, args=(s,)) for s in seen]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sorted(sum(seen, [])) == [f"i{k:05d}" for k in range(2000)]
    assert all(s == sorted(s) for s in seen)


def test_durable_is_a_keyword_kept_by_repr_and_pickle(tmp_path):
    q = EnvelopeQueue(str(tmp_path), durable=True)
    assert q.durable and not EnvelopeQueue(str(tmp_path)).durable
    assert repr(q) == f'EnvelopeQueue(dir="{tmp_path}", durable=True)'
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        back = pickle.loads(pickle.dumps(q, protocol))
        assert (back.dir, back.durable) == (q.dir, True)
    with pytest.raises(TypeError, match="takes 1 positional argument but 2 were given"):
        EnvelopeQueue("q", True)
    with pytest.raises(TypeError, match="argument 'durable': 'int' object cannot be cast"):
        EnvelopeQueue("q", durable=1)
    EnvelopeQueue(str(tmp_path / "none")).sync()  # nothing pushed: nothing to flush
    assert not (tmp_path / "none").exists()


@pytest.mark.parametrize("durable", [False, True])
def test_push_many_keeps_exactly_the_items_before_the_one_that_failed(tmp_path, durable):
    q = EnvelopeQueue(str(tmp_path), durable=durable)
    with pytest.raises(TypeError, match="argument 'items'"):
        q.push_many([("routing", envelope("a")), ("routing", {})])
    assert q.push_many([]) is None and os.listdir(tmp_path) == []
    q.push("routing", envelope("order:17"))
    (tmp_path / "d.json").mkdir()
    # ids, the one that fails, its exception, and the message's end
    cases = [(["a", "b", "order17", "c"], 2, ValueError, "; nothing written"),
             (["e", "d", "f"], 1, OSError, "(os error 21)"),
             (["g", "...", "h"], 1, ValueError, 'no file-name characters: "..."')]
    for ids, failed, exc, text in cases:
        with pytest.raises(exc) as e:
            q.push_many([("routing", envelope(i)) for i in ids])
        assert e.value.pushed == failed and str(e.value).endswith(text)
    # Those before each failure are in, those from it on are not, and no
    # temporary file is left.
    assert [i.queue_id for i in q.scan()[0]] == ["a", "b", "e", "g", "order:17"]
    assert sorted(os.listdir(tmp_path)) == ["a.json", "b.json", "d.json", "e.json", "g.json",
                                           "order17.json"]
