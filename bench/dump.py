#!/usr/bin/env python3
"""Heap dump: SNAPSHOT, HEAPDUMP and the JVM's own dump of the same heap.

Heaps of 1, 2.5 and 5 million objects, each taken by SNAPSHOT (vesk snapshot
-o), by HEAPDUMP (vesk dump -o) and by the JVM's own dump to a file (jcmd
GC.heap_dump), each in a JVM of its own, on JDK 17 and JDK 25: safepoint
time during the request, time to the saved file, resident memory growth;
then vesk top on the saved HPROF, and VisualVM's heap library counting the
objects of the redacted dump and of the JVM's own dump of the same JVM.
Figures, not assertions. Takes a while and several GiB: run it on a quiet
machine.

For each JDK and heap size, three JVMs build the same bench heap with the
agent loaded, and one request is measured in each: vesk snapshot -o, vesk
dump -o, and the JVM's own jcmd GC.heap_dump to a file. Every JVM logs its
safepoints (-Xlog:safepoint); the pauses within the request are summed.
Resident memory is polled during the request; growth = peak - before. After
vesk dump, the same JVM is dumped by jcmd as well, and VisualVM's heap
library counts the objects of both files. vesk top (histo where the build
has no top) reads the saved HPROF under /usr/bin/time -v.
"""
import os
import re
import shutil
import subprocess
import sys
import time

from benchlib import (Timed, begin_measure, heap_arguments, log_size, measure_matrix, need_time, parse, pauses,
                      print_row, print_tables, start_bench_heap, stop_jvm)

KINDS = ("snapshot", "heapdump", "jcmd")


def run(args, out_path):
    with open(out_path, "w") as out:
        subprocess.run(args, stdout=out, stderr=subprocess.STDOUT, check=True)
    return open(out_path).read()


def count_objects(a, path):
    if not a.heaplib:
        return None
    out = subprocess.run(["java", "-Xmx6g", "-cp", f"{a.heaplib}:{a.classes}", "HeapLibCount", path],
                         capture_output=True, text=True, cwd=a.work)
    return int(out.stdout.strip()) if out.returncode == 0 and out.stdout.strip().isdigit() else None


def analysis_command(a):
    commands = subprocess.run([a.vesk, "--help"], capture_output=True, text=True).stdout
    return ["top"] if re.search(r"^  top ", commands, re.M) else ["histo"]


def measure(jdk, size, kind, a):
    name, splog, port, proc, built = start_bench_heap(jdk, size, kind, a)
    saved = os.path.join(a.work, name + (".vsnap" if kind == "snapshot" else ".hprof"))
    own = os.path.join(a.work, name + "-own.hprof")
    row = {"objects": built}
    try:
        before, poll, start_log = begin_measure(proc, splog)
        start = time.time()
        if kind == "jcmd":
            text = run([f"{jdk}/bin/jcmd", str(proc.pid), "GC.heap_dump", saved], saved + ".out")
        else:
            command = "snapshot" if kind == "snapshot" else "dump"
            text = run([a.vesk, "--port", str(port), command, "-o", saved], saved + ".out")
        row["saved_s"] = time.time() - start
        row["rss_growth"] = (poll.stop() - before) / 1024
        paused = pauses(splog, start_log, log_size(splog))
        row["pauses"], row["longest"] = paused["pause_sum"], paused["pause_max"]
        row["file_mib"] = os.path.getsize(saved) / 1048576
        if kind == "heapdump":
            m = re.search(r"JVM dump (\d+) ms, redaction (\d+) ms, streaming (\d+) ms", text)
            if m:
                row["jvm_dump_ms"], row["redact_ms"], row["stream_ms"] = (int(g) for g in m.groups())
            run([f"{jdk}/bin/jcmd", str(proc.pid), "GC.heap_dump", own], own + ".out")
    finally:
        stop_jvm(proc)
    if kind == "heapdump":
        command = analysis_command(a)
        timed = Timed([a.vesk] + command + [saved], 1800, saved + ".top")
        row["analysis"] = command[0]
        row["analysis_s"], row["analysis_mib"] = timed.wall, timed.peak_mib
        row["count_vesk"] = count_objects(a, saved)
        row["count_jvm"] = count_objects(a, own)
    # The saved files, and the heap library's caches beside them.
    for path in os.listdir(a.work):
        if path.startswith(name) and not path.endswith((".out", ".safepoints")):
            shutil.rmtree(os.path.join(a.work, path), ignore_errors=True) if os.path.isdir(
                os.path.join(a.work, path)) else os.unlink(os.path.join(a.work, path))
    print_row(name, row)
    return row


def main():
    p = heap_arguments(__doc__, "1000000,2500000,5000000")
    a = parse(p)
    need_time()
    if not a.heaplib:
        print("VisualVM's heap library not found (apt-get install visualvm); objects not counted", file=sys.stderr)
    sizes = [int(s) for s in a.sizes.split(",")]
    results = measure_matrix(a, sizes, KINDS, measure)

    def cells(jdk, size):
        s, h, j = (results[(jdk, size, k)] for k in KINDS)
        return [f"{size:,}", f"{s['pauses']:.0f}", f"{h['pauses']:.0f}", f"{h['pauses'] / max(s['pauses'], 1):.3f}",
                f"{s['saved_s']:.1f}", f"{h['saved_s']:.1f}", f"{h['saved_s'] / max(s['saved_s'], 0.001):.2f}",
                f"{s['rss_growth']:+.0f}", f"{h['rss_growth']:+.0f}", f"{j['rss_growth']:+.0f}",
                f"{h['rss_growth'] - j['rss_growth']:+.0f}",
                f"{h.get('jvm_dump_ms', '?')} / {h.get('redact_ms', '?')} / {h.get('stream_ms', '?')}",
                f"{h['file_mib']:.0f}", f"{h['analysis']} {h['analysis_s']:.1f} s, {h['analysis_mib']:.0f} MiB",
                f"{h['count_vesk']} / {h['count_jvm']}"]

    print_tables(a, sizes, "one run per cell. pauses = safepoint time during the request (ms); saved = request to "
                 "saved file (s); RSS growth = peak - before (MiB); objects = VisualVM's heap library's live "
                 "instances in the vesk dump / in the JVM's own live dump of the same JVM.",
                 ["objects", "SNAPSHOT pauses", "HEAPDUMP pauses", "ratio", "SNAPSHOT saved", "HEAPDUMP saved",
                  "ratio", "RSS growth SNAPSHOT", "HEAPDUMP", "jcmd dump", "HEAPDUMP - jcmd",
                  "JVM dump / redact / stream (ms)", "HPROF MiB", "analysis of the HPROF", "objects vesk / JVM"],
                 cells)


if __name__ == "__main__":
    sys.exit(main())
