#!/usr/bin/env python3
"""Snapshot pause: the snapshot agent beside a bare JVMTI heap walk (the floor).

Heaps of 1, 2.5 and 5 million objects, each measured by the floor agent and
by the snapshot agent in each untag mode (tag, walk and untag times,
safepoint pauses, resident memory), on JDK 17 and JDK 25.

For each JDK, heap size and run: one JVM measured by the floor agent (and,
in the first run, dumped with jcmd GC.heap_dump), then one JVM per untag mode
of the snapshot agent taking a snapshot that a client receives and discards.
Every JVM logs its safepoints (-Xlog:safepoint); the pauses that fall within
the request are summed. Resident memory is read from /proc/<pid>/status
before, polled during, and read again 5 s after each measurement; the Java
heap is committed and touched at start-up, so that only native memory moves. Each cell
shows the median of the runs. The walk from class objects' own fields is
timed by the agent's DEBUG log line for it.
"""
import os
import re
import statistics
import subprocess
import sys
import time

from benchlib import (arguments, begin_measure, connect, cpu_ms, free_port, jdk_version, log_size, parse,
                      pauses, rss_kib, snapshot, start_jvm, stop_jvm, stop_jvms)

# The agent's log line for the walk from class objects' own fields.
CLASS_FIELD_WALK = re.compile(r"Finished class field walk, .*elapsed\.msec=(\d+)")
CLASS_FIELD_METRIC = "$L$last.snapshot.heapwalk.classfields.duration.msec"


def vm_thread_stat(pid):
    """The stat file of the JVM's VM thread, which runs the heap walks."""
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/comm") as f:
                if f.read().strip() == "VM Thread":
                    return f"/proc/{pid}/task/{tid}/stat"
        except OSError:
            pass
    return f"/proc/{pid}/stat"


def floor_run(port, command=b"RUN"):
    sock = connect(port)
    sock.sendall(command + b"\n")
    line = b""
    while not line.endswith(b"\n"):
        chunk = sock.recv(4096)
        if not chunk:
            raise RuntimeError("floor agent closed the connection")
        line += chunk
    sock.close()
    return {k: float(v) if "." in v else v for k, v in (p.split("=") for p in line.decode().split())}


def heap_dump(jdk, pid, work):
    path = os.path.join(work, "dump.hprof")
    start = time.time()
    subprocess.run([f"{jdk}/bin/jcmd", str(pid), "GC.heap_dump", path], check=True, stdout=subprocess.DEVNULL)
    ms = (time.time() - start) * 1000
    os.unlink(path)
    return ms


def measure(jdk, size, agent, a, dump=False):
    """One JVM of `size` objects measured by `agent` ("floor", "floor-dispose" or an untag mode)."""
    tmp = os.path.join(a.work, "tmp")
    os.makedirs(tmp, exist_ok=True)
    name = f"{os.path.basename(jdk)}-{size}-{agent}"
    splog = os.path.join(a.work, name + ".safepoints")
    port = free_port()
    floor = agent in ("floor", "floor-dispose")
    if floor:
        agent_arg = f"-agentpath:{a.floor}=port={port}"
    elif agent == "before":
        agent_arg = f"-agentpath:{a.before}=port={port},address=127.0.0.1,cfgfile={a.debug_config},untag=dispose"
    else:
        agent_arg = f"-agentpath:{a.agent}=port={port},address=127.0.0.1,cfgfile={a.debug_config},untag={agent}"
    # The Java heap committed and touched from the start: resident memory
    # then moves with native memory only, not with the heap's growth.
    args = [f"{jdk}/bin/java", agent_arg, f"-Xms{a.xmx}", f"-Xmx{a.xmx}", "-XX:+AlwaysPreTouch",
            f"-Xlog:safepoint:file={splog}",
            "-cp", a.classes, "BenchHeap", str(size)]
    proc, built = start_jvm(args, a.work, name, {"TEMP": tmp, "TMP": tmp, "TMPDIR": tmp})
    try:
        before, poll, log_start = begin_measure(proc, splog)
        # CPU time moves little with the load of a shared machine, unlike wall time.
        vm_stat = vm_thread_stat(proc.pid)
        vm_cpu, all_cpu = cpu_ms(vm_stat), cpu_ms(f"/proc/{proc.pid}/stat")
        if floor:
            r = floor_run(port, b"DISPOSE" if agent == "floor-dispose" else b"RUN")
            peak = poll.stop()
            tag, walk, untag = r["tag_ms"], r["walk_ms"], r["untag_ms"]
            cfwalk = 0
            objs = int(r["objects"])
        else:
            r = snapshot(port, poll)
            peak = r["rss_peak"]
            m = r["metrics"]
            tag = m["$L$last.snapshot.classtag.duration.msec"]
            walk = m["$L$last.snapshot.heapwalk.duration.msec"]
            untag = m["$L$last.snapshot.untag.duration.msec"]
            # The walk from class objects' own fields; an agent before it has none.
            cfwalk = class_field_walk_ms(os.path.join(a.work, f"agent_{proc.pid}.log"))
            # An agent that reports it as a metric of its own leaves it out of the heap walk's time.
            if CLASS_FIELD_METRIC not in m:
                walk -= cfwalk
            objs = r["objs"]
        paused = pauses(splog, log_start, log_size(splog))
        vm_cpu, all_cpu = cpu_ms(vm_stat) - vm_cpu, cpu_ms(f"/proc/{proc.pid}/stat") - all_cpu
        time.sleep(5)
        after = rss_kib(proc.pid)
        dump_ms = heap_dump(jdk, proc.pid, a.work) if dump else None
        leftover = os.listdir(tmp)
    finally:
        stop_jvm(proc)
    if leftover:
        print(f"  WARNING: files left in the temp directory: {leftover}")
        for f in leftover:
            os.unlink(os.path.join(tmp, f))
    mib = lambda kib: kib / 1024
    row = {"objs": objs, "built": built, "tag": tag, "walk": walk, "cfwalk": cfwalk, "untag": untag, **paused,
           "vm_cpu": vm_cpu, "all_cpu": all_cpu,
           "rss_before": mib(before), "rss_peak": mib(peak), "rss_after": mib(after),
           "load": os.getloadavg()[0]}
    print(f"  {name}: " + ", ".join(f"{k}={v:.0f}" if isinstance(v, float) else f"{k}={v}" for k, v in row.items())
          + (f", heap_dump={dump_ms:.0f} ms" if dump else ""), flush=True)
    return row, dump_ms


def class_field_walk_ms(log):
    try:
        with open(log) as f:
            found = CLASS_FIELD_WALK.findall(f.read())
    except OSError:
        return 0
    return int(found[-1]) if found else 0


def median_rows(rows):
    return {k: statistics.median(r[k] for r in rows) for k in rows[0]}


def main():
    p = arguments(__doc__)
    p.add_argument("--sizes", default="1000000,2500000,5000000", help="heap sizes (objects)")
    p.add_argument("--modes", default="dispose,iterate,walk",
                   help="untag modes to measure; floor-dispose adds the floor agent with its tags disposed of "
                        "instead of walked off")
    p.add_argument("--runs", type=int, default=3, help="runs per cell (medians)")
    p.add_argument("--xmx", default="2g")
    p.add_argument("--before", help="another build of the snapshot agent, measured too as agent 'before'")
    a = parse(p)
    # DEBUG: the agent logs the class-field walk's time.
    a.debug_config = os.path.join(a.work, "agent-debug.properties")
    with open(a.debug_config, "w") as f:
        f.write(f"vesk.agent.log.level=DEBUG\nvesk.agent.log.file={a.work}/agent_%P.log\n")

    sizes = [int(s) for s in a.sizes.split(",")]
    agents = ["floor"] + (["before"] if a.before else []) + a.modes.split(",")
    results = {}  # (jdk, size, agent) -> rows
    dumps = {}
    try:
        for size in sizes:
            for run in range(a.runs):
                # JDKs, then the floor and the snapshot agents, alternate within each run.
                for jdk in a.jdk:
                    for agent in agents:
                        row, dump_ms = measure(jdk, size, agent, a, dump=agent == "floor" and run == 0)
                        results.setdefault((jdk, size, agent), []).append(row)
                        if dump_ms is not None:
                            dumps[(jdk, size)] = dump_ms
    finally:
        stop_jvms()

    print(f"\n{os.cpu_count()} CPUs; medians of {a.runs} run(s); times in ms, memory in MiB. "
          "cf walk = the further walk from class objects' own fields (its share of the walk in %); "
          "ratio = median over the runs of (tag + walk + cf walk + untag) / the same run's floor's; pauses = safepoint "
          "pauses during the request (sum, longest; time to safepoint and at safepoint summed; the walk's own "
          "pause and the others'), /walk = sum / floor's walk; RSS +5 s = 5 s after the request; load = "
          "1-minute load average at the end of the measurement; CPU = CPU time of the request, the VM thread's "
          "(which runs the walks) and the whole JVM's, less bent by a loaded machine than wall times.")
    for jdk in a.jdk:
        print(f"\n### {jdk_version(jdk)}\n")
        print("| objects | agent | tag | walk | cf walk | untag | t+w+cf+u | ratio | pauses sum | longest | to sp | at sp "
              "| walk pause | others | others' to sp | /walk | VM CPU | JVM CPU | RSS before | peak | +5 s | +5 s - before "
              "| load |")
        print("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|")
        for size in sizes:
            floors = results[(jdk, size, "floor")]
            floor = median_rows(floors)
            for agent in agents:
                rows = results[(jdk, size, agent)]
                m = median_rows(rows)
                total = m["tag"] + m["walk"] + m["cfwalk"] + m["untag"]
                ratio = statistics.median((r["tag"] + r["walk"] + r["cfwalk"] + r["untag"]) /
                                          max(f["tag"] + f["walk"] + f["untag"], 1) for r, f in zip(rows, floors))
                share = 100 * m["cfwalk"] / max(m["walk"], 1)
                print(f"| {size:,} | {agent} | {m['tag']:.0f} | {m['walk']:.0f} | {m['cfwalk']:.0f} ({share:.1f} %) "
                      f"| {m['untag']:.0f} | {total:.0f} "
                      f"| {ratio:.2f} | {m['pause_sum']:.0f} | {m['pause_max']:.0f} | {m['to_sp']:.0f} "
                      f"| {m['at_sp']:.0f} | {m['walk_pause']:.0f} | {m['other_pause']:.0f} | {m['other_to_sp']:.0f} "
                      f"| {m['pause_sum'] / max(floor['walk'], 1):.2f} | {m['vm_cpu']:.0f} | {m['all_cpu']:.0f} | {m['rss_before']:.0f} | {m['rss_peak']:.0f} "
                      f"| {m['rss_after']:.0f} | {m['rss_after'] - m['rss_before']:+.0f} | {m['load']:.1f} |")
        print()
        for size in sizes:
            if (jdk, size) in dumps:
                print(f"jcmd GC.heap_dump of {size:,} objects: {dumps[(jdk, size)]:.0f} ms")


if __name__ == "__main__":
    sys.exit(main())
