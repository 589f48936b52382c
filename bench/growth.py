#!/usr/bin/env python3
"""What grew between two heaps, two builds side by side: `vesk suspects OLD NEW
--json --no-index` on a pair of HPROF dumps of the bench heap, at several sizes,
under /usr/bin/time -v, this build and --baseline in turn (the baseline first
in odd runs, second in even ones, so a busy spell falls on both): wall time and
CPU time (user and system) and peak resident memory per run, their medians, the ratios this build / baseline,
and whether every JSON output of one pair is the same byte for byte.

The pair is one JVM building the bench heap, dumped twice by jcmd
GC.heap_dump, the second dump a few seconds after the first: the heap's
objects stay, the garbage its churning thread makes changes. The dumps are kept
in --inputs for later runs: about 43 MiB per million objects each.
"""
import os
import statistics
import sys
import time

from benchlib import JVMS, Timed, arguments, jcmd_dump, need_time, parse, start_jvm, stop_jvm


def make_pair(size, a):
    old = os.path.join(a.inputs, f"growth-{size}-old.hprof")
    new = os.path.join(a.inputs, f"growth-{size}-new.hprof")
    if os.path.exists(old) and os.path.exists(new):
        return old, new
    xmx = f"-Xmx{max(6, size * 12 // 100_000_000)}g"
    proc, _ = start_jvm([f"{a.jdk}/bin/java", xmx, "-cp", a.classes, "BenchHeap", str(size)], a.work,
                        f"heap-{size}", {})
    try:
        for path in (old, new):
            jcmd_dump(a.jdk, proc.pid, path + ".part")
            time.sleep(5)
        for path in (old, new):
            os.rename(path + ".part", path)
    finally:
        stop_jvm(proc)
    return old, new


def main():
    p = arguments(__doc__, several_jdks=False)
    p.add_argument("--baseline", required=True, help="another build's vesk, measured beside this one as 'before'")
    p.add_argument("--inputs", default="/tmp/vesk-bench-inputs", help="where the dumps are kept for later runs")
    p.add_argument("--sizes", default="4000000,20000000", help="heap sizes (objects)")
    p.add_argument("--runs", type=int, default=3, help="runs of each build per size")
    p.add_argument("--limit", type=int, default=3600, help="seconds one run may take")
    a = parse(p)
    need_time()
    os.makedirs(a.inputs, exist_ok=True)
    builds = {"before": a.baseline, "after": a.vesk}
    print(f"{os.cpu_count()} CPUs; load average {os.getloadavg()[0]:.2f} at start")
    summary = []
    try:
        for size in [int(s) for s in a.sizes.split(",") if s]:
            old, new = make_pair(size, a)
            runs = {label: [] for label in builds}
            for run in range(a.runs):
                order = list(builds) if run % 2 == 0 else list(reversed(builds))
                for label in order:
                    out = os.path.join(a.work, f"growth-{size}.{label}.{run}.json")
                    t = Timed([builds[label], "suspects", old, new, "--json", "--no-index"], a.limit, out)
                    if not t.finished:
                        raise SystemExit(f"{label} did not finish in {a.limit} s on {size:,} objects")
                    runs[label].append(t)
                    print(f"  {size:,} objects, run {run + 1}, {label}: {t.wall:.1f} s, CPU {t.cpu:.1f} s,"
                          f" {t.peak_mib:,.0f} MiB",
                          flush=True)
            same = len({t.stdout for ts in runs.values() for t in ts}) == 1
            wall = {label: statistics.median(t.wall for t in ts) for label, ts in runs.items()}
            cpu = {label: statistics.median(t.cpu for t in ts) for label, ts in runs.items()}
            peak = {label: statistics.median(t.peak_mib for t in ts) for label, ts in runs.items()}
            mib = os.path.getsize(old) / 2**20
            summary.append((size, mib, wall, cpu, peak, same))
    finally:
        for proc in JVMS:
            stop_jvm(proc)

    print(f"\nMedians of {a.runs} runs each; load average {os.getloadavg()[0]:.2f} at end")
    print("\n| objects asked | HPROF MiB (each) | wall s before | after | ÷ | CPU s before | after | ÷"
          " | peak MiB before | after | ÷ | same JSON |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|")
    for size, mib, wall, cpu, peak, same in summary:
        cells = [f"{size:,}", f"{mib:,.0f}"]
        for figures, digits in ((wall, 1), (cpu, 1), (peak, 0)):
            cells += [f"{figures['before']:,.{digits}f}", f"{figures['after']:,.{digits}f}",
                      f"{figures['after'] / figures['before']:.2f}"]
        print("| " + " | ".join(cells) + f" | {'yes' if same else 'NO'} |")


if __name__ == "__main__":
    sys.exit(main())
