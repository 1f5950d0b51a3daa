"""MockAnchor beside a pure-Python anchor (a dict under a lock)."""
import gc
import os
import threading

from harness import Case
import hashlib
import time

from ulo_protocol import AnchorReceipt, MockAnchor, merkle_root

TIME = "2026-04-15T09:00:00Z"


class PyAnchor:
    def __init__(self, anchor_id):
        self.id = anchor_id
        self._lock = threading.Lock()
        self._submitted = {}

    def submit(self, root):
        if len(root) != 32:
            raise ValueError("merkle_root must be exactly 32 bytes")
        h = root.hex()
        receipt = {"anchor_id": self.id, "anchor_kind": "local", "merkle_root_hex": h,
                   "submission_ref": "mock://" + h, "submitted_at": TIME,
                   "expected_finality_at": TIME, "proof_b64": ""}
        with self._lock:
            if root in self._submitted:
                raise ValueError("anchor already submitted: " + h)
            self._submitted[root] = receipt
        return receipt

    def verify(self, receipt):
        root = bytes.fromhex(receipt["merkle_root_hex"])
        with self._lock:
            if root not in self._submitted:
                raise KeyError("anchor not found: " + receipt["merkle_root_hex"])
        return {"anchor_id": self.id, "anchor_kind": "local",
                "merkle_root_hex": receipt["merkle_root_hex"], "confirmed": True,
                "authoritative_time": receipt["submitted_at"], "detail": "mock"}


class Roots:
    """A fresh root on every call, so submit never meets a duplicate."""

    def __init__(self):
        self.n = 0

    def next(self):
        self.n += 1
        return self.n.to_bytes(32, "little")


def cases():
    ours, theirs = MockAnchor("m"), PyAnchor("m")
    r1, r2 = Roots(), Roots()
    receipt = ours.submit(b"\x11" * 32)
    py_receipt = theirs.submit(b"\x11" * 32)
    ns = {"ours": ours, "theirs": theirs, "r1": r1, "r2": r2, "receipt": receipt,
          "py_receipt": py_receipt}
    return [
        Case("anchor", "MockAnchor.submit", ("ours.submit(r1.next())", ns),
             {"pure-Python anchor": ("theirs.submit(r2.next())", ns)},
             [("pure-Python anchor", 2.0)]),
        Case("anchor", "MockAnchor.verify", ("ours.verify(receipt)", ns),
             {"pure-Python anchor": ("theirs.verify(py_receipt)", ns)},
             [("pure-Python anchor", 2.0)]),
    ]


def _rss_mb():
    with open(f"/proc/{os.getpid()}/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 1e6


def py_merkle_root(leaves):
    """The same tree in Python with hashlib, level by level."""
    sha = hashlib.sha256
    level = [sha(b"\x00" + leaf).digest() for leaf in leaves]
    while len(level) > 1:
        up = [sha(b"\x01" + level[i] + level[i + 1]).digest() for i in range(0, len(level) - 1, 2)]
        if len(level) % 2:
            up.append(level[-1])
        level = up
    return level[0]


def _merkle_report():
    leaves = [i.to_bytes(32, "little") for i in range(1_000_000)]
    # In turns, best of three; CPU time beside wall time, as a loaded
    # machine stretches wall time (ours spreads over the pool's threads).
    ours, theirs, ours_cpu, theirs_cpu = (float("inf"),) * 4
    for _ in range(3):
        t0, c0 = time.perf_counter(), time.process_time()
        root = merkle_root(leaves)
        ours, ours_cpu = min(ours, time.perf_counter() - t0), min(ours_cpu, time.process_time() - c0)
        t0, c0 = time.perf_counter(), time.process_time()
        assert py_merkle_root(leaves) == root
        theirs = min(theirs, time.perf_counter() - t0)
        theirs_cpu = min(theirs_cpu, time.process_time() - c0)
    ratio = ours / theirs
    return (f"merkle_root over 1,000,000 leaves of 32 B: {ours * 1e3:.0f} ms, hashlib in Python "
            f"{theirs * 1e3:.0f} ms (x{ratio:.3f}, target <= 0.1: "
            f"{'met' if ratio <= 0.1 else 'MISSED'}); CPU time {ours_cpu * 1e3:.0f} ms against "
            f"{theirs_cpu * 1e3:.0f} ms (x{ours_cpu / theirs_cpu:.3f})")


def extra_report():
    merkle = _merkle_report()
    gc.collect()
    anchor = MockAnchor("mem")
    before = _rss_mb()
    for i in range(1_000_000):
        anchor.submit(i.to_bytes(32, "little"))
    grown = _rss_mb() - before
    return [merkle, f"MockAnchor memory: 1,000,000 submitted roots add {grown:.0f} MB of RSS "
            f"(target <= 150 MB: {'met' if grown <= 150 else 'MISSED'})"]
