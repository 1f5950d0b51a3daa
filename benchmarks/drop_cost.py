"""Where drop_item's time goes at several backlog sizes.

For a sample of items spread over the backlog, times each step a drop makes
(the existence check, the read of the item before removal, the removal),
drop_item as a whole, and a bare unlink, in two states of the same
directory: straight after the burst of writes that filled it (data not yet
written back) and after os.sync() (blocks allocated on disk). The removal
of a written-back file is where a file system with online discard spends
its time, whatever the directory's size.

    python benchmarks/drop_cost.py [--sizes 10000,100000,1000000] [--dir D]
"""
import argparse
import os
import resource
import shutil
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_backlog import ID, fill, item_bytes  # noqa: E402
from ulo_protocol import EnvelopeQueue  # noqa: E402

SAMPLE = 500
STEPS = ["lookup (stat)", "open", "fstat", "read", "close", "unlink"]


def spread(n, k, phase, phases):
    step = n / (phases * k)
    return [int((phases * j + phase) * step) for j in range(k)]


def sys_time():
    return resource.getrusage(resource.RUSAGE_SELF).ru_stime


def probe(directory, indices_steps, indices_module, indices_unlink):
    """Per-step times (ns lists), drop_item times, bare unlink times."""
    q = EnvelopeQueue(directory)
    steps = {s: [] for s in STEPS}
    module, bare, unlink_sys = [], [], 0.0
    clock = time.perf_counter_ns
    for a, b, c in zip(indices_steps, indices_module, indices_unlink):
        path = os.path.join(directory, ID.format(a) + ".json")
        t0 = clock()
        os.stat(path)
        t1 = clock()
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
        t2 = clock()
        os.fstat(fd)
        t3 = clock()
        os.read(fd, 65536)
        t4 = clock()
        os.close(fd)
        t5 = clock()
        s0 = sys_time()
        os.unlink(path)
        t6 = clock()
        unlink_sys += sys_time() - s0
        for name, dt in zip(STEPS, (t1 - t0, t2 - t1, t3 - t2, t4 - t3, t5 - t4, t6 - t5)):
            steps[name].append(dt)
        t0 = clock()
        q.drop_item(ID.format(b))
        module.append(clock() - t0)
        path = os.path.join(directory, ID.format(c) + ".json")
        t0 = clock()
        os.unlink(path)
        bare.append(clock() - t0)
    return steps, module, bare, unlink_sys / len(bare) * 1e9


def fmt(ns_list):
    return f"{statistics.mean(ns_list) / 1e3:8.1f} µs mean, {statistics.median(ns_list) / 1e3:7.1f} median"


def measure(n, root):
    directory = os.path.join(root, f"d{n}")
    template = item_bytes()
    t = time.perf_counter()
    fill(directory, range(n), template)
    filled = time.perf_counter() - t
    k = min(SAMPLE, n // 20)
    lines = [f"backlog {n:,} (filled in {filled:.0f} s; {k} items per column)"]
    for state, phase in (("after the burst", 0), ("after writeback", 3)):
        if state == "after writeback":
            t = time.perf_counter()
            os.sync()
            lines.append(f"  os.sync() took {time.perf_counter() - t:.1f} s")
        idx = [spread(n, k, phase + j, 6) for j in range(3)]
        steps, module, bare, unlink_sys = probe(directory, *idx)
        lines.append(f"  {state}:")
        for name in STEPS:
            lines.append(f"    {name:14} {fmt(steps[name])}")
        read_path = sum(statistics.mean(steps[s]) for s in STEPS[1:5])
        lines.append(f"    {'read, in all':14} {read_path / 1e3:8.1f} µs mean")
        lines.append(f"    {'unlink CPU':14} {unlink_sys / 1e3:8.1f} µs mean (system time)")
        lines.append(f"    {'drop_item':14} {fmt(module)}")
        lines.append(f"    {'bare unlink':14} {fmt(bare)}")
    shutil.rmtree(directory, ignore_errors=True)
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="10000,100000")
    parser.add_argument("--dir", help="where to build the backlogs (default: the temp dir)")
    args = parser.parse_args()
    root = tempfile.mkdtemp(prefix="ulo-drop-", dir=args.dir)
    try:
        for n in (int(s) for s in args.sizes.split(",")):
            for line in measure(n, root):
                print(line, flush=True)
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
