#!/usr/bin/env python3
"""SNAPSHOT by the walk beside SNAPSHOT from the JVM's own heap dump.

Heaps of 2.5 and 10 million objects, each taken by SNAPSHOT source="walk",
by SNAPSHOT source="dump" and by HEAPDUMP, each in a JVM of its own, on JDK 17
and JDK 25: the safepoint pauses during the request (-Xlog:safepoint, summed,
the longest kept), the time to the answer's last byte (read and dropped), and
the JVM's resident memory before the request, at its peak (polled) and 5 s
after it. The Java heap is committed and touched from the start, so resident
memory moves with native memory only. Figures, not assertions.
"""
import os
import sys
import time

from benchlib import (arguments, begin_measure, free_port, jdk_version, log_size, measure_matrix, parse, pauses,
                      print_row, rss_kib, snapshot, start_jvm, stop_jvm)

REQUESTS = {
    "walk": b'<vesk-cmd tag="1"><cmd name="SNAPSHOT" source="walk"/></vesk-cmd>',
    "dump": b'<vesk-cmd tag="1"><cmd name="SNAPSHOT" source="dump"/></vesk-cmd>',
    "heapdump": b'<vesk-cmd tag="1"><cmd name="HEAPDUMP"/></vesk-cmd>',
}


def measure(jdk, size, kind, a):
    name = f"{os.path.basename(jdk)}-{size}-{kind}"
    splog = os.path.join(a.work, name + ".safepoints")
    tmp = os.path.join(a.work, "tmp")
    os.makedirs(tmp, exist_ok=True)
    port = free_port()
    agent_arg = f"-agentpath:{a.agent}=port={port},address=127.0.0.1,cfgfile={a.config}"
    args = [f"{jdk}/bin/java", agent_arg, f"-Xms{a.xmx}", f"-Xmx{a.xmx}", "-XX:+AlwaysPreTouch",
            f"-Xlog:safepoint:file={splog}", "-cp", a.classes, "BenchHeap", str(size)]
    proc, built = start_jvm(args, a.work, name, {"TEMP": tmp, "TMP": tmp, "TMPDIR": tmp})
    try:
        before, poll, log_start = begin_measure(proc, splog)
        r = snapshot(port, poll, REQUESTS[kind])
        paused = pauses(splog, log_start, log_size(splog))
        time.sleep(5)
        after = rss_kib(proc.pid)
    finally:
        stop_jvm(proc)
    m = r["metrics"]
    row = {"objs": r["objs"] or built, "pause": paused["pause_sum"], "longest": paused["pause_max"],
           "last_byte_s": r["request_ms"] / 1000, "mib": r["bytes"] / 1048576,
           "walk_ms": m.get("$L$last.snapshot.heapwalk.duration.msec", 0),
           "untag_ms": m.get("$L$last.snapshot.untag.duration.msec", 0),
           "rss_before": before / 1024, "rss_peak": r["rss_peak"] / 1024, "rss_after": after / 1024}
    print_row(name, row, 1)
    return row


def main():
    p = arguments(__doc__)
    p.add_argument("--sizes", default="2500000,10000000", help="heap sizes (objects)")
    p.add_argument("--xmx", default="3g")
    a = parse(p)
    sizes = [int(s) for s in a.sizes.split(",")]
    results = measure_matrix(a, sizes, REQUESTS, measure)

    print(f"\n{os.cpu_count()} CPUs; one run per cell. pause = safepoint pauses during the request (ms); last "
          "byte = request to the answer's last byte (s); dump: heap-walk metric = the roots and the JVM's dump, "
          "untag metric = the conversion and the untag step (ms); RSS in MiB.")
    for jdk in a.jdk:
        print(f"\n### {jdk_version(jdk)}\n")
        print("| objects | pause walk | pause dump | dump / walk | pause HEAPDUMP | last byte walk | dump | HEAPDUMP "
              "| dump: JVM dump / conversion (ms) | RSS before walk | peak walk | after walk | before dump "
              "| peak dump | after dump |")
        print("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|")
        for size in sizes:
            w, d, h = (results[(jdk, size, k)] for k in REQUESTS)
            print(f"| {w['objs']:,} | {w['pause']:.0f} | {d['pause']:.0f} | {d['pause'] / max(w['pause'], 1):.2f} "
                  f"| {h['pause']:.0f} | {w['last_byte_s']:.1f} | {d['last_byte_s']:.1f} | {h['last_byte_s']:.1f} "
                  f"| {d['walk_ms']} / {d['untag_ms']} | {w['rss_before']:.0f} | {w['rss_peak']:.0f} "
                  f"| {w['rss_after']:.0f} | {d['rss_before']:.0f} | {d['rss_peak']:.0f} | {d['rss_after']:.0f} |")


if __name__ == "__main__":
    sys.exit(main())
