"""Backlogs: push, list(), the streaming read, count and drop on a queue that
already holds N items, beside the pure-Python spool model of bench_queue.

Every case runs in a fresh interpreter, so that its peak RSS is its own.
The default sizes are 10,000 and 100,000 items; `--sizes` (or BACKLOG=... in
`make bench`) adds more, e.g. 1,000,000, which takes minutes and ~5 GB of
disk. Run alone: python benchmarks/bench_backlog.py [--sizes 10000,100000]
"""
import argparse
import json
import os
import pathlib
import resource
import shutil
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
DEFAULT_SIZES = [10_000, 100_000]
# Items pushed, and dropped, per case: a sample of the backlog, not all of it.
SAMPLE = 1_000
ID = "0190a5b2-0000-7000-8000-{:012d}"
NEW_ID = "0190a5b2-0000-7000-9000-{:012d}"  # sorts after the backlog
OPERATIONS = ["push", "count", "list", "items", "drop"]
IMPLS = ["ours", "model"]
CASE_TIMEOUT = 3600

_results = {}  # size -> {(impl, op): result dict}


def sizes():
    extra = [int(s) for s in os.environ.get("BACKLOG", "").replace(",", " ").split() if s]
    return sorted(set(DEFAULT_SIZES + extra))


def item_bytes():
    """The bytes of one item file as the module writes it, with ID(0)."""
    from ulo_protocol import EnvelopeQueue, SignedEnvelope
    from bench_queue import EXAMPLE
    d = tempfile.mkdtemp(prefix="ulo-backlog-")
    try:
        env = json.loads(EXAMPLE)
        env["exchange_id"] = ID.format(0)
        EnvelopeQueue(d).push("routing", SignedEnvelope.from_dict(env))
        (name,) = os.listdir(d)
        return pathlib.Path(d, name).read_bytes()
    finally:
        shutil.rmtree(d)


def fill(directory, indices, template):
    """Writes the items of these indices directly: far faster than pushing,
    and the same bytes."""
    os.makedirs(directory, exist_ok=True)
    old = ID.format(0).encode()
    for i in indices:
        ident = ID.format(i)
        with open(os.path.join(directory, ident + ".json"), "wb") as f:
            f.write(template.replace(old, ident.encode()))


def spread(n, k, phase):
    """k indices spread evenly over range(n), offset by phase (0 or 1)."""
    step = n / (2 * k)
    return [int((2 * j + phase) * step) for j in range(k)]


# --- one case, in its own interpreter ---------------------------------------

def _rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def run_case(impl, op, directory, n):
    sys.path.insert(0, str(HERE))
    from ulo_protocol import EnvelopeQueue, SignedEnvelope
    from bench_queue import EXAMPLE, PyQueue
    q = EnvelopeQueue(directory) if impl == "ours" else PyQueue(directory)
    k = min(SAMPLE, n // 20)
    envs = []
    if op == "push":
        base = json.loads(EXAMPLE)
        for i in range(k):
            base["exchange_id"] = NEW_ID.format(i)
            envs.append(SignedEnvelope.from_dict(base))
    drop_ids = [ID.format(i) for i in spread(n, k, 0 if impl == "ours" else 1)]
    out = {"items": n, "first": None}
    if op in ("items", "count") and not hasattr(q, op):
        return {"missing": True}
    before = _rss()
    t0 = time.perf_counter()
    if op == "push":
        for e in envs:
            q.push("routing", e)
        out["items"] = k
    elif op == "count":
        out["count"] = q.count()
    elif op == "list":
        out["count"] = len(q.list())
    elif op == "items":
        it = iter(q.items())
        count = 0
        for _ in it:
            if count == 0:
                out["first"] = time.perf_counter() - t0
            count += 1
        out["count"] = count
    elif op == "drop":
        for i in drop_ids:
            q.drop_item(i)
        out["items"] = k
    out["seconds"] = time.perf_counter() - t0
    if op == "list":
        out["first"] = out["seconds"]
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    out["rss_growth"] = max(0, peak - before)
    if op == "push":  # leave the backlog as it was
        for i in range(k):
            os.unlink(os.path.join(directory, NEW_ID.format(i) + ".json"))
    return out


def _case_in_subprocess(impl, op, directory, n):
    proc = subprocess.run([sys.executable, str(pathlib.Path(__file__).resolve()), "--case",
                           impl, op, directory, str(n)], capture_output=True, text=True,
                          timeout=CASE_TIMEOUT)
    if proc.returncode != 0:
        return {"error": (proc.stderr.strip().splitlines() or ["exit %d" % proc.returncode])[-1]}
    return json.loads(proc.stdout)


def measure(n, root):
    directory = os.path.join(root, f"q{n}")
    t = time.perf_counter()
    template = item_bytes()
    fill(directory, range(n), template)
    os.sync()  # the fill's writeback is not charged to the first case
    print(f"backlog {n:,}: filled in {time.perf_counter() - t:.1f} s", file=sys.stderr, flush=True)
    res = {}
    for op in OPERATIONS:
        for impl in IMPLS:
            res[(impl, op)] = _case_in_subprocess(impl, op, directory, n)
            if op == "drop":  # put the dropped items back for the next case
                k = min(SAMPLE, n // 20)
                fill(directory, spread(n, k, 0 if impl == "ours" else 1), template)
    shutil.rmtree(directory, ignore_errors=True)
    _results[n] = res
    return res


# --- reporting ----------------------------------------------------------------

def _time(s):
    if s is None:
        return "—"
    return f"{s * 1e3:.1f} ms" if s < 1 else f"{s:.2f} s"


def _per_item(r):
    return r["seconds"] / max(1, r["items"]) * 1e6


def _cell(r):
    if "missing" in r:
        return "n/a", "—", "—", "—"
    if "error" in r:
        return "failed: " + r["error"][:60], "—", "—", "—"
    return (f"{_per_item(r):.2f} µs", _time(r["seconds"]), _time(r["first"]),
            f"{r['rss_growth'] / 2**20:.0f} MB")


def table_lines():
    lines = ["| backlog | operation | ours per item | ours total | ours first item | "
             "ours peak RSS growth | model per item | model total | model peak RSS growth |",
             "|---|---|---|---|---|---|---|---|---|"]
    for n, res in sorted(_results.items()):
        for op in OPERATIONS:
            o, m = _cell(res[("ours", op)]), _cell(res[("model", op)])
            lines.append(f"| {n:,} | {op} | {o[0]} | {o[1]} | {o[2]} | {o[3]} | "
                         f"{m[0]} | {m[1]} | {m[3]} |")
    return lines


def _ok(r):
    return "seconds" in r


def target_lines():
    """The backlog targets at each size: ratios against list() of the same run."""
    lines = []
    for n, res in sorted(_results.items()):
        lst, it, cnt = res[("ours", "list")], res[("ours", "items")], res[("ours", "count")]
        parts = []
        if _ok(it) and _ok(lst):
            mb = it["rss_growth"] / 2**20
            ratio = it["seconds"] / lst["seconds"]
            parts += [f"streaming RSS growth {mb:.0f} MB (≤64: {'met' if mb <= 64 else 'MISSED'}, "
                      f"list() {lst['rss_growth'] / 2**20:.0f} MB)",
                      f"first item {_time(it['first'])} (≤0.5 s: "
                      f"{'met' if it['first'] is not None and it['first'] <= 0.5 else 'MISSED'})",
                      f"whole read {ratio:.2f}× list() (≤1.1: {'met' if ratio <= 1.1 else 'MISSED'})"]
        if _ok(cnt):
            parts.append(f"count {_time(cnt['seconds'])} (≤0.5 s: "
                         f"{'met' if cnt['seconds'] <= 0.5 else 'MISSED'})")
        if parts:
            lines.append(f"backlog {n:,}: " + "; ".join(parts))
    drops = [(n, res[("ours", "drop")]) for n, res in sorted(_results.items())
             if _ok(res[("ours", "drop")])]
    if len(drops) > 1:
        (n0, d0), (n1, d1) = drops[0], drops[-1]
        ratio = _per_item(d1) / _per_item(d0)
        lines.append(f"drop_item per item at {n1:,} is {ratio:.2f}× its cost at {n0:,} "
                     f"({_per_item(d1):.1f} against {_per_item(d0):.1f} µs)")
    return lines


def chart(path):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return
    ns = sorted(_results)
    if len(ns) < 2:
        return
    fig, (ax_t, ax_m) = plt.subplots(1, 2, figsize=(11, 4.2))
    colors = dict(zip(OPERATIONS, ["#1f77b4", "#2ca02c", "#d62728", "#9467bd", "#ff7f0e"]))
    for op in OPERATIONS:
        for impl, style in (("ours", "-"), ("model", ":")):
            pts = [(n, _results[n][(impl, op)]) for n in ns if _ok(_results[n][(impl, op)])]
            if not pts:
                continue
            label = f"{op} ({'ours' if impl == 'ours' else 'pure-Python model'})"
            ax_t.plot([n for n, _ in pts], [_per_item(r) for _, r in pts], style, marker="o",
                      color=colors[op], label=label)
            ax_m.plot([n for n, _ in pts], [r["rss_growth"] / 2**20 for _, r in pts], style,
                      marker="o", color=colors[op], label=label)
    for ax, ylabel in ((ax_t, "time per item (µs; count: per item counted)"),
                       (ax_m, "peak RSS growth (MB)")):
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("items in the queue")
        ax.set_ylabel(ylabel)
        ax.grid(True, which="both", alpha=0.3)
    ax_m.axhline(64, color="grey", linewidth=0.8, linestyle="--")
    ax_t.legend(fontsize=7, loc="best")
    fig.suptitle("Queue backlog: time and memory against backlog size")
    fig.tight_layout()
    fig.savefig(path, dpi=100)


# --- hooks for run.py ---------------------------------------------------------

def cases():
    return []


def extra_report():
    root = tempfile.mkdtemp(prefix="ulo-backlog-")
    try:
        for n in sizes():
            measure(n, root)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    return table_lines() + target_lines()


def report_sections(docs):
    """Markdown for docs/benchmarks.md, and the chart beside it."""
    chart(docs / "benchmarks-backlog.png")
    return ["## Queue backlog", "",
            "Each case in a fresh interpreter on a queue already holding the backlog; "
            f"push and drop over {SAMPLE:,} items (a twentieth of the smallest backlog), "
            "the rest over the whole backlog. Peak RSS growth is the case's peak "
            "over its RSS just before the operation.", "",
            *table_lines(), "", *(f"- {line}" for line in target_lines()), "",
            "![backlog](benchmarks-backlog.png)", ""]


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--case":
        impl, op, directory, n = sys.argv[2:6]
        print(json.dumps(run_case(impl, op, directory, int(n))))
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", help="comma-separated backlog sizes (default 10000,100000)")
    parser.add_argument("--chart", help="write the chart to this PNG")
    args = parser.parse_args()
    if args.sizes:
        os.environ["BACKLOG"] = args.sizes
        global DEFAULT_SIZES
        DEFAULT_SIZES = []
    sys.path.insert(0, str(HERE))
    for line in extra_report():
        print(line, flush=True)
    if args.chart:
        chart(args.chart)


if __name__ == "__main__":
    main()
