#!/usr/bin/env python3
"""Memory benchmark driver; run it through bench/analysis-memory.sh.

For each heap size, one JVM builds the bench heap with the snapshot agent
loaded; vesk saves its snapshot and jcmd GC.heap_dump an HPROF dump of the
same heap. Then `vesk top` runs on both inputs under /usr/bin/time -v, once
per vesk binary given (a baseline build beside this one), and the JSON each
prints is compared: the retained sizes must agree byte for byte.
"""
import argparse
import os
import subprocess
import sys

from analysis import Timed
from bench import JVMS, exit_on_signals, free_port, start_jvm, stop_jvm


def make_inputs(size, a):
    snap = os.path.join(a.inputs, f"heap-{size}.vsnap")
    dump = os.path.join(a.inputs, f"heap-{size}.hprof")
    if os.path.exists(snap) and os.path.exists(dump):
        return snap, dump
    port = free_port()
    opts = f"port={port},address=127.0.0.1,cfgfile={a.config}"
    proc, _ = start_jvm([f"{a.jdk}/bin/java", f"-agentpath:{a.agent}={opts}", f"-Xmx{a.xmx}", "-cp", a.classes,
                         "BenchHeap", str(size)], a.work, f"heap-{size}", {})
    try:
        Timed([a.vesks[-1], "--port", str(port), "snapshot", "-o", snap], 1800, snap + ".out")
        subprocess.run([f"{a.jdk}/bin/jcmd", str(proc.pid), "GC.heap_dump", dump], check=True,
                       stdout=subprocess.DEVNULL)
    finally:
        stop_jvm(proc)
    return snap, dump


def main():
    p = argparse.ArgumentParser()
    for name in ("jdk", "agent", "classes", "work", "config", "inputs"):
        p.add_argument("--" + name, required=True)
    p.add_argument("--vesk", action="append", dest="vesks", required=True, help="label=path, repeatable")
    p.add_argument("--sizes", default="1000000,5000000")
    p.add_argument("--xmx", default="6g")
    a = p.parse_args()
    labels = [v.split("=", 1)[0] for v in a.vesks]
    a.vesks = [v.split("=", 1)[1] for v in a.vesks]
    exit_on_signals()
    os.makedirs(a.inputs, exist_ok=True)
    print(f"{os.cpu_count()} CPUs; load average {os.getloadavg()[0]:.2f} at start")
    print("\n| objects | references | input | file MiB | vesk | top s | peak MiB | bytes/object | same JSON |")
    print("|---|---|---|---|---|---|---|---|---|")
    try:
        for size in (int(s) for s in a.sizes.split(",")):
            for path in make_inputs(size, a):
                outputs = []
                for label, vesk in zip(labels, a.vesks):
                    out = os.path.join(a.work, f"{os.path.basename(path)}.{label}.json")
                    t = Timed([vesk, "top", path, "-n", "40", "--json"], 3600, out)
                    outputs.append(t.stdout)
                    import json
                    doc = json.loads(t.stdout)
                    same = "yes" if t.stdout == outputs[0] else "NO"
                    print(f"| {doc['objects']:,} | {doc['references']:,} | {path.rsplit('.', 1)[1]}"
                          f" | {os.path.getsize(path) / 2**20:,.0f} | {label} | {t.wall:.2f} | {t.peak_mib:,.0f}"
                          f" | {t.peak_mib * 2**20 / doc['objects']:.0f} | {same} |", flush=True)
    finally:
        for proc in JVMS:
            stop_jvm(proc)
    print(f"\nload average {os.getloadavg()[0]:.2f} at end")


if __name__ == "__main__":
    sys.exit(main())
