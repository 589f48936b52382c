#!/usr/bin/env python3
"""Analysis: vesk top on a snapshot beside VisualVM's heap library on a dump.

Heaps of 1, 2.5 and 5 million objects, each saved as a snapshot (vesk
snapshot -o) and as an HPROF dump (jcmd GC.heap_dump) of the same heap; both
asked the same question: the objects of largest retained size. Wall time and
peak memory from /usr/bin/time -v. Takes a while and several GiB: run it on
a quiet machine. The heap library comes with Debian's visualvm package
(apt-get install visualvm, or VESK_HEAPLIB_JAR=PATH); without it, only vesk
is measured.

For each heap size, one JVM builds the bench heap with the snapshot agent
loaded: vesk saves its snapshot to a file, jcmd GC.heap_dump writes an HPROF
dump of the same heap, and the JVM is stopped. Then `vesk top` reads the
snapshot and VisualVM's heap library (HeapLibTop.java) reads the dump, both
asked for the objects of largest retained size, each under /usr/bin/time -v
for its wall time and peak resident memory.
"""
import json
import os
import re
import shutil
import subprocess
import sys

from benchlib import JVMS, KNOWN, TOP, Timed, arguments, free_port, jdk_version, need_time, parse, start_jvm, stop_jvm

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
        print("heap library: not installed (see bench/bench.sh)")
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
    p = arguments(__doc__, several_jdks=False)
    p.add_argument("--sizes", default="1000000,2500000,5000000", help="heap sizes (objects)")
    p.add_argument("--xmx", default="3g")
    p.add_argument("--lib-xmx", default="6g")
    p.add_argument("--limit", type=int, default=180, help="seconds the heap library may take")
    a = parse(p)
    need_time()
    if not a.heaplib:
        print("VisualVM's heap library not found: apt-get install visualvm (or set VESK_HEAPLIB_JAR); "
              "measuring vesk alone", file=sys.stderr)
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
