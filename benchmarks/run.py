"""Runs every benchmark module and prints our time beside the alternatives.

Writes docs/benchmarks.md (and docs/benchmarks.png when matplotlib is
available) from the same run.
"""
import importlib
import pathlib
import platform
import subprocess
import sys

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from harness import Result, timed  # noqa: E402

MODULES = ["bench_address", "bench_envelope", "bench_identity", "bench_queue", "bench_durable",
           "bench_backlog",
           "bench_interrupt", "bench_anchor", "bench_shipped"]
ROOT = pathlib.Path(__file__).resolve().parent.parent


def fmt(seconds):
    us = seconds * 1e6
    return f"{us:10.3f} µs" if us < 1000 else f"{us / 1000:10.3f} ms"


def main():
    only = set(sys.argv[1:])
    results, extra_lines = [], []
    for mod_name in MODULES:
        try:
            mod = importlib.import_module(mod_name)
        except ModuleNotFoundError as e:
            if e.name == mod_name:
                continue
            raise
        if only and mod_name not in only:
            continue
        for case in mod.cases():
            ours = timed(case.ours)
            peers = {name: timed(fn) for name, fn in case.peers.items()}
            r = Result(case, ours, peers)
            results.append(r)
            line = f"{case.group:9} {case.name:44} ours {fmt(ours)}"
            for name, t in peers.items():
                line += f" | {name}: {fmt(t)} (×{ours / t:.2f})"
            for peer, limit in case.targets:
                ok = r.ratio(peer) <= limit
                line += f"  [target ≤{limit} vs {peer}: {'met' if ok else 'MISSED'}]"
            print(line, flush=True)
        for line in getattr(mod, "extra_report", lambda: [])():
            print(line, flush=True)
            if not hasattr(mod, "report_sections"):  # reported in its own section
                extra_lines.append(line)
    micro = ROOT / "build" / "bench" / "ulo_micro_bench"
    if micro.exists() and not only:
        out = subprocess.run([str(micro)], capture_output=True, text=True, check=True).stdout
        for line in out.splitlines():
            print("native   ", line, flush=True)
            extra_lines.append("native: " + line)
    # A partial run must not overwrite the report of a full one.
    if not only:
        write_report(results, extra_lines)


def write_report(results, extra_lines):
    docs = ROOT / "docs"
    docs.mkdir(exist_ok=True)
    # Sections a module writes itself (a table and chart of its own).
    sections = []
    for mod_name in MODULES:
        mod = sys.modules.get(mod_name)
        if mod is not None and hasattr(mod, "report_sections"):
            sections += mod.report_sections(docs)
    rows = ["| group | operation | ours | alternatives (ratio ours/alt) | target |",
            "|---|---|---|---|---|"]
    for r in results:
        alts = "; ".join(f"{n}: {fmt(t).strip()} (×{r.ours_s / t:.2f})"
                         for n, t in r.peers_s.items())
        tgt = "; ".join(f"≤{lim} vs {p}: {'met' if r.ratio(p) <= lim else 'missed'}"
                        for p, lim in r.case.targets)
        rows.append(f"| {r.case.group} | {r.case.name} | {fmt(r.ours_s).strip()} | {alts} | {tgt} |")
    from bench_identity import cpu_model
    machine = (f"{cpu_model()} ({platform.machine()}), {platform.python_implementation()} "
               f"{platform.python_version()}")
    text = [f"# Benchmarks\n\nOne run of `make bench` on {machine}, "
            f"{len(__import__('os').sched_getaffinity(0))} cores.\n", *rows, ""]
    if extra_lines:
        text += ["```", *extra_lines, "```", ""]
    text += sections
    (docs / "benchmarks.md").write_text("\n".join(text), encoding="utf-8")
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return
    # Only comparisons with other libraries; our own slow-versus-fast path
    # ratios stay in the table.
    shown = [r for r in results
             if any(not name.startswith("ours") for name in r.peers_s)]
    labels = [f"{r.case.group}: {r.case.name}" for r in shown]
    ratios = [r.ours_s / min(t for n, t in r.peers_s.items() if not n.startswith("ours"))
              for r in shown]
    fig, ax = plt.subplots(figsize=(9, 0.35 * len(labels) + 1.5))
    ax.barh(labels, ratios, color=["#2a7" if x <= 1 else "#c53" for x in ratios])
    ax.axvline(1.0, color="black", linewidth=0.8)
    ax.set_xscale("log")
    ax.set_xlabel("time of ours / fastest alternative library (log scale, lower is better)")
    ax.invert_yaxis()
    fig.tight_layout()
    fig.savefig(docs / "benchmarks.png", dpi=100)


if __name__ == "__main__":
    main()
