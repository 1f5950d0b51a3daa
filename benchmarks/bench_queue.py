"""EnvelopeQueue beside a pure-Python queue doing the same file work."""
import json
import os
import shutil
import tempfile

from harness import Case, per_call
from ulo_protocol import EnvelopeQueue, SignedEnvelope

EXAMPLE = ('{"exchange_id":"ex-1","peer_self":{"class":"body","type":"agent","ref":"alice"},'
           '"direction":"outbound","request_hash":"aa11","our_signature":"sig-a",'
           '"opened_at":"2026-04-15T09:00:00Z","protocol_hint":"quic",'
           '"counterparty_identifier":"peer-7"}')
ITEMS = 10_000
_KEEP = "-_" + "".join(chr(c) for c in range(128) if chr(c).isalnum())


class PyQueue:
    """What a user would write: dict from the envelope, json.dumps(indent=2),
    a temporary file and os.replace; list reads and decodes every file, items
    one at a time; count and drop work on names alone."""

    def __init__(self, directory):
        self.dir = directory

    def push(self, pair_class, envelope):
        os.makedirs(self.dir, exist_ok=True)
        name = "".join(c for c in envelope.exchange_id if c in _KEEP) + ".json"
        record = {"queue_id": envelope.exchange_id, "pair_class": pair_class,
                  "envelope": envelope.to_dict()}
        tmp = os.path.join(self.dir, "." + name + ".tmp")
        with open(tmp, "w", encoding="utf-8") as f:
            f.write(json.dumps(record, indent=2, ensure_ascii=False))
        os.replace(tmp, os.path.join(self.dir, name))

    def _names(self):
        if not os.path.isdir(self.dir):
            return []
        return sorted(n for n in os.listdir(self.dir) if n.endswith(".json") and n != ".json")

    def _read(self, name):
        with open(os.path.join(self.dir, name), encoding="utf-8") as f:
            d = json.loads(f.read())
        return d["queue_id"], d["pair_class"], SignedEnvelope.from_dict(d["envelope"])

    def list(self):
        return [self._read(n) for n in self._names()]

    def items(self):
        for n in self._names():
            try:
                yield self._read(n)
            except FileNotFoundError:
                continue  # dropped meanwhile

    def count(self):
        if not os.path.isdir(self.dir):
            return 0
        with os.scandir(self.dir) as it:
            return sum(1 for e in it if e.name.endswith(".json") and e.name != ".json")

    def drop_item(self, queue_id):
        name = "".join(c for c in queue_id if c in _KEEP) + ".json"
        try:
            os.remove(os.path.join(self.dir, name))
        except FileNotFoundError:
            pass


def _fill(directory, count):
    q = EnvelopeQueue(directory)
    base = json.loads(EXAMPLE)
    for i in range(count):
        base["exchange_id"] = f"0190a5b2-0000-7000-8000-{i:012d}"
        q.push("routing", SignedEnvelope.from_dict(base))


_TMP = []


def cases():
    root = tempfile.mkdtemp(prefix="ulo-bench-")
    _TMP.append(root)
    env = SignedEnvelope.from_json(EXAMPLE)
    ours, theirs = EnvelopeQueue(os.path.join(root, "push-ours")), PyQueue(os.path.join(root, "push-py"))
    big = os.path.join(root, "list")
    _fill(big, ITEMS)
    ns = {"ours": ours, "theirs": theirs, "env": env, "EnvelopeQueue": EnvelopeQueue,
          "PyQueue": PyQueue, "big": big}
    return [
        Case("queue", "push (example envelope)", ("ours.push('routing', env)", ns),
             {"pure-Python push": ("theirs.push('routing', env)", ns)},
             [("pure-Python push", 1.0)]),
        Case("queue", f"list() of {ITEMS:,} items", ("EnvelopeQueue(big).list()", ns),
             {"pure-Python list": ("PyQueue(big).list()", ns)}, [("pure-Python list", 0.5)],
             unit="ms"),
    ]


def extra_report():
    lines = []
    big = os.path.join(_TMP[0], "list")
    ours = per_call(lambda: EnvelopeQueue(big).list(), min_time=1.0, repeat=3)
    theirs = per_call(lambda: PyQueue(big).list(), min_time=1.0, repeat=3)
    lines.append(f"list() throughput: ours {ITEMS / ours:,.0f} items/s | "
                 f"pure Python {ITEMS / theirs:,.0f} items/s")
    for d in _TMP:
        shutil.rmtree(d, ignore_errors=True)
    return lines
