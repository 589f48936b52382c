#!/usr/bin/env python3
"""Histogram pause: the agent's HISTOGRAM beside jcmd GC.class_histogram -all, HEAPDUMP and SNAPSHOT.

Per JDK and heap size (2.5 and 10 million objects by default): one JVM of
BenchHeap with the agent and -Xlog:safepoint, and in turn, with a settling
second before each: a HISTOGRAM request from the JVM's own histogram (the
default), one from the agent's heap pass (source="heap-pass"), jcmd
GC.class_histogram -all, a HEAPDUMP request and a SNAPSHOT request, each
answer read and dropped (a HISTOGRAM's source checked). Each row is the
safepoint time (time at safepoint, summed over the pauses that fall within
the operation, in ms), the median of the runs, and the wall time of the
whole operation; the last columns are both HISTOGRAMs' ratios to jcmd's and
to SNAPSHOT's pause.
"""
import os
import socket
import statistics
import subprocess
import time

from benchlib import arguments, free_port, jdk_version, log_size, parse, pauses, start_jvm, stop_jvm, stop_jvms

REQUESTS = {
    "HISTOGRAM (jvm)": b'<vesk-cmd tag="1"><cmd name="HISTOGRAM"/></vesk-cmd>',
    "HISTOGRAM (heap-pass)": b'<vesk-cmd tag="1"><cmd name="HISTOGRAM" source="heap-pass"/></vesk-cmd>',
    "HEAPDUMP": b'<vesk-cmd tag="1"><cmd name="HEAPDUMP"/></vesk-cmd>',
    "SNAPSHOT": b'<vesk-cmd tag="1"><cmd name="SNAPSHOT"/></vesk-cmd>',
}


HISTOGRAMS = ("HISTOGRAM (jvm)", "HISTOGRAM (heap-pass)")


def request(port, text, expect=b""):
    """Sends one request and reads its answer to the final frame, dropping it;
    expect, when given, must come within the answer's first 4 KiB."""
    deadline = time.time() + 60
    while True:
        try:
            sock = socket.create_connection(("127.0.0.1", port))
            break
        except OSError:
            if time.time() > deadline:
                raise
            time.sleep(0.1)
    with sock:
        sock.sendall(text)
        head = tail = b""
        while True:
            chunk = sock.recv(1 << 20)
            if not chunk:
                raise RuntimeError("the agent closed the connection")
            head = (head + chunk)[:4096] if len(head) < 4096 else head
            tail = (tail + chunk)[-65536:]
            if tail.endswith(b"</vesk-resp>\n") and b'<last value="1"/>' in tail:
                break
        if b'<status value="0"/>' in tail[-4096:]:
            raise RuntimeError("request failed: " + tail[-600:].decode(errors="replace"))
        if expect not in head:
            raise RuntimeError("answer without " + expect.decode() + ": " + head[:600].decode(errors="replace"))
        # A second request returns only after the agent has cleared the first.
        sock.sendall(b'<vesk-cmd tag="2"><cmd name="RUNTIME"/></vesk-cmd>')
        while not sock.recv(65536).endswith(b"</vesk-resp>\n"):
            pass


def measure(jdk, size, a, runs):
    name = f"{os.path.basename(jdk)}-{size}"
    splog = os.path.join(a.work, name + ".safepoints")
    tmp = os.path.join(a.work, "tmp")
    os.makedirs(tmp, exist_ok=True)
    port = free_port()
    args = [f"{jdk}/bin/java", "-Xms3g", "-Xmx3g", "-XX:+AlwaysPreTouch", f"-Xlog:safepoint:file={splog}",
            f"-agentpath:{a.agent}=port={port},address=127.0.0.1,cfgfile={a.config}",
            "-cp", a.classes, "BenchHeap", str(size)]
    proc, built = start_jvm(args, a.work, name, {"TEMP": tmp, "TMP": tmp, "TMPDIR": tmp})
    operations = {
        "HISTOGRAM (jvm)": lambda: request(port, REQUESTS["HISTOGRAM (jvm)"], b'name="source" value="jvm"'),
        "HISTOGRAM (heap-pass)": lambda: request(port, REQUESTS["HISTOGRAM (heap-pass)"],
                                                 b'name="source" value="heap-pass"'),
        "jcmd -all": lambda: subprocess.run([f"{jdk}/bin/jcmd", str(proc.pid), "GC.class_histogram", "-all"],
                                            check=True, stdout=subprocess.DEVNULL),
        "HEAPDUMP": lambda: request(port, REQUESTS["HEAPDUMP"]),
        "SNAPSHOT": lambda: request(port, REQUESTS["SNAPSHOT"]),
    }
    figures = {op: {"pause": [], "wall": []} for op in operations}
    try:
        for _ in range(runs):
            for op, run in operations.items():
                time.sleep(1)
                start, began = log_size(splog), time.time()
                run()
                wall = (time.time() - began) * 1000
                time.sleep(0.2)  # the log line of the last pause
                figures[op]["pause"].append(pauses(splog, start, log_size(splog))["at_sp"])
                figures[op]["wall"].append(wall)
    finally:
        stop_jvm(proc)
    return built, {op: {k: statistics.median(v) for k, v in f.items()} for op, f in figures.items()}


def main():
    p = arguments(__doc__)
    p.add_argument("--sizes", default="2500000,10000000", help="heap sizes in objects, comma-separated")
    p.add_argument("--runs", type=int, default=3, help="runs per operation (median shown)")
    a = parse(p)
    print("| JDK | objects | operation | at safepoint ms | wall ms |")
    print("|---|---|---|---|---|")
    ratios = []
    for jdk in a.jdk:
        version = jdk_version(jdk)
        for size in (int(s) for s in a.sizes.split(",")):
            built, result = measure(jdk, size, a, a.runs)
            for op, f in result.items():
                print(f"| {version} | {built:,} | {op} | {f['pause']:.0f} | {f['wall']:.0f} |", flush=True)
            jcmd, snapshot = max(result["jcmd -all"]["pause"], 1e-9), max(result["SNAPSHOT"]["pause"], 1e-9)
            ratios.append((version, built, [result[op]["pause"] / base for op in HISTOGRAMS
                                            for base in (jcmd, snapshot)]))
    print("\n| JDK | objects | " + " | ".join(f"{op} / {base}" for op in HISTOGRAMS
                                             for base in ("jcmd -all", "SNAPSHOT")) + " |")
    print("|---|---|" + "---|" * 2 * len(HISTOGRAMS))
    for version, built, figures in ratios:
        print(f"| {version} | {built:,} | " + " | ".join(f"{r:.2f}" for r in figures) + " |")


if __name__ == "__main__":
    try:
        main()
    finally:
        stop_jvms()
