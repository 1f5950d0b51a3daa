"""The shipped x86_64 wheel beside the GCC development build.

Each side runs in its own interpreter (two copies of one extension module
cannot share a process), in interleaved rounds A, B, A, B, ... so that load
on the machine falls on both alike; each operation's figure is the median of
its rounds. Run alone: `python benchmarks/bench_shipped.py [WHEEL] [ROUNDS]`.
"""
from __future__ import annotations

import json
import pathlib
import statistics
import subprocess
import sys
import tempfile
import zipfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
ROUNDS = 7
# Within this ratio of the GCC build, or faster.
LIMIT = 1.05

# One round: every operation timed with the module found on sys.path[0].
ROUND = r"""
import base64, json, sys, tempfile, timeit
sys.path.insert(0, sys.argv[1])
import ulo_protocol as ulo
if sys.argv[1] and not ulo.__file__.startswith(sys.argv[1]):
    raise SystemExit(f"imported {ulo.__file__}, not the build under test")
me = ulo.SoftwareIdentity.from_seed(bytes(range(32)))
d = me.descriptor()
payload = b"x" * 64
sig = me.sign(payload)
wire = json.dumps({"exchange_id": "0190a5b2-0000-7000-8000-000000000001",
    "peer_self": {"class": "body", "type": "agent", "ref": "alice"}, "direction": "outbound",
    "request_hash": "aa" * 32, "response_hash": "bb" * 32, "our_signature": base64.b64encode(sig).decode(),
    "opened_at": "2026-04-15T09:00:00Z", "closed_at": "2026-04-15T09:00:01.250Z",
    "protocol_hint": "quic", "counterparty_identifier": "https://api.example.net/v1/x"},
    separators=(",", ":"))
env = ulo.SignedEnvelope.from_json(wire)
q = ulo.EnvelopeQueue(tempfile.mkdtemp())
for i in range(1000):
    q.push("routing", ulo.SignedEnvelope.from_json(wire.replace("0001", f"{i:04d}")))
triples = [(d, payload, sig)] * 200
ops = {
    "verify": (lambda: d.verify(payload, sig), 2000),
    "sign": (lambda: me.sign(payload), 5000),
    "from_json": (lambda: ulo.SignedEnvelope.from_json(wire), 100000),
    "to_json": (lambda: env.to_json(), 100000),
    "list (1,000 items)": (lambda: q.list(), 20),
    "verify_many (200)": (lambda: ulo.PeerIdentityDescriptor.verify_many(triples), 10),
}
out = {}
for name, (fn, n) in ops.items():
    out[name] = min(timeit.repeat(fn, number=n, repeat=3)) / n
print(json.dumps(out))
"""


def unpack(wheel: pathlib.Path, into: pathlib.Path) -> pathlib.Path:
    with zipfile.ZipFile(wheel) as zf:
        zf.extractall(into)
    return into


def gcc_build() -> pathlib.Path:
    # The module `make build` installed into .venv.
    out = subprocess.run([sys.executable, "-c", "import ulo_protocol, os; print(os.path.dirname(ulo_protocol.__file__))"],
                         capture_output=True, text=True, check=True, cwd=tempfile.gettempdir())
    return pathlib.Path(out.stdout.strip())


def compare(wheel: pathlib.Path, rounds: int = ROUNDS) -> list[str]:
    with tempfile.TemporaryDirectory() as tmp:
        sides = {"shipped": unpack(wheel, pathlib.Path(tmp) / "shipped"), "gcc": gcc_build()}
        times: dict[str, dict[str, list[float]]] = {s: {} for s in sides}
        for _ in range(rounds):
            for side, path in sides.items():
                res = subprocess.run([sys.executable, "-I", "-c", ROUND, str(path)], capture_output=True,
                                     text=True, check=True, cwd=tmp, timeout=600)
                for op, t in json.loads(res.stdout).items():
                    times[side].setdefault(op, []).append(t)
    lines = [f"shipped wheel ({wheel.name}) against the GCC build, median of {rounds} interleaved rounds:"]
    for op in times["gcc"]:
        a, b = statistics.median(times["shipped"][op]), statistics.median(times["gcc"][op])
        verdict = "ok" if a / b <= LIMIT else f"SLOWER than {LIMIT:.2f}"
        lines.append(f"  {op:20} shipped {a * 1e6:10.3f} µs   gcc {b * 1e6:10.3f} µs   ×{a / b:.3f}  {verdict}")
    return lines


def shipped_wheel() -> pathlib.Path | None:
    found = sorted((ROOT / "dist").glob("*manylinux*x86_64*.whl"))
    return found[0] if found else None


def extra_report() -> list[str]:
    wheel = shipped_wheel()
    if wheel is None:
        return ["shipped wheel: no x86_64 wheel in dist/ (make dist)"]
    return compare(wheel)


def cases() -> list[object]:
    return []


if __name__ == "__main__":
    given = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else shipped_wheel()
    if given is None:
        sys.exit("no x86_64 wheel in dist/: run make dist")
    for line in compare(given, int(sys.argv[2]) if len(sys.argv) > 2 else ROUNDS):
        print(line, flush=True)
