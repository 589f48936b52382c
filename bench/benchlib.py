"""What the benchmark drivers share; bench/bench.sh runs them.

The JVMs they start, their resident memory and CPU time from /proc, their
safepoint pauses from -Xlog:safepoint, commands timed by /usr/bin/time -v,
and the options bench.sh gives every driver.
"""
import argparse
import ctypes
import os
import re
import signal
import socket
import subprocess
import threading
import time

JDK17 = "/usr/lib/jvm/java-17-openjdk-amd64"
JDK25 = "/usr/lib/jvm/temurin-25-jdk-amd64"


def arguments(doc, several_jdks=True):
    """A driver's argument parser: --jdk, and what bench.sh passes every driver (hidden from --help)."""
    p = argparse.ArgumentParser(description=doc, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--jdk", action="append",
                   help="JDK home; repeat for more (default JDK 17 and JDK 25)" if several_jdks
                   else "JDK home (default JDK 17)")
    for name in ("agent", "floor", "vesk", "classes", "work", "config", "app", "heaplib"):
        p.add_argument("--" + name, default="", help=argparse.SUPPRESS)
    p.set_defaults(several_jdks=several_jdks)
    return p


def heap_arguments(doc, sizes):
    """arguments() with --sizes and --xmx, for a driver that builds each heap size in JVMs of its own."""
    p = arguments(doc)
    p.add_argument("--sizes", default=sizes, help="heap sizes (objects)")
    p.add_argument("--xmx", default="3g")
    return p


def parse(p):
    """The options; --jdk as a list of homes, or one home for a driver of one JDK."""
    a = p.parse_args()
    a.jdk = a.jdk or ([JDK17, JDK25] if a.several_jdks else [JDK17])
    for jdk in a.jdk:
        if not os.access(f"{jdk}/bin/java", os.X_OK):
            p.error(f"no JDK at {jdk}")
    if not a.several_jdks:
        if len(a.jdk) > 1:
            p.error("one --jdk only")
        a.jdk = a.jdk[0]
    exit_on_signals()
    return a


def need_time():
    if not os.access("/usr/bin/time", os.X_OK):
        raise SystemExit("needs /usr/bin/time (apt-get install time)")


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


def begin_measure(proc, splog):
    """After a settling second: resident size before, a running peak poll, the safepoint log's offset."""
    time.sleep(1)
    before = rss_kib(proc.pid)
    poll = RssPeak(proc.pid)
    log_start = log_size(splog)
    poll.start()
    return before, poll, log_start


def track(proc, work):
    """A JVM to stop on the way out: by the driver's finally blocks, else by bench.sh from the work directory."""
    JVMS.append(proc)
    with open(os.path.join(work, "jvm.pids"), "a") as f:
        f.write(f"{proc.pid}\n")


def start_jvm(args, work, name, env_extra):
    out = open(os.path.join(work, name + ".out"), "w")
    env = dict(os.environ, **env_extra)
    proc = subprocess.Popen(args, stdout=out, stderr=subprocess.STDOUT, env=env, preexec_fn=die_with_parent)
    track(proc, work)
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


def measure_matrix(a, sizes, kinds, measure):
    """measure(jdk, size, kind, a) for every heap size, JDK of a.jdk and kind, in that order; the results by
    (jdk, size, kind). Every JVM started is stopped, also on failure."""
    results = {}
    try:
        for size in sizes:
            for jdk in a.jdk:
                for kind in kinds:
                    results[(jdk, size, kind)] = measure(jdk, size, kind, a)
    finally:
        stop_jvms()
    return results


def print_tables(a, sizes, note, columns, cells):
    """The closing tables: the machine and the note, then per JDK its version and one Markdown row per heap
    size, cells(jdk, size) giving that row's cells as text."""
    print(f"\n{os.cpu_count()} CPUs; {note}")
    for jdk in a.jdk:
        print(f"\n### {jdk_version(jdk)}\n")
        print("| " + " | ".join(columns) + " |")
        print("|" + "---|" * len(columns))
        for size in sizes:
            print("| " + " | ".join(cells(jdk, size)) + " |")


def start_bench_heap(jdk, size, kind, a, jvm_options=(), agent_options=""):
    """A JVM with the agent on a free port (agent_options: more items, ",auth=..."), building the bench heap of
    size objects, its safepoints logged, its temporary files in the work directory: its name (JDK, size, kind),
    the safepoint log, the port, the process and the objects built."""
    name = f"{os.path.basename(jdk)}-{size}-{kind}"
    splog = os.path.join(a.work, name + ".safepoints")
    tmp = os.path.join(a.work, "tmp")
    os.makedirs(tmp, exist_ok=True)
    port = free_port()
    agent_arg = f"-agentpath:{a.agent}=port={port},address=127.0.0.1,cfgfile={a.config}{agent_options}"
    args = [f"{jdk}/bin/java", agent_arg, f"-Xmx{a.xmx}", *jvm_options, f"-Xlog:safepoint:file={splog}",
            "-cp", a.classes, "BenchHeap", str(size)]
    proc, built = start_jvm(args, a.work, name, {"TEMP": tmp, "TMP": tmp, "TMPDIR": tmp})
    return name, splog, port, proc, built


def stop_jvms():
    """Stops every JVM a driver started; for its finally blocks."""
    for proc in JVMS:
        stop_jvm(proc)


def exit_on_signals():
    """Ctrl-C, TERM and HUP end the driver through its finally blocks, which stop the JVMs."""
    def on_signal(signum, _frame):
        raise SystemExit(128 + signum)

    for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(s, on_signal)


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
    """One SNAPSHOT (or other streamed) request; the bytes are counted and dropped. A HEAPDUMP answer has
    neither the counts (0) nor the metrics."""
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
    return {
        "metrics": metrics,
        "objs": counts.get(b"total-objs", 0),
        "refs": counts.get(b"total-refs", 0),
        "bytes": total,
        "request_ms": (done - sent) * 1000,
        "stream_ms": done * 1000 - metrics.get("$T$last.snapshot.overall.end.time", done * 1000),
        "rss_peak": peak,
    }


def print_row(name, row, digits=2):
    """One measurement as it is taken: its name and every figure."""
    print(f"  {name}: " + ", ".join(f"{k}={v:.{digits}f}" if isinstance(v, float) else f"{k}={v}"
                                    for k, v in row.items()), flush=True)


def jdk_version(jdk):
    lines = subprocess.run([f"{jdk}/bin/java", "-version"], capture_output=True, text=True).stderr.splitlines()
    return lines[0] if lines else jdk


def jcmd_dump(jdk, pid, path):
    """The JVM's own HPROF dump of a running JVM, by jcmd GC.heap_dump."""
    subprocess.run([f"{jdk}/bin/jcmd", str(pid), "GC.heap_dump", path], check=True, stdout=subprocess.DEVNULL)


def stop_jvm(proc):
    if proc.poll() is None:
        proc.kill()
    proc.wait()


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


TOP = 40  # rows asked of both; the fixture's large structures are among them
# The fixture's large structures, as the largest objects of their classes: the
# three static lists and their arrays, the tree's root and its two subtrees,
# the longest chain. Not the class object holding the statics: the stream names
# the lists as JNI-local roots of the main thread too, so vesk roots them apart
# while the heap library counts them under the class object.
KNOWN = {"java.util.ArrayList": 3, "java.lang.Object[]": 3, "BenchHeap$Tree": 3, "BenchHeap$Chain": 1}


class Timed:
    """One command under /usr/bin/time -v, killed after limit seconds."""

    def __init__(self, args, limit, out_path):
        report_path = out_path + ".time"
        with open(out_path, "w") as out, open(report_path, "w") as report:
            proc = subprocess.Popen(["/usr/bin/time", "-v"] + args, stdout=out, stderr=report)
            try:
                proc.wait(timeout=limit)
                self.finished = True
            except subprocess.TimeoutExpired:
                # Kill the command, not time, which then still reports its peak.
                with open(f"/proc/{proc.pid}/task/{proc.pid}/children") as f:
                    for child in f.read().split():
                        os.kill(int(child), signal.SIGKILL)
                proc.wait()
                self.finished = False
        self.stdout = open(out_path).read()
        self.report = open(report_path).read()
        clock = re.search(r"Elapsed \(wall clock\) time.*: (?:(\d+):)?(\d+):([\d.]+)", self.report)
        self.wall = int(clock.group(1) or 0) * 3600 + int(clock.group(2)) * 60 + float(clock.group(3))
        self.peak_mib = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", self.report).group(1)) / 1024
        # User plus system time: less swayed than the wall clock by other work on a busy machine.
        self.cpu = sum(float(re.search(rf"{kind} time \(seconds\): ([\d.]+)", self.report).group(1))
                       for kind in ("User", "System"))
        status = re.search(r"Exit status: (\d+)", self.report)
        if self.finished and (not status or status.group(1) != "0"):
            raise RuntimeError(f"{' '.join(args)} failed:\n{self.report[-3000:]}")


def scale_inputs(size, with_stream, a):
    """The bench heap of size objects as an HPROF dump (jcmd GC.heap_dump) and, with_stream, a snapshot of
    the same heap (by a.vesks[-1]); kept in a.inputs for later runs, made when missing. a.jdk: one home."""
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
