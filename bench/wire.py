#!/usr/bin/env python3
"""Wire: compression on the wire, SNAPSHOT and HEAPDUMP of bench heaps.

Heaps of 1 and 5 million objects, plain (--no-compress) and zstd-compressed
(saved as FILE.zst), on loopback and through a link of 100 Mbit/s (a veth
pair into a network namespace, shaped with tc's token bucket: needs root;
left out otherwise): bytes on the wire, time to the saved file, the agent's
CPU time outside the pause (its client thread) and the JVM's pause. Figures,
not assertions, and noisy on a busy machine: the load average is printed
beside them.

One JVM per heap size, its agent listening on every interface. Each request
runs vesk: snapshot or dump, --no-compress -o FILE or -o FILE.zst, from this
network namespace (loopback) or from a namespace behind a veth pair whose
both ends a token bucket holds to the link's rate. Per request: bytes on the
wire (vesk's own figure when compressed; the saved stream's size for a plain
snapshot; for a plain dump its base64 frames, computed from the HPROF's
size), wall time to the saved file, CPU time of the agent's client thread
(tagging, reading the snapshot files or redacting the dump, compressing,
sending: everything it does outside the pause, polled every 20 ms) and the
safepoint time during the request.
"""
import os
import re
import shutil
import subprocess
import sys
import threading
import time

from benchlib import (JVMS, arguments, cpu_ms, free_port, jdk_version, log_size, parse, pauses, print_row, start_jvm,
                      stop_jvm)

NAMESPACE = "vesk-wire"
HOST_END, PEER_END = "vwire0", "vwire1"
HOST_IP, PEER_IP = "10.211.7.1", "10.211.7.2"
RATES = {"100mbit": "100mbit"}
FRAME_DUMP_BYTES = 16 << 20
# <vesk-resp tag="1"><cmd name="HEAPDUMP"><hprof>...</hprof><status value="1"/></cmd><last value="0"/></vesk-resp>\n
DUMP_FRAME_MARKUP = 110


def sh(*args):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def link_up(rate):
    link_down()
    sh("ip", "netns", "add", NAMESPACE)
    sh("ip", "link", "add", HOST_END, "type", "veth", "peer", "name", PEER_END)
    sh("ip", "link", "set", PEER_END, "netns", NAMESPACE)
    sh("ip", "addr", "add", HOST_IP + "/24", "dev", HOST_END)
    sh("ip", "link", "set", HOST_END, "up")
    inside = ["ip", "netns", "exec", NAMESPACE]
    sh(*inside, "ip", "addr", "add", PEER_IP + "/24", "dev", PEER_END)
    sh(*inside, "ip", "link", "set", PEER_END, "up")
    sh(*inside, "ip", "link", "set", "lo", "up")
    shaper = ["tbf", "rate", rate, "burst", "64kb", "latency", "50ms"]
    sh("tc", "qdisc", "add", "dev", HOST_END, "root", *shaper)
    sh(*inside, "tc", "qdisc", "add", "dev", PEER_END, "root", *shaper)


def link_down():
    subprocess.run(["ip", "link", "del", HOST_END], stderr=subprocess.DEVNULL)
    subprocess.run(["ip", "netns", "del", NAMESPACE], stderr=subprocess.DEVNULL)


class ThreadCpu(threading.Thread):
    """Polls the CPU time of a process's threads of one name; sums what each used since the start."""

    def __init__(self, pid, name):
        super().__init__(daemon=True)
        self.pid, self.name, self.running, self.seen = pid, name, True, {}
        self.poll()
        # A thread of the last request still winding down counts from here.
        self.before = dict(self.seen)

    def poll(self):
        try:
            for tid in os.listdir(f"/proc/{self.pid}/task"):
                try:
                    with open(f"/proc/{self.pid}/task/{tid}/comm") as f:
                        if f.read().strip() != self.name:
                            continue
                except OSError:
                    continue
                ms = cpu_ms(f"/proc/{self.pid}/task/{tid}/stat")
                if ms:
                    self.seen[tid] = ms
        except OSError:
            pass

    def run(self):
        while self.running:
            self.poll()
            time.sleep(0.02)

    def stop(self):
        self.running = False
        self.join()
        return sum(ms - self.before.get(tid, 0) for tid, ms in self.seen.items())


def mib(text, pattern):
    m = re.search(pattern, text)
    return float(m.group(1)) * 1048576 if m else None


def dump_wire_bytes(hprof):
    frames = max(1, -(-hprof // FRAME_DUMP_BYTES))
    full, rest = divmod(hprof, FRAME_DUMP_BYTES)
    text = full * (-(-FRAME_DUMP_BYTES // 3) * 4) + (-(-rest // 3) * 4)
    return text + frames * DUMP_FRAME_MARKUP


def request(a, proc, port, splog, size, kind, mode, link):
    name = f"{size}-{kind}-{mode}-{link}"
    saved = os.path.join(a.work, name + (".vsnap" if kind == "snapshot" else ".hprof") +
                         (".zst" if mode == "zstd" else ""))
    host = "127.0.0.1" if link == "loopback" else HOST_IP
    args = [a.vesk, "--host", host, "--port", str(port), "--timeout", "0", kind if kind == "snapshot" else "dump",
            "-o", saved] + (["--no-compress"] if mode == "plain" else [])
    if link != "loopback":
        args = ["ip", "netns", "exec", NAMESPACE] + args
    time.sleep(1)
    cpu = ThreadCpu(proc.pid, "vesk-client")
    cpu.start()
    start_log = log_size(splog)
    # The agent lets a large snapshot's client go only once its files are gone.
    for _ in range(120):
        start = time.time()
        out = subprocess.run(args, capture_output=True, text=True)
        wall = time.time() - start
        if "serves another client" not in out.stderr:
            break
        time.sleep(1)
    time.sleep(0.2)  # the client thread's last readings
    agent_ms = cpu.stop()
    if out.returncode != 0:
        raise RuntimeError(f"{name}: {' '.join(args)}: {out.stderr}")
    text = out.stderr
    file_bytes = os.path.getsize(saved)
    if mode == "zstd":
        wire = mib(text, r"([\d.]+) MiB on the wire")
    elif kind == "snapshot":
        wire = file_bytes
    else:
        wire = dump_wire_bytes(file_bytes)
    os.unlink(saved)
    row = {"wire": wire, "file": file_bytes, "saved_s": wall, "agent_cpu_s": agent_ms / 1000,
           "pause_ms": pauses(splog, start_log, log_size(splog))["pause_sum"]}
    print_row(name, row, 3)
    return row


def main():
    p = arguments(__doc__, several_jdks=False)
    p.add_argument("--sizes", default="1000000,5000000", help="heap sizes (objects)")
    p.add_argument("--links", default="loopback,100mbit", help="which links")
    p.add_argument("--xmx", default="3g")
    a = parse(p)
    sizes = [int(s) for s in a.sizes.split(",")]
    links = [link for link in a.links.split(",") if link]
    shaped = [link for link in links if link != "loopback"]
    if shaped and (os.geteuid() != 0 or not shutil.which("tc")):
        print(f"needs root and tc (iproute2): {', '.join(shaped)} left out", file=sys.stderr)
        links = [link for link in links if link == "loopback"]
    results = {}
    loads = []
    try:
        for link in links:
            if link != "loopback":
                link_up(RATES[link])
        for size in sizes:
            port = free_port()
            splog = os.path.join(a.work, f"{size}.safepoints")
            tmp = os.path.join(a.work, "tmp")
            os.makedirs(tmp, exist_ok=True)
            args = [f"{a.jdk}/bin/java", f"-agentpath:{a.agent}=port={port},address=0.0.0.0,cfgfile={a.config}",
                    f"-Xmx{a.xmx}", f"-Xlog:safepoint:file={splog}", "-cp", a.classes, "BenchHeap", str(size)]
            proc, built = start_jvm(args, a.work, f"wire-{size}", {"TEMP": tmp, "TMP": tmp, "TMPDIR": tmp})
            try:
                for link in links:
                    for kind in ("snapshot", "dump"):
                        for mode in ("plain", "zstd"):
                            loads.append(os.getloadavg()[0])
                            results[(size, link, kind, mode)] = request(a, proc, port, splog, size, kind, mode, link)
            finally:
                stop_jvm(proc)
    finally:
        for proc in JVMS:
            stop_jvm(proc)
        if any(link != "loopback" for link in links):
            link_down()

    print(f"\n{jdk_version(a.jdk)}; {os.cpu_count()} CPUs, load average {min(loads):.1f} to {max(loads):.1f} "
          "during the requests; one run per cell. wire = bytes on the wire (MiB); saved = request to saved "
          "file (s); agent CPU = the client thread's CPU outside the pause (s); pause = safepoint time "
          "during the request (ms).\n")
    print("| objects | request | link | wire plain | wire zstd | ratio | saved plain | saved zstd | speed-up "
          "| agent CPU plain | zstd | pause plain | zstd |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    for size in sizes:
        for kind in ("snapshot", "dump"):
            for link in links:
                p_, z = results[(size, link, kind, "plain")], results[(size, link, kind, "zstd")]
                print(f"| {size:,} | {'SNAPSHOT' if kind == 'snapshot' else 'HEAPDUMP'} | {link} "
                      f"| {p_['wire'] / 1048576:.1f} | {z['wire'] / 1048576:.1f} | {z['wire'] / p_['wire']:.3f} "
                      f"| {p_['saved_s']:.1f} | {z['saved_s']:.1f} | {p_['saved_s'] / z['saved_s']:.1f}x "
                      f"| {p_['agent_cpu_s']:.2f} | {z['agent_cpu_s']:.2f} "
                      f"| {p_['pause_ms']:.0f} | {z['pause_ms']:.0f} |")


if __name__ == "__main__":
    sys.exit(main())
