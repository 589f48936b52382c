#!/usr/bin/env python3
"""Request memory: resident memory of a JVM over a burst of requests on fresh connections.

Two JVMs with the same heap and agent, one with the C library's default
allocator settings and one with MALLOC_ARENA_MAX=1 (one arena: memory freed
by a finished client thread cannot stay behind in that thread's arena). Each
gets the same requests, every one on a new connection, so every one is
served by a new agent thread. Resident sizes are read from /proc.
"""
import os
import socket
import sys
import time

from benchlib import JVMS, arguments, free_port, parse, rss_kib, start_jvm, stop_jvm

REQUEST = b'<vesk-cmd tag="1"><cmd name="SNAPSHOT"/><cmd name="SYSTEM_PROPS"/></vesk-cmd>'


def request(port):
    """One request on a new connection, read to its last frame; again while rejected."""
    while True:
        sock = socket.create_connection(("127.0.0.1", port))
        tail = b""
        sock.sendall(REQUEST)
        while not (tail.endswith(b"</vesk-resp>\n") and b'<last value="1"/>' in tail):
            chunk = sock.recv(1 << 20)
            if not chunk:
                raise RuntimeError("agent closed the connection")
            tail = (tail + chunk)[-65536:]
        sock.close()
        if b'<cmd name="REJECT">' not in tail:
            return
        time.sleep(0.05)


def burst(a, env_extra, name):
    port = free_port()
    opts = f"port={port},address=127.0.0.1,cfgfile={a.config}"
    args = [f"{a.jdk}/bin/java", "-Xmx1g", f"-agentpath:{a.agent}={opts}", "-cp", a.classes, "BenchHeap", str(a.objects)]
    tmp = os.path.join(a.work, "tmp")
    os.makedirs(tmp, exist_ok=True)
    proc, _ = start_jvm(args, a.work, name, dict(env_extra, TEMP=tmp, TMP=tmp, TMPDIR=tmp))
    try:
        request(port)  # the agent's one-time set-up is not part of the step
        time.sleep(1)
        before = rss_kib(proc.pid)
        start = time.time()
        for _ in range(a.requests):
            request(port)
        elapsed = time.time() - start
        time.sleep(1)
        after = rss_kib(proc.pid)
    finally:
        stop_jvm(proc)
    return before / 1024, after / 1024, elapsed


def main():
    p = arguments(__doc__, several_jdks=False)
    p.add_argument("--objects", type=int, default=200000, help="heap size")
    p.add_argument("--requests", type=int, default=100)
    a = parse(p)
    print(f"agent: {a.agent}; {a.requests} requests (SNAPSHOT + SYSTEM_PROPS), each on a new connection; "
          f"heap of {a.objects:,} objects")
    rows = []
    try:
        for label, env in (("default", {}), ("MALLOC_ARENA_MAX=1", {"MALLOC_ARENA_MAX": "1"})):
            rows.append((label,) + burst(a, env, label.split("=")[0].lower()))
    finally:
        for proc in JVMS:
            stop_jvm(proc)
    print("\n| malloc | RSS before MiB | RSS after MiB | step MiB | seconds |")
    print("|---|---|---|---|---|")
    for label, before, after, elapsed in rows:
        print(f"| {label} | {before:.0f} | {after:.0f} | {after - before:+.0f} | {elapsed:.1f} |")
    print(f"\nstep ratio default / one arena: {(rows[0][2] - rows[0][1]) / max(rows[1][2] - rows[1][1], 1):.2f}")


if __name__ == "__main__":
    sys.exit(main())
