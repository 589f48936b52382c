#!/usr/bin/env python3
"""Snapshot benchmark driver; run it through bench/run.sh.

For each heap size: one JVM with the snapshot agent takes a snapshot that a
client receives and discards; a second JVM with the same heap is measured by
the floor agent and then dumped with jcmd GC.heap_dump. Resident memory is
polled from /proc/<pid>/status during each measurement.
"""
import argparse
import ctypes
import os
import re
import signal
import socket
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


def snapshot(port, poll):
    """One SNAPSHOT request; the bytes are counted and dropped."""
    sock = connect(port)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    buf = bytearray(4 << 20)
    view = memoryview(buf)
    head, tail, total = b"", b"", 0
    sent = time.time()
    sock.sendall(b'<vesk-cmd tag="1"><cmd name="SNAPSHOT"/></vesk-cmd>')
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
        "objs": counts[b"total-objs"],
        "refs": counts[b"total-refs"],
        "bytes": total,
        "request_ms": (done - sent) * 1000,
        "stream_ms": done * 1000 - metrics["$T$last.snapshot.overall.end.time"],
        "rss_peak": peak,
    }


def floor_run(port):
    sock = connect(port)
    sock.sendall(b"RUN\n")
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
    size = os.path.getsize(path)
    os.unlink(path)
    return ms, size


def measure(size, a):
    jvm_args = [f"{a.jdk}/bin/java", f"-Xmx{a.xmx}", "-cp", a.classes]
    tmp = os.path.join(a.work, "tmp")
    os.makedirs(tmp, exist_ok=True)
    env = {"TEMP": tmp, "TMP": tmp, "TMPDIR": tmp}

    port = free_port()
    opts = f"port={port},address=127.0.0.1,cfgfile={a.config}"
    proc, built = start_jvm(jvm_args[:1] + [f"-agentpath:{a.agent}={opts}"] + jvm_args[1:] + ["BenchHeap", str(size)],
                            a.work, f"vesk-{size}", env)
    try:
        time.sleep(1)
        before = rss_kib(proc.pid)
        poll = RssPeak(proc.pid)
        poll.start()
        snap = snapshot(port, poll)
        leftover = os.listdir(tmp)
    finally:
        stop_jvm(proc)
    snap.update(rss_before=before, built=built, leftover=leftover)

    port = free_port()
    proc, _ = start_jvm(jvm_args[:1] + [f"-agentpath:{a.floor}=port={port}"] + jvm_args[1:] + ["BenchHeap", str(size)],
                        a.work, f"floor-{size}", env)
    try:
        time.sleep(1)
        before = rss_kib(proc.pid)
        poll = RssPeak(proc.pid)
        poll.start()
        floor = floor_run(port)
        peak = poll.stop()
        dump_ms, dump_bytes = heap_dump(a.jdk, proc.pid, a.work)
    finally:
        stop_jvm(proc)
    floor.update(rss_before=before, rss_peak=peak, dump_ms=dump_ms, dump_bytes=dump_bytes)
    return snap, floor


def report(size, snap, floor):
    m = snap["metrics"]
    tag = m["$L$last.snapshot.classtag.duration.msec"]
    walk = m["$L$last.snapshot.heapwalk.duration.msec"]
    untag = m["$L$last.snapshot.untag.duration.msec"]
    ftag, fwalk, funtag = floor["tag_ms"], floor["walk_ms"], floor["untag_ms"]
    mib = lambda kib: kib / 1024
    grow, fgrow = mib(snap["rss_peak"] - snap["rss_before"]), mib(floor["rss_peak"] - floor["rss_before"])
    print(f"\n== heap of {size:,} objects (fixture counted {snap['built']:,}) ==")
    print(f"snapshot: {snap['objs']:,} objects, {snap['refs']:,} references, {snap['bytes'] / 2**20:,.0f} MiB streamed")
    print(f"  tagging {tag} ms | walk {walk} ms | untag {untag} ms | streaming {snap['stream_ms']:.0f} ms"
          f" | whole request {snap['request_ms']:.0f} ms")
    print(f"  references/s during the walk: {snap['refs'] / max(walk, 1) * 1000:,.0f}")
    print(f"  RSS before {mib(snap['rss_before']):,.0f} MiB, peak {mib(snap['rss_peak']):,.0f} MiB (+{grow:,.0f} MiB)")
    if snap["leftover"]:
        print(f"  WARNING: files left in the temp directory: {snap['leftover']}")
    print(f"floor: {int(floor['objects']):,} objects, {int(floor['refs']):,} callbacks (all reference kinds)")
    print(f"  tagging {ftag:.0f} ms | walk {fwalk:.0f} ms | untag {funtag:.0f} ms"
          f" | callbacks/s {int(floor['refs']) / max(fwalk, 1) * 1000:,.0f}")
    print(f"  RSS before {mib(floor['rss_before']):,.0f} MiB, peak {mib(floor['rss_peak']):,.0f} MiB (+{fgrow:,.0f} MiB)")
    print(f"jcmd GC.heap_dump: {floor['dump_ms']:.0f} ms, {floor['dump_bytes'] / 2**20:,.0f} MiB")
    ratio = (tag + walk + untag) / max(ftag + fwalk + funtag, 1)
    print(f"ratio snapshot (tag + walk + untag) / floor: {ratio:.2f}; RSS growth over floor: {grow - fgrow:+,.0f} MiB")
    return (size, tag, walk, untag, snap["stream_ms"], ftag + fwalk + funtag, ratio, grow, fgrow, floor["dump_ms"])


def main():
    p = argparse.ArgumentParser()
    for name in ("jdk", "agent", "floor", "classes", "work", "config"):
        p.add_argument("--" + name, required=True)
    p.add_argument("--sizes", default="1000000,2500000,5000000")
    p.add_argument("--xmx", default="3g")
    a = p.parse_args()

    def on_signal(signum, _frame):
        raise SystemExit(128 + signum)

    for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(s, on_signal)
    version = subprocess.run([f"{a.jdk}/bin/java", "-version"], capture_output=True, text=True).stderr.splitlines()
    print(f"JDK: {a.jdk} ({version[0] if version else '?'}); {os.cpu_count()} CPUs")
    rows = []
    try:
        for size in (int(s) for s in a.sizes.split(",")):
            rows.append(report(size, *measure(size, a)))
    finally:
        for proc in JVMS:
            stop_jvm(proc)
    print("\n| objects | tag ms | walk ms | untag ms | stream ms | floor ms | ratio | RSS +MiB | floor RSS +MiB | heap_dump ms |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for r in rows:
        print(f"| {r[0]:,} | {r[1]} | {r[2]} | {r[3]} | {r[4]:.0f} | {r[5]:.0f} | {r[6]:.2f} | {r[7]:.0f} | {r[8]:.0f} | {r[9]:.0f} |")


if __name__ == "__main__":
    sys.exit(main())
