#!/usr/bin/env python3
"""TLS beside plain TCP: a compressed snapshot and dump of the same heap.

A bench heap of 5 million objects (--sizes) in two JVMs per JDK, running
side by side, both with an authentication key, one with tls=on: vesk
snapshot -o and vesk dump -o (zstd on the wire, the default) against each,
--runs times, the two JVMs taking turns request by request (which one goes
first alternates), so that a busy machine slows both alike. Per request:
wall time to the saved file and the JVM's CPU time (user + system, the
agent's threads with the JVM's own); the median of the runs. Figures, not
assertions; loopback only, so the figures show what TLS costs the
processors, not the network.
"""
import os
import statistics
import subprocess
import sys
import time

from benchlib import cpu_ms, heap_arguments, parse, print_row, print_tables, start_bench_heap, stop_jvm, stop_jvms

KINDS = ("plain", "tls")
COMMANDS = ("snapshot", "dump")


def request(a, jvm, command):
    """One request against one of measure()'s JVMs: wall time and the JVM's CPU time, in seconds; the file's MiB."""
    name, port, proc, key = jvm
    saved = os.path.join(a.work, f"{name}-{command}.zst")
    cpu = cpu_ms(f"/proc/{proc.pid}/stat")
    start = time.time()
    with open(saved + ".out", "w") as out:
        subprocess.run([a.vesk, "--port", str(port), "--auth", key, command, "-o", saved], stdout=out,
                       stderr=subprocess.STDOUT, check=True)
    wall = time.time() - start
    cpu = (cpu_ms(f"/proc/{proc.pid}/stat") - cpu) / 1000
    mib = os.path.getsize(saved) / 1048576
    os.unlink(saved)
    return wall, cpu, mib


def measure(jdk, size, a):
    key = os.path.join(a.work, "bench.key")
    if not os.path.exists(key):
        subprocess.run([a.vesk, "keygen", key], check=True, stdout=subprocess.DEVNULL)
    jvms = {}
    for kind in KINDS:
        name, _, port, proc, built = start_bench_heap(jdk, size, kind, a, agent_options=f",auth={key}" + (
            ",tls=on" if kind == "tls" else ""))
        jvms[kind] = (name, port, proc, key)
    rows = {kind: {"objects": built} for kind in KINDS}
    figures = {(kind, command): [] for kind in KINDS for command in COMMANDS}
    try:
        time.sleep(1)
        for run in range(a.runs):
            for command in COMMANDS:
                for kind in (KINDS if run % 2 == 0 else KINDS[::-1]):
                    figures[(kind, command)].append(request(a, jvms[kind], command))
    finally:
        for jvm in jvms.values():
            stop_jvm(jvm[2])
    for (kind, command), runs in figures.items():
        row = rows[kind]
        row[f"{command}_s"] = statistics.median(r[0] for r in runs)
        row[f"{command}_cpu"] = statistics.median(r[1] for r in runs)
        row[f"{command}_mib"] = runs[-1][2]
    for kind in KINDS:
        print_row(jvms[kind][0], rows[kind])
    return rows


def main():
    p = heap_arguments(__doc__, "5000000")
    p.add_argument("--runs", type=int, default=3, help="requests of each kind per JVM (the median is shown)")
    a = parse(p)
    sizes = [int(s) for s in a.sizes.split(",")]
    results = {}
    try:
        for size in sizes:
            for jdk in a.jdk:
                results[(jdk, size)] = measure(jdk, size, a)
    finally:
        stop_jvms()

    def cells(jdk, size):
        plain, tls = results[(jdk, size)]["plain"], results[(jdk, size)]["tls"]
        cells = [f"{size:,}"]
        for command in COMMANDS:
            for figure in ("s", "cpu"):
                p_, t_ = plain[f"{command}_{figure}"], tls[f"{command}_{figure}"]
                cells.append(f"{p_:.2f} / {t_:.2f} ({100 * (t_ - p_) / max(p_, 0.001):+.1f} %)")
            cells.append(f"{tls[f'{command}_mib']:.0f}")
        return cells

    print_tables(a, sizes, f"median of {a.runs} runs, the two JVMs side by side, taking turns; plain TCP / TLS (TLS's share added); wall = vesk's request "
                 "to the saved file (s); CPU = the JVM's user + system time during it (s); MiB = the saved zstd "
                 "file.",
                 ["objects", "snapshot wall", "snapshot JVM CPU", "snapshot MiB", "dump wall", "dump JVM CPU",
                  "dump MiB"], cells)


if __name__ == "__main__":
    sys.exit(main())
