"""Durable pushes beside the bare system calls (ulo_fsync_bench, in C), a
pure-Python Maildir-style durable writer, and a single durable push for the
batches; all on one directory, in one run. With ULO_BASELINE naming a
directory that holds another build of the module (pip install --target),
the default push is also timed against that build, on the same directory."""
import json
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from harness import Case, Native, per_call
from ulo_protocol import EnvelopeQueue, SignedEnvelope

EXAMPLE = ('{"exchange_id":"ex-1","peer_self":{"class":"body","type":"agent","ref":"alice"},'
           '"direction":"outbound","request_hash":"aa11","our_signature":"sig-a",'
           '"opened_at":"2026-04-15T09:00:00Z","protocol_hint":"quic",'
           '"counterparty_identifier":"peer-7"}')
BATCH = 64
NATIVE = pathlib.Path(__file__).resolve().parent.parent / "build" / "bench" / "ulo_fsync_bench"
_KEEP = "-_" + "".join(chr(c) for c in range(128) if chr(c).isalnum())
_TMP = []


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


def _baseline_push(directory):
    """Seconds per default push of the build in ULO_BASELINE, timed as ours is."""
    code = (f"import sys; sys.path[:0] = [{os.environ['ULO_BASELINE']!r}, "
            f"{str(pathlib.Path(__file__).parent)!r}]\n"
            "from harness import per_call\n"
            "from ulo_protocol import EnvelopeQueue, SignedEnvelope\n"
            f"q = EnvelopeQueue({directory!r}); env = SignedEnvelope.from_json({EXAMPLE!r})\n"
            "print(per_call((\"q.push('routing', env)\", {'q': q, 'env': env})))\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return float(out.stdout)


def cases():
    root = tempfile.mkdtemp(prefix="ulo-bench-durable-")
    _TMP.append(root)
    env = SignedEnvelope.from_json(EXAMPLE)
    base = json.loads(EXAMPLE)
    batch = []
    for i in range(BATCH):
        base["exchange_id"] = f"0190a5b2-0000-7000-8000-{i:012d}"
        batch.append(("routing", SignedEnvelope.from_dict(base)))
    durable = EnvelopeQueue(os.path.join(root, "durable"), durable=True)
    plain = EnvelopeQueue(os.path.join(root, "plain"))
    durable.push("routing", env)
    plain.push("routing", env)
    size = os.path.getsize(os.path.join(durable.dir, "ex-1.json"))
    ns = {"durable": durable, "plain": plain, "env": env,
          "maildir": MaildirWriter(os.path.join(root, "maildir"))}

    def pushed_then_synced():
        for pair in batch:
            plain.push(*pair)
        plain.sync()

    single = ("durable.push('routing', env)", ns)
    push_peers = {"pure-Python Maildir-style writer": ("maildir.push('routing', env)", ns)}
    targets = []
    if NATIVE.exists():
        bare = "C: write, fdatasync, rename, fsync dir"
        push_peers = {bare: Native(lambda: _native("sequence", durable.dir, size)), **push_peers}
        targets = [(bare, 1.1)]
    out = [
        Case("durable", "durable push (example envelope)", single, push_peers, targets),
        Case("durable", f"durable push_many of {BATCH}, per item",
             Native(lambda: per_call(lambda: durable.push_many(batch)) / BATCH),
             {"ours: one durable push": single}, [("ours: one durable push", 0.2)]),
        Case("durable", f"{BATCH} default pushes + sync(), per item",
             Native(lambda: per_call(pushed_then_synced) / BATCH),
             {"ours: one durable push": single}),
    ]
    if os.environ.get("ULO_BASELINE"):
        out.append(Case("durable", "default push, this build vs baseline",
                        ("plain.push('routing', env)", ns),
                        {"baseline build": Native(lambda: _baseline_push(plain.dir))},
                        [("baseline build", 1.02)]))
    return out


def extra_report():
    lines = []
    root = _TMP[0]
    # Single flushes, for their spread: a shared disk's latency varies.
    path = os.path.join(root, "flush-probe")
    fd = os.open(path, os.O_WRONLY | os.O_CREAT)
    samples = []
    for _ in range(50):
        os.pwrite(fd, b"x" * 4096, 0)
        t = time.perf_counter()
        os.fdatasync(fd)
        samples.append(time.perf_counter() - t)
    os.close(fd)
    samples.sort()
    line = (f"disk flush latency (fdatasync of a 4 KiB overwrite, {root}): "
            f"median {statistics.median(samples) * 1e6:,.0f} µs, "
            f"p10 {samples[5] * 1e6:,.0f} µs, p90 {samples[45] * 1e6:,.0f} µs")
    if NATIVE.exists():
        line += f"; best round in C {_native('flush', root) * 1e6:,.0f} µs"
    lines.append(line)
    for d in _TMP:
        shutil.rmtree(d, ignore_errors=True)
    return lines
