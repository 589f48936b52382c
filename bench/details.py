#!/usr/bin/env python3
"""An input's details (field values, array elements, stacks, loaders): what
they add to memory and what a random object's fields take to read, on the
JDK's own HPROF dump of the bench heap (default 1 M objects).

One JVM builds the heap and jcmd GC.heap_dump dumps it. Then the driver
vesk_details_bench reads the dump as a command does: a first run writes
the index (graph only), then a run with the graph only and two with the
details (the first reads them from the file and adds them to the index, the
second reads them from the index), each asking the fields of 2,000 random
objects: peak resident memory, bytes per object the details add, opening
time, Fields' median and 95th percentile.
"""
import json
import os
import subprocess

from benchlib import arguments, parse, start_jvm, stop_jvm


def main():
    p = arguments(__doc__, several_jdks=False)
    p.add_argument("--size", type=int, default=1_000_000, help="heap size (objects)")
    a = parse(p)
    driver = os.path.join(os.path.dirname(a.vesk), "..", "bench", "vesk_details_bench")
    dump = os.path.join(a.work, f"heap-{a.size}.hprof")
    proc, _ = start_jvm([f"{a.jdk}/bin/java", "-Xmx3g", "-cp", a.classes, "BenchHeap", str(a.size)], a.work,
                        f"heap-{a.size}", {})
    try:
        subprocess.run([f"{a.jdk}/bin/jcmd", str(proc.pid), "GC.heap_dump", dump], check=True,
                       stdout=subprocess.DEVNULL)
    finally:
        stop_jvm(proc)

    def run(*args):
        out = subprocess.run([driver, dump, "--calls", "2000", *args], check=True, capture_output=True, text=True)
        return json.loads(out.stdout)

    run("--graph-only")  # writes the index
    graph = run("--graph-only")
    first = run()
    again = run()
    per_object = lambda r: (r["maxrss_kib"] - graph["maxrss_kib"]) * 1024 / r["objects"]
    print(f"objects: {graph['objects']:,}  file: {os.path.getsize(dump) / 2**20:.0f} MiB")
    print("| run | peak RSS MiB | details B/object | open ms | Fields median us | Fields p95 us |")
    print("|---|---|---|---|---|---|")
    print(f"| graph and tree (index) | {graph['maxrss_kib'] / 1024:.0f} | | | | |")
    for name, r in (("details from the file", first), ("details from the index", again)):
        print(f"| {name} | {r['maxrss_kib'] / 1024:.0f} | {per_object(r):.2f} | {r['open_ms']:.0f} | "
              f"{r['fields_median_us']:.0f} | {r['fields_p95_us']:.0f} |")


if __name__ == "__main__":
    main()
