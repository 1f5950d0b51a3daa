"""The queue against directories that production machines produce: entries
that are no regular file, broken files, concurrent drops, killed writers.
A FIFO or device read by mistake would block or never end, so every test
runs under a watchdog that ends the process with a traceback."""
import errno
import json
import os
import pickle
import re
import shutil
import socket
import subprocess
import sys
import textwrap
import time

import pytest

from conftest import ENVELOPE_JSON, envelope_dict, envelope_with, leak_check, run_python
from ulo_protocol import EnvelopeQueue

pytestmark = pytest.mark.usefixtures("watchdog")
EXAMPLE = envelope_dict()


def envelope(exchange_id):
    return envelope_with(exchange_id=exchange_id)


@pytest.fixture
def queue(tmp_path):
    """A queue with two good items, a.json and c.json."""
    q = EnvelopeQueue(str(tmp_path))
    q.push("routing", envelope("a"))
    q.push("routing", envelope("c"))
    return q


def make_fifo_link(p):
    os.mkfifo(p.parent / "fifo")
    os.symlink(p.parent / "fifo", p)


def make_socket(p):
    s = socket.socket(socket.AF_UNIX)
    s.bind(str(p))
    s.close()


# name -> (how to make it, exception type, text the message ends with)
BAD_ENTRIES = {
    "fifo": (os.mkfifo, OSError, "not a regular file: a FIFO"),
    "link to fifo": (make_fifo_link, OSError, "not a regular file: a FIFO"),
    "link to /dev/zero": (lambda p: os.symlink("/dev/zero", p), OSError,
                          "not a regular file: a character device"),
    "socket": (make_socket, OSError, "(os error 6)"),  # cannot be opened at all
    "dangling link": (lambda p: os.symlink(p.parent / "nowhere", p), OSError, "(os error 2)"),
    "link loop": (lambda p: os.symlink(p, p), OSError, "(os error 40)"),
    "directory": (lambda p: p.mkdir(), OSError, "(os error 21)"),
    "empty": (lambda p: p.write_bytes(b""), ValueError, "EOF while parsing a value"),
    "truncated": (lambda p: p.write_text('{"queue_id": "b", "pair'), ValueError,
                  "EOF while parsing a string"),
    "not json": (lambda p: p.write_text("hello"), ValueError, "expected value"),
    "invalid utf-8": (lambda p: p.write_bytes(b'{"queue_id": "\xff"}'), ValueError, ""),
    "wrong record": (lambda p: p.write_text("[]"), ValueError, "invalid length 0"),
    "other id's name": (lambda p: p.write_text(
        json.dumps({"queue_id": "zz", "pair_class": "r", "envelope": EXAMPLE})), ValueError,
        " is not in the file its id names"),
}


@pytest.mark.parametrize("kind", BAD_ENTRIES)
def test_bad_entry_is_reported_by_path_and_never_hides_the_good_ones(queue, tmp_path, kind):
    make, exc_type, ending = BAD_ENTRIES[kind]
    bad_path = tmp_path / "b.json"
    make(bad_path)
    items, bad = queue.scan()
    assert [i.queue_id for i in items] == ["a", "c"]
    (err,) = bad
    assert isinstance(err, exc_type)
    assert err.path == str(bad_path)
    assert str(bad_path) in str(err) and ending in str(err)
    if exc_type is OSError:
        assert_typed(err, str(bad_path))
    # list() fails on it, with the same error; items() raises it in its
    # place and goes on after it.
    with pytest.raises(exc_type) as e:
        queue.list()
    assert (str(e.value), e.value.path) == (str(err), str(bad_path))
    it = queue.items()
    assert next(it).queue_id == "a"
    with pytest.raises(exc_type) as e:
        next(it)
    assert (str(e.value), e.value.path) == (str(err), str(bad_path))
    assert [i.queue_id for i in it] == ["c"]
    assert queue.count() == 3
    # Moved aside, the queue is whole again, and the entry is kept.
    moved = queue.quarantine(err.path)
    assert moved == str(tmp_path / "quarantine" / "b.json")
    assert os.path.lexists(moved) and not os.path.lexists(bad_path)
    assert [i.queue_id for i in queue.list()] == ["a", "c"]


def assert_typed(err, path, number=None):
    """The OSError is the class Python gives its errno, with errno, strerror
    and filename set, while str() stays the queue's own message."""
    found = re.search(r"\(os error (\d+)\)$", str(err))
    number = number or (int(found[1]) if found else None)
    assert found is None or int(found[1]) == number
    assert type(err).__base__ is (type(OSError(number, "")) if number else OSError)
    assert (err.errno, err.filename, err.path) == (number, path, path)
    assert err.strerror == (os.strerror(number) if number else None)
    # The message echoes a long path shortened; filename holds it whole.
    assert str(err).startswith(f"queue I/O error at {path[:60]}") and err.args == (str(err),)


def push_x(q):
    q.push("routing", envelope("x"))


def list_x(q):
    return list(q.items())


def scan_x(q):
    bad = q.scan()[1]
    if bad:
        raise bad[0]


# setup(tmp_path) -> (queue directory, path the error names), errno,
# the calls that meet it. Root passes permission checks, so EACCES needs a
# user without it.
ERRNO_CASES = {
    "queue is a file": (lambda t: (t / "f", t / "f"), errno.ENOTDIR,
                        [EnvelopeQueue.list, list_x, EnvelopeQueue.count]),
    "entry under a file": (lambda t: (t / "f", t / "f" / "x.json"), errno.ENOTDIR,
                           [push_x]),
    "quarantine under a file": (lambda t: (t / "f", t / "f" / "quarantine"), errno.ENOTDIR,
                                [lambda q: q.quarantine("x.json")]),
    "queue below a file": (lambda t: (t / "f" / "q", t / "f" / "q"), errno.ENOTDIR, [push_x]),
    "entry is a directory": (lambda t: (t / "d", t / "d" / "x.json"), errno.EISDIR,
                             [push_x, EnvelopeQueue.list, list_x, scan_x,
                              lambda q: q.drop_item("x")]),
    "entry is missing": (lambda t: (t / "d", t / "d" / "gone.json"), errno.ENOENT,
                         [lambda q: q.quarantine("gone.json")]),
    "name too long": (lambda t: (t / ("n" * 300), t / ("n" * 300)), errno.ENAMETOOLONG, [push_x]),
    "queue is a link loop": (lambda t: (t / "loop", t / "loop"), errno.EEXIST, [push_x]),
    "unreadable queue": (lambda t: (t / "d", t / "d"), errno.EACCES,
                         [EnvelopeQueue.list, EnvelopeQueue.count, push_x]),
}


@pytest.mark.parametrize("case", ERRNO_CASES)
def test_every_io_error_has_the_class_of_its_errno(tmp_path, case):
    setup, number, calls = ERRNO_CASES[case]
    if number == errno.EACCES and os.geteuid() == 0:
        pytest.skip("root passes permission checks")
    (tmp_path / "f").write_text("")
    (tmp_path / "d").mkdir()
    (tmp_path / "d" / "x.json").mkdir()
    os.symlink(tmp_path / "loop", tmp_path / "loop")
    queue_dir, path = setup(tmp_path)
    if number == errno.EACCES:
        (tmp_path / "d").chmod(0)
    q = EnvelopeQueue(str(queue_dir))
    try:
        for call in calls:
            with pytest.raises(OSError) as e:
                call(q)
            assert_typed(e.value, str(path), number)
            back = pickle.loads(pickle.dumps(e.value))  # as the builtin class, path kept
            assert (type(back), str(back), back.path) == (
                type(e.value).__base__, str(e.value), e.value.path)
    finally:
        (tmp_path / "d").chmod(0o700)


def test_json_error_keeps_its_prefix_and_position(queue, tmp_path):
    (tmp_path / "b.json").write_text('{"queue_id":"b"}')
    with pytest.raises(ValueError) as e:
        queue.list()
    assert str(e.value) == (f"queue JSON error: missing field `pair_class` at line 1 column 16"
                            f" in {tmp_path / 'b.json'}")


def test_entries_are_reported_in_name_order_and_quarantine_never_overwrites(queue, tmp_path):
    for name in ("z.json", "b.json", "m.json"):
        (tmp_path / name).write_text("{")
    _, bad = queue.scan()
    assert [os.path.basename(e.path) for e in bad] == ["b.json", "m.json", "z.json"]
    first = queue.quarantine(bad[0].path)
    (tmp_path / "b.json").write_text("again")
    second = queue.quarantine("b.json")  # a bare name works too
    assert (first, second) == (str(tmp_path / "quarantine" / "b.json"),
                               str(tmp_path / "quarantine" / "b.json.1"))
    assert (tmp_path / "quarantine" / "b.json").read_text() == "{"


@pytest.mark.parametrize("path, error", [
    ("/etc/passwd", ValueError),          # not in the queue
    ("{dir}/x.txt", ValueError),          # not an entry name
    ("{dir}/sub/x.json", ValueError),     # below the queue
    ("{dir}/gone.json", OSError),         # no such entry
])
def test_quarantine_refuses_what_is_no_entry(queue, tmp_path, path, error):
    with pytest.raises(error) as e:
        queue.quarantine(path.format(dir=tmp_path))
    assert "gone.json" in str(e.value) or str(e.value).startswith("not an entry of the queue: ")
    assert [i.queue_id for i in queue.list()] == ["a", "c"]


def test_non_utf8_file_name_is_a_bad_entry_that_can_be_quarantined(queue, tmp_path):
    raw = os.fsencode(tmp_path) + b"/\xffb.json"
    with open(raw, "w") as f:
        json.dump({"queue_id": "b", "pair_class": "r", "envelope": EXAMPLE}, f)
    _, (err,) = queue.scan()
    assert os.fsencode(err.path) == raw  # exact, though the message shows U+FFFD
    assert "\ufffdb.json" in str(err)
    queue.quarantine(err.path)
    assert queue.scan()[1] == []


def test_control_characters_in_names_stay_on_one_line(queue, tmp_path):
    (tmp_path / "b\nERROR forged.json").write_text("{")
    with pytest.raises(ValueError) as e:
        queue.list()
    assert "\n" not in str(e.value) and "b\\nERROR forged.json" in str(e.value)


def test_a_drop_during_listing_is_not_an_error(tmp_path):
    q = EnvelopeQueue(str(tmp_path))
    ids = [f"d{n:04d}" for n in range(400)]
    for i in ids:
        q.push("routing", envelope(i))
    # Another process drops every item while this one lists.
    code = (f"from ulo_protocol import EnvelopeQueue\n"
            f"q = EnvelopeQueue({str(tmp_path)!r})\n"
            f"for n in range(400): q.drop_item(f'd{{n:04d}}')\n")
    proc = subprocess.Popen([sys.executable, "-c", code])
    try:
        while proc.poll() is None:
            items, bad = q.scan()
            assert bad == []
            assert [i.queue_id for i in items] == sorted(i.queue_id for i in items)
            q.list()
    finally:
        assert proc.wait(timeout=120) == 0
    assert q.list() == []


def push_over_the_limit(qdir, on_limit):
    """A push whose file outgrows the file-size limit, in a child that
    ignores SIGXFSZ (the write fails) or dies of it (mid-write)."""
    code = textwrap.dedent(f"""
        import json, resource, signal
        from ulo_protocol import EnvelopeQueue, SignedEnvelope
        signal.signal(signal.SIGXFSZ, signal.{on_limit})
        resource.setrlimit(resource.RLIMIT_FSIZE, (64, 64))
        d = json.loads({ENVELOPE_JSON!r}); d["our_signature"] = "s" * 4096
        try:
            EnvelopeQueue({str(qdir)!r}).push("r", SignedEnvelope.from_dict(d))
        except OSError as e:
            print("OSError", e.errno)
    """)
    proc = run_python(code, check=False)
    return proc, [p for p in qdir.iterdir() if p.name.startswith(".ex-1.json.tmp-")]


# A killed writer's temporary file, renamed to another writer (pid) or host
# (the tag after the counter): only this host's dead writers are judged.
@pytest.mark.parametrize("who, age, removed", [
    ("dead", 3600, True),
    ("dead", 5, False),           # too young: could be another pid namespace
    ("alive", 3600, False),       # a live writer, however old its file
    ("other host", 10**6, False),  # never judged from here
])
def test_temporary_files_of_dead_writers_are_removed(tmp_path, who, age, removed):
    q = EnvelopeQueue(str(tmp_path))
    q.push("routing", envelope("a"))
    proc, (temp,) = push_over_the_limit(tmp_path, "SIG_DFL")
    assert proc.returncode < 0
    head, pid, counter, tag = re.fullmatch(r"(.*\.tmp-)(\d+)(-\d+-)(.+)", temp.name).groups()
    pid = os.getppid() if who == "alive" else pid
    p = temp.rename(tmp_path / f"{head}{pid}{counter}{'elsewhere' if who == 'other host' else tag}")
    os.utime(p, (time.time() - age, time.time() - age))
    assert [i.queue_id for i in q.list()] == ["a"]
    assert p.exists() is not removed


@pytest.mark.parametrize("on_limit", ["SIG_IGN", "SIG_DFL"])
def test_write_cut_short_keeps_the_old_item(tmp_path, on_limit):
    """A push over the file-size limit either fails with OSError or kills the
    writer mid-write; the old item stays whole either way, and a killed
    writer's temporary file is removed by a listing once it is old."""
    q = EnvelopeQueue(str(tmp_path))
    q.push("routing", envelope("ex-1"))
    before = (tmp_path / "ex-1.json").read_bytes()
    proc, temps = push_over_the_limit(tmp_path, on_limit)
    if on_limit == "SIG_IGN":
        assert (proc.returncode, proc.stdout.split()) == (0, ["OSError", str(errno.EFBIG)])
        assert temps == []
    else:
        assert proc.returncode < 0  # killed by the signal
        assert len(temps) == 1
        assert [i.pair_class for i in q.list()] == ["routing"]
        assert temps[0].exists()  # too young yet
        os.utime(temps[0], (time.time() - 3600, time.time() - 3600))
    assert q.list()[0].envelope == envelope("ex-1")
    assert (tmp_path / "ex-1.json").read_bytes() == before
    assert os.listdir(tmp_path) == ["ex-1.json"]


def replace_directory(path):
    path.rename(path.with_name("moved"))
    path.mkdir()
    EnvelopeQueue(str(path)).push("routing", envelope("new"))


# The directory changes after the first item. The iterator goes on over the
# directory whose names it read: a removed one ends it early (items already
# read in its batch still come), a replaced or filled one changes nothing.
@pytest.mark.parametrize("change", [shutil.rmtree, replace_directory,
                                    lambda p: EnvelopeQueue(str(p)).push("r", envelope("i0"))],
                         ids=["removed", "replaced", "filled"])
def test_directory_changed_during_iteration(tmp_path, change):
    qdir = tmp_path / "q"
    q = EnvelopeQueue(str(qdir))
    ids = [f"i{n:04d}" for n in range(600)]
    for i in ids:
        q.push("routing", envelope(i))
    it = q.items()
    assert next(it).queue_id == ids[0]
    change(qdir)
    rest = [i.queue_id for i in it]
    if change is shutil.rmtree:
        assert rest == ids[1:len(rest) + 1] and len(rest) < len(ids) - 1
    else:
        assert rest == ids[1:]


def test_abandoned_iterators_leave_nothing_behind(tmp_path):
    q = EnvelopeQueue(str(tmp_path))
    for n in range(3000):
        q.push("routing", envelope(f"i{n:05d}"))
    code = leak_check(1 << 20) + textwrap.dedent(f"""
        import gc, itertools, os
        from ulo_protocol import EnvelopeQueue
        q = EnvelopeQueue({str(tmp_path)!r})
        def state():
            gc.collect()
            return len(os.listdir("/proc/self/fd")), len(os.listdir("/proc/self/task"))
        def abandon(n):
            it = q.items()
            for _ in range(n):
                next(it)
        for n in range(20):  # the pool grows to what the largest batches need
            abandon(n * 50 + 1)
        fds, threads = state()
        sizes = itertools.cycle(range(1, 701, 100))
        leaked = leaks(lambda: abandon(next(sizes)), 100)
        fds2, threads2 = state()
        print(fds2 - fds, threads2 <= threads + 1, not leaked)
    """)
    assert run_python(code).stdout.split() == ["0", "True", "True"]
