#!/usr/bin/env python3
"""Analysis benchmark driver; run it through bench/analysis.sh.

For each heap size, one JVM builds the bench heap with the snapshot agent
loaded: vesk saves its snapshot to a file, jcmd GC.heap_dump writes an HPROF
dump of the same heap, and the JVM is stopped. Then `vesk top` reads the
snapshot and VisualVM's heap library (HeapLibTop.java) reads the dump, both
asked for the objects of largest retained size, each under /usr/bin/time -v
for its wall time and peak resident memory.
"""
import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys

from bench import JVMS, exit_on_signals, free_port, jdk_version, start_jvm, stop_jvm

TOP = 40  # rows asked of both; the fixture's large structures are among them
# The fixture's large structures, as the largest objects of their classes: the
# three static lists and their arrays, the tree's root and its two subtrees,
# the longest chain. Not the class object holding the statics: the stream names
# the lists as JNI-local roots of the main thread too, so vesk roots them apart
# while the heap library counts them under the class object.
KNOWN = {"java.util.ArrayList": 3, "java.lang.Object[]": 3, "BenchHeap$Tree": 3, "BenchHeap$Chain": 1}


class Timed:
    """One command under /usr/bin/time -v, killed after limit seconds."""

    def __init__(self, args, limit, out_path):
        report_path = out_path + ".time"
        with open(out_path, "w") as out, open(report_path, "w") as report:
            proc = subprocess.Popen(["/usr/bin/time", "-v"] + args, stdout=out, stderr=report)
            try:
                proc.wait(timeout=limit)
                self.finished = True
            except subprocess.TimeoutExpired:
                # Kill the command, not time, which then still reports its peak.
                with open(f"/proc/{proc.pid}/task/{proc.pid}/children") as f:
                    for child in f.read().split():
                        os.kill(int(child), signal.SIGKILL)
                proc.wait()
                self.finished = False
        self.stdout = open(out_path).read()
        self.report = open(report_path).read()
        clock = re.search(r"Elapsed \(wall clock\) time.*: (?:(\d+):)?(\d+):([\d.]+)", self.report)
        self.wall = int(clock.group(1) or 0) * 3600 + int(clock.group(2)) * 60 + float(clock.group(3))
        self.peak_mib = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", self.report).group(1)) / 1024
        status = re.search(r"Exit status: (\d+)", self.report)
        if self.finished and (not status or status.group(1) != "0"):
            raise RuntimeError(f"{' '.join(args)} failed:\n{self.report[-3000:]}")


def pair_known(vesk_rows, lib_rows):
    """The i-th largest of each known class on one side against the i-th on the other."""
    def by_class(rows):
        out = {}
        for cls, retained in rows:
            out.setdefault(cls, []).append(retained)
        return out
    v, h = by_class(vesk_rows), by_class(lib_rows)
    pairs = []
    for cls, count in KNOWN.items():
        for i, (a, b) in enumerate(list(zip(v.get(cls, []), h.get(cls, [])))[:count]):
            pairs.append((cls, i + 1, a, b, (a - b) / b * 100 if b else 0.0))
    return sorted(pairs, key=lambda p: -p[2])


def measure(size, a):
    jvm_args = [f"{a.jdk}/bin/java", f"-Xmx{a.xmx}", "-cp", a.classes]
    tmp = os.path.join(a.work, "tmp")
    os.makedirs(tmp, exist_ok=True)
    env = {"TEMP": tmp, "TMP": tmp, "TMPDIR": tmp}
    snap_path = os.path.join(a.work, f"heap-{size}.vsnap")
    dump_path = os.path.join(a.work, f"heap-{size}.hprof")

    port = free_port()
    opts = f"port={port},address=127.0.0.1,cfgfile={a.config}"
    proc, _ = start_jvm(jvm_args[:1] + [f"-agentpath:{a.agent}={opts}"] + jvm_args[1:] + ["BenchHeap", str(size)],
                        a.work, f"heap-{size}", env)
    try:
        snap = Timed([a.vesk, "--port", str(port), "snapshot", "-o", snap_path], 900, snap_path + ".out")
        subprocess.run([f"{a.jdk}/bin/jcmd", str(proc.pid), "GC.heap_dump", dump_path], check=True,
                       stdout=subprocess.DEVNULL)
    finally:
        stop_jvm(proc)

    top = Timed([a.vesk, "top", snap_path, "-n", str(TOP), "--json"], 900, snap_path + ".top")
    doc = json.loads(top.stdout)
    lib = Timed([f"{a.jdk}/bin/java", f"-Xmx{a.lib_xmx}", "-cp", f"{a.heaplib}:{a.classes}", "HeapLibTop",
                 dump_path, str(TOP)], a.limit, dump_path + ".top") if a.heaplib else None
    result = {
        "size": size, "objects": doc["objects"], "references": doc["references"],
        "snap_mib": os.path.getsize(snap_path) / 2**20, "dump_mib": os.path.getsize(dump_path) / 2**20,
        "snap": snap, "top": top, "lib": lib,
        "vesk_rows": [(r["class"], r["retained"]) for r in doc["top"]],
    }
    if lib and lib.finished:
        rows = [line.split(" ", 2) for line in lib.stdout.splitlines() if line.strip()]
        result["lib_rows"] = [(cls, int(retained)) for retained, _, cls in rows]
        steps = re.search(r"open ([\d.]+) s, retained sizes ([\d.]+) s", lib.report)
        result["lib_steps"] = steps.group(0) if steps else ""
    for path in (snap_path, dump_path):
        os.unlink(path)
    shutil.rmtree(dump_path + ".hwcache", ignore_errors=True)  # the heap library's index files
    return result


def report(r, limit):
    top, snap, lib = r["top"], r["snap"], r["lib"]
    bound = (64 * r["objects"] + 16 * r["references"]) / 2**20
    print(f"\n== heap of {r['size']:,} objects ==")
    print(f"snapshot: {r['objects']:,} objects, {r['references']:,} references; vesk snapshot -o (walk + stream) "
          f"{snap.wall:.1f} s, {r['snap_mib']:,.0f} MiB file; heap dump {r['dump_mib']:,.0f} MiB")
    print(f"vesk top: {top.wall:.1f} s, peak {top.peak_mib:,.0f} MiB "
          f"(bound 64 B/object + 16 B/reference: {bound:,.0f} MiB)")
    if not lib:
        print("heap library: not installed (see bench/analysis.sh)")
        return
    if not lib.finished:
        print(f"heap library: not finished in {limit} s (peak {lib.peak_mib:,.0f} MiB when stopped)")
        return
    print(f"heap library: {lib.wall:.1f} s ({r['lib_steps']}), peak {lib.peak_mib:,.0f} MiB")
    print(f"ratios: heap library / vesk top: time {lib.wall / top.wall:.1f}x, peak memory {lib.peak_mib / top.peak_mib:.1f}x")
    pairs = pair_known(r["vesk_rows"], r["lib_rows"])
    print("retained sizes of the fixture's large structures (i-th largest of the class on each side):")
    print(f"  {'class':<20} {'#':>2} {'vesk':>14} {'heap library':>14} {'diff':>8}")
    for cls, rank, a, b, diff in pairs:
        print(f"  {cls:<20} {rank:>2} {a:>14,} {b:>14,} {diff:>+7.2f}%")
    r["max_diff"] = max((abs(p[4]) for p in pairs), default=None)


def main():
    p = argparse.ArgumentParser()
    for name in ("jdk", "agent", "vesk", "classes", "work", "config"):
        p.add_argument("--" + name, required=True)
    p.add_argument("--heaplib", default="", help="VisualVM's heap library jar; empty: not installed")
    p.add_argument("--sizes", default="1000000,2500000,5000000")
    p.add_argument("--xmx", default="3g")
    p.add_argument("--lib-xmx", default="6g")
    p.add_argument("--limit", type=int, default=180, help="seconds the heap library may take")
    a = p.parse_args()

    exit_on_signals()
    print(f"JDK: {a.jdk} ({jdk_version(a.jdk)}); {os.cpu_count()} CPUs; "
          f"heap library limited to {a.limit} s and -Xmx{a.lib_xmx}")
    rows = []
    try:
        for size in (int(s) for s in a.sizes.split(",")):
            r = measure(size, a)
            report(r, a.limit)
            rows.append(r)
    finally:
        for proc in JVMS:
            stop_jvm(proc)
    print("\n| objects | references | vesk snapshot s | vesk top s | vesk top peak MiB | top / snapshot time"
          " | heap library s | heap library peak MiB | time ratio | memory ratio | max retained diff |")
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    for r in rows:
        top, snap, lib = r["top"], r["snap"], r["lib"]
        line = (f"| {r['objects']:,} | {r['references']:,} | {snap.wall:.1f} | {top.wall:.1f} | {top.peak_mib:,.0f}"
                f" | {top.wall / snap.wall:.2f}")
        if lib and lib.finished:
            diff = f"{r['max_diff']:.2f} %" if r.get("max_diff") is not None else "-"
            line += (f" | {lib.wall:.1f} | {lib.peak_mib:,.0f} | {lib.wall / top.wall:.1f}x"
                     f" | {lib.peak_mib / top.peak_mib:.1f}x | {diff} |")
        elif lib:
            line += f" | not finished in {a.limit} s | {lib.peak_mib:,.0f} (when stopped) | - | - | - |"
        else:
            line += " | not installed | - | - | - | - |"
        print(line)


if __name__ == "__main__":
    sys.exit(main())
