"""Durable queues against power cuts. powercut_fs.py is a file system that
keeps only what was flushed (file data by fsync of the file, directory
entries by fsync of the directory) and throws the rest away when the power
is cut; remounting its image is the machine coming back. A queue that keeps
its promises there keeps them on ext4 and XFS."""
import errno
import json
import os
import pathlib
import random
import select
import shutil
import subprocess
import sys
import textwrap

import pytest

from conftest import ENVELOPE_JSON
from ulo_protocol import EnvelopeQueue

HELPER = pathlib.Path(__file__).with_name("powercut_fs.py")
SYSTEM_PYTHON = "/usr/bin/python3"  # the interpreter Debian's python3-pyfuse3 is for


def _why_not():
    if os.geteuid() != 0:
        return "mounting the power-cut file system needs root"
    if not os.path.exists("/dev/fuse"):
        return "no /dev/fuse here"
    return None


# The envelope each id is pushed with, shared with the writer processes: its
# size varies with the id, so that a torn or stale file cannot pass as whole.
ENVELOPE_CODE = textwrap.dedent(f"""
    import json, zlib
    from ulo_protocol import SignedEnvelope
    def expected(i):
        d = json.loads({ENVELOPE_JSON!r})
        d["exchange_id"] = i
        d["our_signature"] = "s" * (20 + zlib.crc32(i.encode()) % 3000)
        return SignedEnvelope.from_dict(d)
""")
exec(ENVELOPE_CODE)


class PowerCutFS:
    """One mount of the model at a time; `cut()` cuts the power and mounts
    what survived."""

    def __init__(self, root, keep_everything=False):
        self.mnt, self.image = root / "mnt", str(root / "image")
        self.mnt.mkdir()
        self.args = ["--keep-everything"] if keep_everything else []
        self.proc = None
        self.mount()

    def _line(self, timeout=30):
        ready, _, _ = select.select([self.proc.stdout], [], [], timeout)
        line = self.proc.stdout.readline() if ready else ""
        if not line:
            self.proc.kill()
            pytest.fail("power-cut file system: " + self.proc.stderr.read()
                        + " (make deps installs fuse3 and python3-pyfuse3)")
        return line.strip()

    def mount(self):
        self.proc = subprocess.Popen([SYSTEM_PYTHON, str(HELPER), str(self.mnt), self.image,
                                      *self.args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True)
        assert self._line() == "ready"

    def cmd(self, *words):
        self.proc.stdin.write(" ".join(map(str, words)) + "\n")
        self.proc.stdin.flush()
        reply = self._line()
        return json.loads(reply) if words[0] == "stats" else reply

    def stats(self):
        return self.cmd("stats")

    def unmount(self):
        if self.proc is None:
            return
        try:
            self.proc.stdin.write("quit\n")
            self.proc.stdin.close()
            self.proc.wait(timeout=30)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.kill()
            self.proc.wait()
        finally:
            self.proc = None
            if os.path.ismount(self.mnt):
                subprocess.run(["umount", "-l", str(self.mnt)], check=False)

    def cut(self):
        self.unmount()
        self.mount()


@pytest.fixture
def powercut(tmp_path, watchdog):
    if why := _why_not():
        pytest.skip(why)
    fs = PowerCutFS(tmp_path)
    yield fs
    fs.unmount()


def flush_dir(path):
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def write(path, text, flush):
    with open(path, "w") as f:
        f.write(text)
        f.flush()
        if flush:
            os.fsync(f.fileno())


@pytest.mark.parametrize("keep_everything", [False, True], ids=["model", "keeps everything"])
def test_the_model_loses_what_was_not_flushed(tmp_path, watchdog, keep_everything):
    """Against a file system that keeps everything, the model's expectations
    fail: the other tests cannot pass by the model doing nothing."""
    if why := _why_not():
        pytest.skip(why)
    fs = PowerCutFS(tmp_path, keep_everything)
    try:
        m = fs.mnt
        (m / "q").mkdir()
        flush_dir(m)
        write(m / "q" / "kept", "c", flush=True)
        write(m / "q" / "empty", "d", flush=False)           # entry flushed, data not
        flush_dir(m / "q")
        write(m / "q" / "unflushed", "a", flush=False)
        write(m / "q" / "file only", "b", flush=True)        # its entry never flushed
        os.rename(m / "q" / "kept", m / "q" / "renamed")     # never flushed
        os.unlink(m / "q" / "empty")
        EnvelopeQueue(str(m / "q")).push("routing", expected("default-push"))
        fs.cut()
        survived = {p.name: p.read_text() for p in (m / "q").iterdir()}
        if keep_everything:
            assert survived == {"unflushed": "a", "file only": "b", "renamed": "c",
                                "default-push.json": survived["default-push.json"]}
        else:
            assert survived == {"kept": "c", "empty": ""}
    finally:
        fs.unmount()


# The writer: durable pushes, batches and drops in a random order until the
# power goes. It prints W before a push, P once it is acknowledged, X before
# a drop and D once that is acknowledged.
WRITER = ENVELOPE_CODE + textwrap.dedent("""
    import random, sys
    from ulo_protocol import EnvelopeQueue
    qdir, mode, seed, prefix = sys.argv[1:5]
    rng = random.Random(int(seed))
    q = EnvelopeQueue(qdir, durable=mode == "durable")
    dropper = EnvelopeQueue(qdir, durable=mode != "sync")
    present = [i.queue_id for i in q.list()] if __import__("os").path.isdir(qdir) else []
    unacked, dropped, n = [], [], 0
    def say(tag, ids):
        print(*(f"{tag} {i}" for i in ids), sep="\\n", flush=True)
    def acked(ids):
        if mode == "durable":
            say("P", ids)
        else:
            unacked.extend(ids)
    try:
        for step in range(40):
            r = rng.random()
            if r < 0.25:
                ids = [f"{prefix}{n}"]
                n += 1
                say("W", ids)
                q.push("routing", expected(ids[0]))
                acked(ids)
            elif r < 0.6:
                ids = [f"{prefix}{n + k}" for k in range(rng.randint(2, 12))]
                n += len(ids)
                say("W", ids)
                q.push_many([("routing", expected(i)) for i in ids])
                acked(ids)
            elif r < 0.8 and present:
                gone = present.pop(rng.randrange(len(present)))
                say("X", [gone])
                dropper.drop_item(gone)
                if mode == "sync":
                    dropped.append(gone)
                else:
                    say("D", [gone])
            elif mode != "durable":
                q.sync()
                say("P", unacked)
                say("D", dropped)
                present += unacked
                unacked, dropped = [], []
            if mode == "durable":
                present = [i.queue_id for i in q.list()]
    except OSError:
        pass  # the power is gone
""")


@pytest.mark.parametrize("mode", ["durable", "sync", "default"])
def test_power_cuts_at_random_points(powercut, mode):
    """durable: every push and drop is acknowledged when it returns; sync:
    default pushes and drops, acknowledged after sync(); default: pushes
    never flushed but for sync(), while durable drops flush the directory
    (entries whose data never reached the disk then survive, empty)."""
    seed = random.randrange(1 << 30)
    rng = random.Random(seed)
    qdir = powercut.mnt / "spill" / "q"
    written, acked, dropping, dropped = set(), set(), set(), set()
    for trial in range(6):
        powercut.cmd("cut-after", rng.randint(1, 900))
        out = subprocess.run([sys.executable, "-c", WRITER, str(qdir), mode,
                              str(rng.randrange(1 << 30)), f"t{trial}-"],
                             capture_output=True, text=True, timeout=300)
        assert out.returncode == 0, out.stderr
        for tag, i in (line.split() for line in out.stdout.splitlines() if line):
            {"W": written, "P": acked, "X": dropping, "D": dropped}[tag].add(i)
        powercut.cut()
        note = f"seed {seed}, trial {trial}"
        if not qdir.exists():
            assert not acked, note
            continue
        items, bad = EnvelopeQueue(str(qdir)).scan()
        for item in items:  # never a wrong or torn item
            assert item.queue_id in written and item.envelope == expected(item.queue_id), note
        kept = {i.queue_id for i in items}
        assert acked - dropping <= kept, note
        assert not kept & dropped, note
        assert not [p for p in os.listdir(qdir) if p.startswith(".")], note
        if mode == "default":  # what was never flushed may be empty, and says so
            for e in bad:
                assert isinstance(e, ValueError) and os.path.basename(e.path)[:-5] in written
                assert "EOF while parsing" in str(e)
                EnvelopeQueue(str(qdir)).quarantine(e.path)
        else:
            assert bad == [], note


def listing(path):
    return sorted(p for p in os.listdir(path) if not p.startswith("quarantine"))


@pytest.mark.parametrize("operation, flushes", [
    ("push", {"fsync": 1, "fsyncdir": 1}),
    ("push_many", {"fsync": 64, "fsyncdir": 1}),
    ("sync", {"fsync": 64, "fsyncdir": 1}),
    ("drop_item", {"fsyncdir": 1}),
    ("quarantine", {"fsyncdir": 2}),
])
def test_durable_calls_flush_each_file_and_directory_once(powercut, operation, flushes):
    qdir = str(powercut.mnt / "q")
    q, plain = EnvelopeQueue(qdir, durable=True), EnvelopeQueue(qdir)
    q.push("routing", expected("first"))
    batch = [("routing", expected(f"b{n:02d}")) for n in range(64)]
    if operation == "sync":
        for pair in batch:
            plain.push(*pair)
    with open(os.path.join(qdir, "bad.json"), "w") as f:
        f.write("{")
    before = powercut.stats()
    if operation == "push":
        q.push("routing", expected("second"))
    elif operation == "push_many":
        q.push_many(batch)
    elif operation == "sync":
        plain.sync()
    elif operation == "drop_item":
        q.drop_item("first")
    else:
        q.quarantine("bad.json")
    after = powercut.stats()
    assert {op: after.get(op, 0) - before.get(op, 0) for op in ("fsync", "fsyncdir")} == \
        {"fsync": 0, **flushes}
    # What the operation did survives the cut, whole.
    expect = listing(qdir)
    powercut.cut()
    assert listing(qdir) == expect
    items, bad = EnvelopeQueue(qdir).scan()
    assert all(i.envelope == expected(i.queue_id) for i in items)
    moved = operation == "quarantine"
    assert [os.path.basename(e.path) for e in bad] == ([] if moved else ["bad.json"])
    assert os.path.exists(os.path.join(qdir, "quarantine", "bad.json")) is moved


@pytest.mark.parametrize("op, err, where", [
    ("fsync", errno.EIO, "item"),
    ("fsync", errno.EINVAL, "item"),
    ("fsyncdir", errno.EIO, "dir"),
    ("fsyncdir", errno.EINVAL, "dir"),
    ("opendir", errno.EACCES, "dir"),
])
def test_a_refused_flush_is_an_error_that_names_the_path(powercut, op, err, where):
    qdir = str(powercut.mnt / "q")
    q = EnvelopeQueue(qdir, durable=True)
    q.push_many([("routing", expected(f"kept{n}")) for n in range(3)])
    powercut.cmd("fail", op, err)
    for call in (lambda: q.push("routing", expected("x0")),
                 lambda: q.push_many([("routing", expected(f"x{n}")) for n in range(3)])):
        with pytest.raises(OSError) as e:
            call()
        path = os.path.join(qdir, "x0.json" if where == "item" else "")
        assert str(e.value).startswith(f"queue I/O error at {path.rstrip('/')}")
        assert f"(os error {err})" in str(e.value)
        assert getattr(e.value, "pushed", 0) == 0  # nothing of the call is known kept
    powercut.cmd("fail", op, 0)
    assert not [p for p in os.listdir(qdir) if p.startswith(".")]
    powercut.cut()
    assert {f"kept{n}" for n in range(3)} <= {i.queue_id for i in EnvelopeQueue(qdir).list()}


def test_a_disk_that_fills_mid_batch_keeps_the_items_before(powercut):
    qdir = str(powercut.mnt / "q")
    q = EnvelopeQueue(qdir, durable=True)
    q.push("routing", expected("first"))
    size = os.path.getsize(os.path.join(qdir, "first.json"))
    ids = [f"b{n}" for n in range(10)]
    room = sum(len(expected(i).to_json()) + 80 for i in ids[:5])  # 5 items and a bit
    powercut.cmd("capacity", size + room)
    with pytest.raises(OSError) as e:
        q.push_many([("routing", expected(i)) for i in ids])
    k = e.value.pushed
    assert 0 < k < len(ids)
    assert str(e.value) == (f"queue I/O error at {qdir}/{ids[k]}.json: "
                            f"{os.strerror(errno.ENOSPC)} (os error {errno.ENOSPC})")
    assert listing(qdir) == sorted(["first.json", *(f"{i}.json" for i in ids[:k])])
    powercut.cut()
    assert [i.queue_id for i in EnvelopeQueue(qdir).list()] == ids[:k] + ["first"]


def test_the_first_push_flushes_the_directories_it_creates(powercut):
    qdir = powercut.mnt / "a" / "b" / "q"
    EnvelopeQueue(str(qdir), durable=True).push("routing", expected("x"))
    powercut.cut()
    assert [i.queue_id for i in EnvelopeQueue(str(qdir)).list()] == ["x"]


# The directories a plain push created are remembered by inode until a flush;
# a directory made later on a removed one's inode must not inherit them.
@pytest.mark.parametrize("flush", ["durable push", "sync"])
def test_a_new_directory_on_a_removed_ones_inode_flushes_cleanly(tmp_path, flush):
    old = tmp_path / "old" / "q"
    EnvelopeQueue(str(old)).push("routing", expected("a"))
    inode = old.stat().st_ino
    shutil.rmtree(tmp_path / "old")
    for n in range(100):
        new = tmp_path / f"n{n}"
        new.mkdir()
        if new.stat().st_ino == inode:
            break
    else:
        pytest.skip("this file system did not give the inode out again")
    q = EnvelopeQueue(str(new), durable=flush == "durable push")
    q.push("routing", expected("b"))
    q.sync()
    assert [i.queue_id for i in q.list()] == ["b"]
