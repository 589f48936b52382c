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
import sys
import time

from benchlib import (begin_measure, heap_arguments, log_size, measure_matrix, parse, pauses, print_row, print_tables,
                      rss_kib, snapshot, start_bench_heap, stop_jvm)

REQUESTS = {
    "walk": b'<vesk-cmd tag="1"><cmd name="SNAPSHOT" source="walk"/></vesk-cmd>',
    "dump": b'<vesk-cmd tag="1"><cmd name="SNAPSHOT" source="dump"/></vesk-cmd>',
    "heapdump": b'<vesk-cmd tag="1"><cmd name="HEAPDUMP"/></vesk-cmd>',
}


def measure(jdk, size, kind, a):
    # The Java heap committed and touched from the start: resident memory then moves with native memory only.
    name, splog, port, proc, built = start_bench_heap(jdk, size, kind, a, [f"-Xms{a.xmx}", "-XX:+AlwaysPreTouch"])
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
    p = heap_arguments(__doc__, "2500000,10000000")
    a = parse(p)
    sizes = [int(s) for s in a.sizes.split(",")]
    results = measure_matrix(a, sizes, REQUESTS, measure)

    def cells(jdk, size):
        w, d, h = (results[(jdk, size, k)] for k in REQUESTS)
        return [f"{w['objs']:,}", f"{w['pause']:.0f}", f"{d['pause']:.0f}", f"{d['pause'] / max(w['pause'], 1):.2f}",
                f"{h['pause']:.0f}", f"{w['last_byte_s']:.1f}", f"{d['last_byte_s']:.1f}", f"{h['last_byte_s']:.1f}",
                f"{d['walk_ms']} / {d['untag_ms']}",
                f"{w['rss_before']:.0f} / {w['rss_peak']:.0f} / {w['rss_after']:.0f}",
                f"{d['rss_before']:.0f} / {d['rss_peak']:.0f} / {d['rss_after']:.0f}"]

    print_tables(a, sizes, "one run per cell. pause = safepoint pauses during the request (ms); last byte = request "
                 "to the answer's last byte (s); dump: heap-walk metric = the roots and the JVM's dump, untag metric "
                 "= the conversion and the untag step (ms); RSS before / peak / 5 s after (MiB).",
                 ["objects", "pause walk", "pause dump", "dump / walk", "pause HEAPDUMP", "last byte walk", "dump",
                  "HEAPDUMP", "dump: JVM dump / conversion (ms)", "RSS walk", "RSS dump"], cells)


if __name__ == "__main__":
    sys.exit(main())
