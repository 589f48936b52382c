#!/usr/bin/env python3
"""Snapshot source benchmark driver; run it through bench/source.sh.

For each JDK and heap size, three JVMs build the same bench heap with the
agent loaded, and one request is measured in each: SNAPSHOT by the walk,
SNAPSHOT from the JVM's heap dump, HEAPDUMP. The answer is read and dropped.
Every JVM logs its safepoints (-Xlog:safepoint); the pauses within the
request are summed (and the longest kept). Resident memory: before the
request, its peak during it (polled), and 5 s after it.
"""
import argparse
import os
import sys
import time

from bench import (begin_measure, free_port, measure_matrix, jdk_version, log_size, pauses, rss_kib,
                   snapshot, start_jvm, stop_jvm)

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
    # The Java heap committed and touched from the start: resident memory
    # then moves with native memory only.
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
    print(f"  {name}: " + ", ".join(f"{k}={v:.1f}" if isinstance(v, float) else f"{k}={v}" for k, v in row.items()),
          flush=True)
    return row


def main():
    p = argparse.ArgumentParser()
    for name in ("agent", "classes", "work", "config"):
        p.add_argument("--" + name, required=True)
    p.add_argument("--jdk", action="append", required=True, help="JDK home; repeat for more")
    p.add_argument("--sizes", default="2500000,10000000")
    p.add_argument("--xmx", default="3g")
    a = p.parse_args()
    a.sizes = sizes = [int(s) for s in a.sizes.split(",")]
    results = measure_matrix(a, REQUESTS, measure)

    print(f"\n{os.cpu_count()} CPUs; one run per cell. pause = safepoint pauses during the request (ms); last "
          "byte = request to the answer's last byte (s); dump: heap-walk metric = the JVM's dump, untag metric = "
          "the conversion and the untag step (ms); RSS in MiB.")
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
