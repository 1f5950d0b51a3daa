"""How soon a long call answers SIGINT: the time from the signal, sent by
another process, to the KeyboardInterrupt in the caller.

Each round runs in a fresh interpreter. A helper process waits for the word
"go", sleeps the given delay, notes the monotonic clock (shared by all
processes of the machine) and sends SIGINT to the caller, which notes the
clock when KeyboardInterrupt reaches it.

    python benchmarks/bench_interrupt.py [--rounds 3] [--items 300000] [--dir D]
"""
import argparse
import json
import os
import pathlib
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
TRIPLES = 1_000_000
ITEMS = 300_000
ROUNDS = 3
# call -> seconds from the start of the call to the signal
DELAYS = {"verify_many": 0.5, "list": 0.3, "items": 0.3}

_SENDER = ("import os, signal, sys, time\n"
           "print('ready', flush=True)\n"
           "sys.stdin.readline()\n"
           "time.sleep(float(sys.argv[1]))\n"
           "t = time.monotonic()\n"
           "os.kill(os.getppid(), signal.SIGINT)\n"
           "print(t, flush=True)\n")


def run_round(call, directory, n):
    """In the fresh interpreter: prepare, call, and time the interrupt."""
    # A shell that starts a job in the background has it ignore SIGINT.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    from ulo_protocol import EnvelopeQueue, PeerIdentityDescriptor, SoftwareIdentity
    if call == "verify_many":
        ident = SoftwareIdentity.from_seed(bytes(32))
        triple = (ident.descriptor(), b"payload", ident.sign(b"payload"))
        args = [triple] * n

        def op():
            return PeerIdentityDescriptor.verify_many(args)
    elif call == "list":
        op = EnvelopeQueue(directory).list
    else:
        queue = EnvelopeQueue(directory)
        if not hasattr(queue, "items"):
            return {"missing": True}

        def op():
            for _ in queue.items():
                pass
    sender = subprocess.Popen([sys.executable, "-c", _SENDER, str(DELAYS[call])],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert sender.stdout.readline().strip() == "ready"
    sender.stdin.write("go\n")
    sender.stdin.flush()
    start = time.monotonic()
    try:
        op()
        caught = None
    except KeyboardInterrupt:
        caught = time.monotonic()
    sent = float(sender.stdout.readline())
    sender.wait()
    if caught is None:  # the signal came after the call had ended
        return {"completed": time.monotonic() - start}
    return {"latency": caught - sent, "call": caught - start}


def _round_in_subprocess(call, directory, n):
    proc = subprocess.run([sys.executable, str(pathlib.Path(__file__).resolve()), "--round",
                           call, directory, str(n)], capture_output=True, text=True, timeout=600)
    if proc.returncode != 0:
        return {"error": (proc.stderr.strip().splitlines() or [f"exit {proc.returncode}"])[-1]}
    return json.loads(proc.stdout)


def measure(rounds=ROUNDS, items=ITEMS, triples=TRIPLES, root=None):
    sys.path.insert(0, str(HERE))
    from bench_backlog import fill, item_bytes
    base = tempfile.mkdtemp(prefix="ulo-interrupt-", dir=root)
    directory = os.path.join(base, "q")
    lines = []
    try:
        fill(directory, range(items), item_bytes())
        for call, n in (("verify_many", triples), ("list", items), ("items", items)):
            results = [_round_in_subprocess(call, directory, n) for _ in range(rounds)]
            what = f"{n:,} {'triples' if call == 'verify_many' else 'items'}"
            if any("missing" in r for r in results):
                lines.append(f"SIGINT into {call} of {what}: n/a (no such call)")
                continue
            errors = [r["error"] for r in results if "error" in r]
            if errors:
                lines.append(f"SIGINT into {call} of {what}: failed: {errors[0]}")
                continue
            lat = [r["latency"] for r in results if "latency" in r]
            done = [r for r in results if "completed" in r]
            text = (f"SIGINT {DELAYS[call]} s into {call} of {what}: KeyboardInterrupt after "
                    f"{statistics.median(lat) * 1e3:.1f} ms median, {max(lat) * 1e3:.1f} ms max "
                    f"over {len(lat)} rounds (target ≤100 ms: "
                    f"{'met' if max(lat) <= 0.1 else 'MISSED'})" if lat else
                    f"SIGINT into {call} of {what}: no round was interrupted")
            if done:
                text += f"; {len(done)} rounds ended before the signal"
            lines.append(text)
    finally:
        shutil.rmtree(base, ignore_errors=True)
    return lines


def cases():
    return []


def extra_report():
    return measure()


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--round":
        call, directory, n = sys.argv[2:5]
        print(json.dumps(run_round(call, directory, int(n))))
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=ROUNDS)
    parser.add_argument("--items", type=int, default=ITEMS)
    parser.add_argument("--triples", type=int, default=TRIPLES)
    parser.add_argument("--dir", help="where to build the queue (default: the temp dir)")
    args = parser.parse_args()
    for line in measure(args.rounds, args.items, args.triples, args.dir):
        print(line, flush=True)


if __name__ == "__main__":
    main()
