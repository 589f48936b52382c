#!/usr/bin/env python3
"""Analysis at scale: vesk top on a snapshot and on an HPROF dump of the same
bench heap, at several sizes, beside sha256sum of the same file in the same
run: wall time, peak resident memory, bytes per object, the first command and
the second on an indexed file, and the retained sizes of the fixture's known
structures across inputs and sizes. With --baseline, that build runs beside
this one and their JSON must match. VisualVM's heap library runs on the dumps
while it finishes in time. The inputs are kept in --inputs for later runs:
about 200 MiB per million objects. Run on a quiet machine.

For each heap size, one JVM builds the bench heap (with the snapshot agent
when a stream is wanted); vesk saves its snapshot and jcmd GC.heap_dump an
HPROF dump of the same heap. Then, per input: sha256sum of the file, and
`vesk top -n 40 --json` under /usr/bin/time -v, once per vesk binary given
(first without an index, then, when vesk writes one, a first and a second
command on the indexed file). Every JSON of one input must agree byte for
byte. VisualVM's heap library reads each dump until it once fails to finish.
"""
import json
import os
import subprocess
import sys
import time

from benchlib import (JVMS, KNOWN, TOP, Timed, arguments, free_port, jcmd_dump, need_time, parse, start_jvm,
                      stop_jvm)


def make_inputs(size, with_stream, a):
    snap = os.path.join(a.inputs, f"heap-{size}.vsnap")
    dump = os.path.join(a.inputs, f"heap-{size}.hprof")
    wanted = [snap, dump] if with_stream else [dump]
    if all(os.path.exists(p) for p in wanted):
        return wanted
    port = free_port()
    agent = [f"-agentpath:{a.agent}=port={port},address=127.0.0.1,cfgfile={a.config}"] if with_stream else []
    xmx = f"-Xmx{max(6, size * 12 // 100_000_000)}g"
    proc, _ = start_jvm([f"{a.jdk}/bin/java"] + agent + [xmx, "-cp", a.classes, "BenchHeap", str(size)],
                        a.work, f"heap-{size}", {})
    try:
        if with_stream:
            Timed([a.vesks[-1], "--port", str(port), "snapshot", "-o", snap], 3600, snap + ".out")
        jcmd_dump(a.jdk, proc.pid, dump)
    finally:
        stop_jvm(proc)
    return wanted


def sha256_seconds(path):
    start = time.monotonic()
    subprocess.run(["sha256sum", path], check=True, stdout=subprocess.DEVNULL)
    return time.monotonic() - start


def writes_index(vesk):
    return "--no-index" in subprocess.run([vesk, "--help"], capture_output=True, text=True).stdout


def known(doc):
    """The retained size of the i-th largest object of each known class."""
    by_class = {}
    for row in doc["top"]:
        by_class.setdefault(row["class"], []).append(row["retained"])
    return {(cls, i + 1): r for cls, count in KNOWN.items() for i, r in enumerate(by_class.get(cls, [])[:count])}


def measure(path, label, vesk, a, rows):
    """vesk top without an index, then first and second command on the indexed file."""
    out = os.path.join(a.work, f"{os.path.basename(path)}.{label}")
    base = [vesk, "top", path, "-n", str(TOP), "--json"]
    indexed = writes_index(vesk)
    plain = Timed(base + (["--no-index"] if indexed else []), 7200, out + ".plain.json")
    first = second = None
    if indexed:
        before = set(os.listdir(a.inputs))
        try:
            first = Timed(base, 7200, out + ".first.json")
            second = Timed(base, 7200, out + ".second.json")
        finally:
            for name in set(os.listdir(a.inputs)) - before:
                os.unlink(os.path.join(a.inputs, name))
    rows.append((label, plain, first, second))


def heaplib(dump, a):
    out = os.path.join(a.work, os.path.basename(dump) + ".lib")
    t = Timed([f"{a.jdk}/bin/java", "-Xmx16g", "-cp", f"{a.heaplib}:{a.classes}", "HeapLibTop", dump, str(TOP)],
              a.limit, out)
    subprocess.run(["rm", "-rf", dump + ".hwcache"])  # the library's index files
    return t


def main():
    p = arguments(__doc__, several_jdks=False)
    p.add_argument("--baseline", help="another build's vesk, measured beside this one as 'before'")
    p.add_argument("--inputs", default="/tmp/vesk-bench-inputs", help="where the inputs are kept for later runs")
    p.add_argument("--sizes", default="1000000,5000000,20000000,50000000", help="heap sizes, both inputs")
    p.add_argument("--hprof-only", default="100000000", help="sizes measured from a dump only")
    p.add_argument("--limit", type=int, default=180, help="seconds the heap library may take")
    a = parse(p)
    need_time()
    labels = (["before"] if a.baseline else []) + ["after"]
    a.vesks = ([a.baseline] if a.baseline else []) + [a.vesk]
    os.makedirs(a.inputs, exist_ok=True)
    sizes = [(int(s), True) for s in a.sizes.split(",") if s] + [(int(s), False) for s in a.hprof_only.split(",") if s]
    print(f"{os.cpu_count()} CPUs; load average {os.getloadavg()[0]:.2f} at start")
    print("\n| objects | references | input | file MiB | sha256sum s | vesk | top s | ÷ sha256sum | peak MiB"
          " | bytes/object | indexed: first s | second s | second ÷ first | same JSON |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    structures = {}  # (size, input) -> known()
    lib_rows = []
    lib_on = bool(a.heaplib)
    try:
        for size, with_stream in sizes:
            for path in make_inputs(size, with_stream, a):
                kind = path.rsplit(".", 1)[1]
                sha = sha256_seconds(path)
                rows = []
                for label, vesk in zip(labels, a.vesks):
                    measure(path, label, vesk, a, rows)
                outputs = {t.stdout for _, *runs in rows for t in runs if t}
                doc = json.loads(rows[-1][1].stdout)
                structures[(size, kind)] = known(doc)
                mib = os.path.getsize(path) / 2**20
                for label, plain, first, second in rows:
                    index = (f"{first.wall:.2f} | {second.wall:.2f} | {second.wall / first.wall:.2f}" if first
                             else "- | - | -")
                    print(f"| {doc['objects']:,} | {doc['references']:,} | {kind} | {mib:,.0f} | {sha:.2f} | {label}"
                          f" | {plain.wall:.2f} | {plain.wall / sha:.1f} | {plain.peak_mib:,.0f}"
                          f" | {plain.peak_mib * 2**20 / doc['objects']:.0f} | {index}"
                          f" | {'yes' if len(outputs) == 1 else 'NO'} |", flush=True)
                if kind == "hprof" and lib_on:
                    lib = heaplib(path, a)
                    lib_rows.append((size, lib))
                    lib_on = lib.finished
    finally:
        for proc in JVMS:
            stop_jvm(proc)

    print("\nRetained bytes of the fixture's known structures per million objects of the heap asked for"
          " (the i-th largest of each class); they should agree across inputs and sizes:")
    keys = sorted({k for s in structures.values() for k in s})
    cols = sorted(structures)
    print("| structure | " + " | ".join(f"{s // 1_000_000} M {k}" for s, k in cols) + " |")
    print("|---|" + "---|" * len(cols))
    for cls, rank in keys:
        cells = [f"{structures[c][(cls, rank)] * 1e6 / c[0]:,.0f}" if (cls, rank) in structures[c] else "-"
                 for c in cols]
        print(f"| {cls} #{rank} | " + " | ".join(cells) + " |")
    if a.heaplib:
        print(f"\nVisualVM's heap library on the same dumps (-Xmx16g, limited to {a.limit} s):")
        for size, lib in lib_rows:
            state = f"{lib.wall:.1f} s" if lib.finished else f"not finished in {a.limit} s"
            print(f"- {size:,} objects: {state}, peak {lib.peak_mib:,.0f} MiB")
    print(f"\nload average {os.getloadavg()[0]:.2f} at end")


if __name__ == "__main__":
    sys.exit(main())
