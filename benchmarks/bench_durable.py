"""Durable pushes beside the bare system calls (ulo_fsync_bench, in C), a
pure-Python Maildir-style durable writer, and a single durable push for the
batches; all on one directory, in one run.

A shared disk's flush latency swings by ten times from one second to the
next, so the contenders are timed in interleaved rounds (each about 0.2 s,
one of each per round) and each reports its median round: they see the
same disk. Every push is of a new id, as a spill queue's are: a rename over
an item makes the file system write the new file out at once (ext4), and in
a durable batch wait for its journal. With ULO_BASELINE naming a directory
that holds another build of the module (pip install --target), the default
push is timed against that build the same way, on a memory file system
where there is one: other writers' disk traffic would swamp a difference
of a few percent in the code."""
import functools
import itertools
import json
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import timeit

from harness import Case, Native
from ulo_protocol import EnvelopeQueue, SignedEnvelope

EXAMPLE = ('{"exchange_id":"ex-1","peer_self":{"class":"body","type":"agent","ref":"alice"},'
           '"direction":"outbound","request_hash":"aa11","our_signature":"sig-a",'
           '"opened_at":"2026-04-15T09:00:00Z","protocol_hint":"quic",'
           '"counterparty_identifier":"peer-7"}')
BATCH = 64
ROUNDS = 15
ROUND_S = 0.2
NATIVE = pathlib.Path(__file__).resolve().parent.parent / "build" / "bench" / "ulo_fsync_bench"
_KEEP = "-_" + "".join(chr(c) for c in range(128) if chr(c).isalnum())
_TMP = []

# A round of calls, timed: seconds per call. The baseline build runs it in
# a process of its own, one round per line read.
ROUND_CODE = f"""
import time
def one_round(fn, per=1):
    n, t0 = 0, time.perf_counter()
    while True:
        fn()
        n += 1
        dt = time.perf_counter() - t0
        if dt >= {ROUND_S} and n >= 3:
            return dt / n / per
"""
exec(ROUND_CODE)

# A process of the build on its PYTHONPATH, pushing new ids into argv[1].
BUILD_CODE = ROUND_CODE + """
import itertools, sys
from ulo_protocol import EnvelopeQueue, SignedEnvelope
q = EnvelopeQueue(sys.argv[1])
ids = (SignedEnvelope.from_json(sys.argv[2].replace('"ex-1"', f'"push-{n:012d}"'))
       for n in itertools.count())
for _ in sys.stdin:
    print(one_round(lambda: q.push("routing", next(ids))), flush=True)
"""


class MaildirWriter:
    """What a user would write for a durable spool: the file in tmp/,
    flushed, renamed into new/, and new/ flushed."""

    def __init__(self, directory):
        self.tmp, self.new = os.path.join(directory, "tmp"), os.path.join(directory, "new")
        os.makedirs(self.tmp)
        os.makedirs(self.new)

    def push(self, pair_class, envelope):
        name = "".join(c for c in envelope.exchange_id if c in _KEEP) + ".json"
        data = json.dumps({"queue_id": envelope.exchange_id, "pair_class": pair_class,
                           "envelope": envelope.to_dict()}, indent=2, ensure_ascii=False).encode()
        tmp = os.path.join(self.tmp, f"{time.time_ns()}.{os.getpid()}.{name}")
        fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
        try:
            os.write(fd, data)
            os.fsync(fd)
        finally:
            os.close(fd)
        os.replace(tmp, os.path.join(self.new, name))
        dfd = os.open(self.new, os.O_RDONLY | os.O_DIRECTORY)
        try:
            os.fsync(dfd)
        finally:
            os.close(dfd)


def _native(*args):
    out = subprocess.run([str(NATIVE), *map(str, args)], capture_output=True, text=True,
                         check=True)
    return float(out.stdout)


def fresh_envelopes():
    """Envelopes of new ids, each 0.4 µs to make."""
    for n in itertools.count():
        yield SignedEnvelope.from_json(EXAMPLE.replace('"ex-1"', f'"0190a5b2-{n:012d}"'))


@functools.cache
def measured():
    """Median seconds per call of each contender over interleaved rounds."""
    root = _TMP[0]
    ids = fresh_envelopes()
    durable = EnvelopeQueue(os.path.join(root, "durable"), durable=True)
    plain = EnvelopeQueue(os.path.join(root, "plain"))
    env = SignedEnvelope.from_json(EXAMPLE)
    durable.push("routing", env)
    plain.push("routing", env)
    size = os.path.getsize(os.path.join(durable.dir, "ex-1.json"))
    maildir = MaildirWriter(os.path.join(root, "maildir"))

    def pushed_then_synced():
        for _ in range(BATCH):
            plain.push("routing", next(ids))
        plain.sync()

    rounds = {
        "durable push": lambda: one_round(lambda: durable.push("routing", next(ids))),
        "maildir": lambda: one_round(lambda: maildir.push("routing", next(ids))),
        "push_many": lambda: one_round(
            lambda: durable.push_many([("routing", next(ids)) for _ in range(BATCH)]), BATCH),
        "push + sync": lambda: one_round(pushed_then_synced, BATCH),
    }
    if NATIVE.exists():
        rounds["bare"] = lambda: _native("sequence", durable.dir, size, 1)
    return interleaved(rounds, ROUNDS)


def interleaved(rounds, n):
    """The median round of each contender over `n` interleaved rounds."""
    times = {name: [] for name in rounds}
    for _ in range(n):
        for name, run in rounds.items():
            times[name].append(run())
    return {name: statistics.median(t) for name, t in times.items()}


@functools.cache
def measured_default():
    """The default push of this build and of the baseline build, in turns,
    each in a fresh process of its own (a process that has run the batches
    holds a larger pool), once the disk work is done."""
    shm = "/dev/shm" if os.path.isdir("/dev/shm") else None
    memory = tempfile.mkdtemp(prefix="ulo-bench-default-", dir=shm)
    _TMP.append(memory)
    builds = {"default push": None, "baseline push": os.environ["ULO_BASELINE"]}
    procs = {}
    for name, path in builds.items():
        env_vars = dict(os.environ)
        env_vars.pop("PYTHONPATH", None)
        if path:
            env_vars["PYTHONPATH"] = path
        procs[name] = subprocess.Popen(
            [sys.executable, "-c", BUILD_CODE, os.path.join(memory, name[0]), EXAMPLE],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env_vars)

    def in_turn(proc):
        def run():
            proc.stdin.write("round\n")
            proc.stdin.flush()
            return float(proc.stdout.readline())
        return run

    try:
        return interleaved({name: in_turn(p) for name, p in procs.items()}, 3 * ROUNDS)
    finally:
        for p in procs.values():
            p.stdin.close()
            p.wait()


def cases():
    root = tempfile.mkdtemp(prefix="ulo-bench-durable-")
    _TMP.append(root)

    def median(name):
        return Native(lambda: measured()[name])

    single = median("durable push")
    peers = {"pure-Python Maildir-style writer": median("maildir")}
    targets = []
    if NATIVE.exists():
        bare = "C: write, fdatasync, rename, fsync dir"
        peers = {bare: median("bare"), **peers}
        targets = [(bare, 1.1)]
    out = [
        Case("durable", "durable push (example envelope)", single, peers, targets),
        Case("durable", f"durable push_many of {BATCH}, per item", median("push_many"),
             {"ours: one durable push": single}, [("ours: one durable push", 0.2)]),
        Case("durable", f"{BATCH} default pushes + sync(), per item", median("push + sync"),
             {"ours: one durable push": single}),
    ]
    if os.environ.get("ULO_BASELINE"):
        def default(name):
            return Native(lambda: measured_default()[name])

        out.append(Case("durable", "default push, this build vs baseline",
                        default("default push"), {"ours: baseline build": default("baseline push")},
                        [("ours: baseline build", 1.02)]))
    return out


def extra_report():
    lines = []
    root = _TMP[0]
    # Single flushes, for their spread.
    path = os.path.join(root, "flush-probe")
    fd = os.open(path, os.O_WRONLY | os.O_CREAT)
    samples = []
    for _ in range(100):
        os.pwrite(fd, b"x" * 4096, 0)
        samples.append(timeit.timeit(lambda: os.fdatasync(fd), number=1))
    os.close(fd)
    samples.sort()
    line = (f"disk flush latency (fdatasync of a 4 KiB overwrite in {root}): "
            f"median {statistics.median(samples) * 1e6:,.0f} µs, "
            f"p10 {samples[10] * 1e6:,.0f} µs, p90 {samples[90] * 1e6:,.0f} µs")
    if NATIVE.exists():
        line += f"; best 0.2 s round in C {_native('flush', root) * 1e6:,.0f} µs"
    lines.append(line)
    for d in _TMP:
        shutil.rmtree(d, ignore_errors=True)
    return lines
