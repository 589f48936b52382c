#!/usr/bin/env python3
"""Snapshot benchmark driver; run it through bench/run.sh.

For each JDK, heap size and run: one JVM measured by the floor agent (and,
in the first run, dumped with jcmd GC.heap_dump), then one JVM per untag mode
of the snapshot agent taking a snapshot that a client receives and discards.
Every JVM logs its safepoints (-Xlog:safepoint); the pauses that fall within
the request are summed. Resident memory is read from /proc/<pid>/status
before, polled during, and read again 5 s after each measurement; the Java
heap is committed and touched at start-up, so that only native memory moves. Each cell
shows the median of the runs.
"""
import argparse
import ctypes
import os
import re
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time

JVMS = []  # every JVM started, killed on the way out


def die_with_parent():
    # SIGKILL the JVM if this driver dies without cleaning up.
    ctypes.CDLL("libc.so.6", use_errno=True).prctl(1, signal.SIGKILL)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def rss_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


class RssPeak(threading.Thread):
    """Polls a process's resident size until stopped; keeps the peak."""

    def __init__(self, pid):
        super().__init__(daemon=True)
        self.pid, self.peak, self.running = pid, rss_kib(pid), True

    def run(self):
        while self.running:
            self.peak = max(self.peak, rss_kib(self.pid))
            time.sleep(0.01)

    def stop(self):
        self.running = False
        self.join()
        self.peak = max(self.peak, rss_kib(self.pid))
        return self.peak


TICK_MS = 1000 / os.sysconf("SC_CLK_TCK")


def cpu_ms(stat_path):
    """User plus system CPU time of a process or thread, in ms."""
    try:
        with open(stat_path) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) * TICK_MS
    except OSError:
        return 0.0


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


def begin_measure(proc, splog):
    """After a settling second: resident size before, a running peak poll, the safepoint log's offset."""
    time.sleep(1)
    before = rss_kib(proc.pid)
    poll = RssPeak(proc.pid)
    log_start = log_size(splog)
    poll.start()
    return before, poll, log_start


def start_jvm(args, work, name, env_extra):
    out = open(os.path.join(work, name + ".out"), "w")
    env = dict(os.environ, **env_extra)
    proc = subprocess.Popen(args, stdout=out, stderr=subprocess.STDOUT, env=env, preexec_fn=die_with_parent)
    JVMS.append(proc)
    with open(os.path.join(work, "jvm.pids"), "a") as f:
        f.write(f"{proc.pid}\n")
    path = out.name
    deadline = time.time() + 600
    while time.time() < deadline:
        text = open(path).read()
        m = re.search(r"BENCH READY (\d+)", text)
        if m:
            return proc, int(m.group(1))
        if proc.poll() is not None:
            raise RuntimeError(f"{name}: JVM ended early:\n{text}")
        time.sleep(0.2)
    raise RuntimeError(f"{name}: heap not built in time")


def exit_on_signals():
    """Ctrl-C, TERM and HUP end the driver through its finally blocks, which stop the JVMs."""
    def on_signal(signum, _frame):
        raise SystemExit(128 + signum)

    for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(s, on_signal)


def print_row(name, row, digits=2):
    """One measurement as it is taken: its name and every figure."""
    print(f"  {name}: " + ", ".join(f"{k}={v:.{digits}f}" if isinstance(v, float) else f"{k}={v}"
                                    for k, v in row.items()), flush=True)


def jdk_version(jdk):
    lines = subprocess.run([f"{jdk}/bin/java", "-version"], capture_output=True, text=True).stderr.splitlines()
    return lines[0] if lines else jdk


def stop_jvm(proc):
    if proc.poll() is None:
        proc.kill()
    proc.wait()


def connect(port, timeout=60):
    deadline = time.time() + timeout
    while True:
        try:
            return socket.create_connection(("127.0.0.1", port))
        except OSError:
            if time.time() > deadline:
                raise
            time.sleep(0.1)


def snapshot(port, poll, request=b'<vesk-cmd tag="1"><cmd name="SNAPSHOT"/></vesk-cmd>'):
    """One SNAPSHOT (or other streamed) request; the bytes are counted and dropped."""
    sock = connect(port)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    buf = bytearray(4 << 20)
    view = memoryview(buf)
    head, tail, total = b"", b"", 0
    sent = time.time()
    sock.sendall(request)
    while True:
        n = sock.recv_into(buf)
        if n == 0:
            raise RuntimeError("agent closed the connection")
        total += n
        if len(head) < (1 << 20):
            head += bytes(view[: min(n, (1 << 20) - len(head))])
        tail = (tail + bytes(view[max(0, n - 65536) : n]))[-65536:]
        if tail.endswith(b"</vesk-resp>\n") and b'<last value="1"/>' in tail:
            break
    done = time.time()
    peak = poll.stop()
    # A second request returns only after the agent has cleared the first.
    sock.sendall(b'<vesk-cmd tag="2"><cmd name="RUNTIME"/></vesk-cmd>')
    while not sock.recv(65536).endswith(b"</vesk-resp>\n"):
        pass
    sock.close()
    final = tail[tail.rfind(b'<last value="1"/>') :]
    if b'<status value="0"/>' in tail[-4096:]:
        raise RuntimeError("snapshot failed: " + tail[-600:].decode(errors="replace"))
    props = lambda text: {k: int(v) for k, v in re.findall(rb'<prop name="([^"]+)" value="(-?\d+)"/>', text)}
    metrics = {k.decode(): v for k, v in props(final).items()}
    counts = props(head[head.find(b'<cmd name="SNAPSHOT">') :])
    # A HEAPDUMP answer has neither the counts nor the metrics.
    return {
        "metrics": metrics,
        "objs": counts.get(b"total-objs", 0),
        "refs": counts.get(b"total-refs", 0),
        "bytes": total,
        "request_ms": (done - sent) * 1000,
        "stream_ms": done * 1000 - metrics.get("$T$last.snapshot.overall.end.time", done * 1000),
        "rss_peak": peak,
    }


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


SAFEPOINT = re.compile(rb'Safepoint "([^"]*)".*?Reaching safepoint: (\d+) ns.*?At safepoint: (\d+) ns.*?Total: (\d+) ns')
# The VM operation of JVMTI's FollowReferences: the snapshot's (and the floor's) walk.
WALK_OPERATION = b"HeapWalkOperation"


def log_size(path):
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


def pauses(path, start, end):
    """The safepoint pauses logged between two offsets, in ms: sum and longest of
    the totals, the sums of time to safepoint and time at safepoint, and the
    totals of the heap walks' pauses apart from everybody else's."""
    with open(path, "rb") as f:
        f.seek(start)
        text = f.read(end - start)
    found = [(m.group(1), int(m.group(2)) / 1e6, int(m.group(3)) / 1e6, int(m.group(4)) / 1e6)
             for m in SAFEPOINT.finditer(text)]
    totals = [t for _, _, _, t in found]
    return {"pause_sum": sum(totals), "pause_max": max(totals, default=0.0),
            "to_sp": sum(r for _, r, _, _ in found), "at_sp": sum(a for _, _, a, _ in found),
            "walk_pause": sum(t for n, _, _, t in found if n == WALK_OPERATION),
            "other_pause": sum(t for n, _, _, t in found if n != WALK_OPERATION),
            "other_to_sp": sum(r for n, r, _, _ in found if n != WALK_OPERATION)}


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
        agent_arg = f"-agentpath:{a.before}=port={port},address=127.0.0.1,cfgfile={a.config},untag=dispose"
    else:
        agent_arg = f"-agentpath:{a.agent}=port={port},address=127.0.0.1,cfgfile={a.config},untag={agent}"
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
            cfwalk = m.get("$L$last.snapshot.heapwalk.classfields.duration.msec", 0)
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


def measure_matrix(a, kinds, measure):
    """measure(jdk, size, kind, a) for every heap size of a.sizes, JDK of a.jdk and kind, in that order; the
    results by (jdk, size, kind). Every JVM started is stopped, also on failure."""
    exit_on_signals()
    results = {}
    try:
        for size in a.sizes:
            for jdk in a.jdk:
                for kind in kinds:
                    results[(jdk, size, kind)] = measure(jdk, size, kind, a)
    finally:
        for proc in JVMS:
            stop_jvm(proc)
    return results


def median_rows(rows):
    return {k: statistics.median(r[k] for r in rows) for k in rows[0]}


def main():
    p = argparse.ArgumentParser()
    for name in ("agent", "floor", "classes", "work", "config"):
        p.add_argument("--" + name, required=True)
    p.add_argument("--jdk", action="append", required=True, help="JDK home; repeat for more")
    p.add_argument("--sizes", default="1000000,2500000,5000000")
    p.add_argument("--modes", default="dispose,iterate,walk")
    p.add_argument("--runs", type=int, default=3)
    p.add_argument("--xmx", default="2g")
    p.add_argument("--before", help="another build of the snapshot agent, measured too as agent 'before'")
    a = p.parse_args()

    exit_on_signals()
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
        for proc in JVMS:
            stop_jvm(proc)

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
