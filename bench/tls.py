#!/usr/bin/env python3
"""TLS beside plain TCP: a compressed snapshot and dump of the same heap.

A bench heap of 5 million objects (--sizes) in two JVMs per JDK, both with
an authentication key, one with tls=on: vesk snapshot -o and vesk dump -o
(zstd on the wire, the default) against each, --runs times in turn. Per
request: wall time to the saved file and the JVM's CPU time (user +
system, the agent's threads with the JVM's own); the median of the runs.
Figures, not assertions; loopback only, so the figures show what TLS costs
the processors, not the network.
"""
import os
import statistics
import subprocess
import sys
import time

from benchlib import cpu_ms, heap_arguments, measure_matrix, parse, print_row, print_tables, start_bench_heap, \
    stop_jvm

KINDS = ("plain", "tls")
COMMANDS = ("snapshot", "dump")


def measure(jdk, size, kind, a):
    key = os.path.join(a.work, "bench.key")
    if not os.path.exists(key):
        subprocess.run([a.vesk, "keygen", key], check=True, stdout=subprocess.DEVNULL)
    options = f",auth={key}" + (",tls=on" if kind == "tls" else "")
    name, _, port, proc, built = start_bench_heap(jdk, size, kind, a, agent_options=options)
    row = {"objects": built}
    vesk = [a.vesk, "--port", str(port), "--auth", key]
    try:
        time.sleep(1)
        for command in COMMANDS:
            walls, cpus = [], []
            for run in range(a.runs):
                saved = os.path.join(a.work, f"{name}-{command}.zst")
                cpu = cpu_ms(f"/proc/{proc.pid}/stat")
                start = time.time()
                with open(saved + ".out", "w") as out:
                    subprocess.run(vesk + [command, "-o", saved], stdout=out, stderr=subprocess.STDOUT, check=True)
                walls.append(time.time() - start)
                cpus.append((cpu_ms(f"/proc/{proc.pid}/stat") - cpu) / 1000)
                row[f"{command}_mib"] = os.path.getsize(saved) / 1048576
                os.unlink(saved)
            row[f"{command}_s"], row[f"{command}_cpu"] = statistics.median(walls), statistics.median(cpus)
    finally:
        stop_jvm(proc)
    print_row(name, row)
    return row


def main():
    p = heap_arguments(__doc__, "5000000")
    p.add_argument("--runs", type=int, default=3, help="requests of each kind per JVM (the median is shown)")
    a = parse(p)
    sizes = [int(s) for s in a.sizes.split(",")]
    results = measure_matrix(a, sizes, KINDS, measure)

    def cells(jdk, size):
        plain, tls = results[(jdk, size, "plain")], results[(jdk, size, "tls")]
        cells = [f"{size:,}"]
        for command in COMMANDS:
            for figure in ("s", "cpu"):
                p_, t_ = plain[f"{command}_{figure}"], tls[f"{command}_{figure}"]
                cells.append(f"{p_:.2f} / {t_:.2f} ({100 * (t_ - p_) / max(p_, 0.001):+.1f} %)")
            cells.append(f"{tls[f'{command}_mib']:.0f}")
        return cells

    print_tables(a, sizes, f"median of {a.runs} runs; plain TCP / TLS (TLS's share added); wall = vesk's request "
                 "to the saved file (s); CPU = the JVM's user + system time during it (s); MiB = the saved zstd "
                 "file.",
                 ["objects", "snapshot wall", "snapshot JVM CPU", "snapshot MiB", "dump wall", "dump JVM CPU",
                  "dump MiB"], cells)


if __name__ == "__main__":
    sys.exit(main())
