#!/usr/bin/env python3
"""The heap at an OutOfMemoryError: oom-dump=DIR beside -XX:+HeapDumpOnOutOfMemoryError.

A JVM fills a heap of --xmx (default 2g) through a static map until
OutOfMemoryError (tests/fixtures/OomFixture.java), once with the agent's
oom-dump=DIR and once with the JVM's own -XX:+HeapDumpOnOutOfMemoryError, on
JDK 17 and JDK 25 (G1): the time from the error to the capture's rename (the
agent's log line), the kept file against the heap in use and against the
JVM's own dump, and the peak disk use of DIR and the temporary directory
during the capture, polled every 10 ms (/dev/shm, which is memory, apart).
Goals: kept file <= 0.1 x the JVM's dump, peak extra disk <= 0.15 x it.
"""
import os
import re
import subprocess
import threading
import time

from benchlib import arguments, die_with_parent, free_port, jdk_version, parse, print_row, stop_jvm, track

MIB = 1 << 20
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def tree_bytes(path):
    """Bytes a file, or the files below a directory, take on disk."""
    try:
        info = os.lstat(path)
        if not os.path.isdir(path) or os.path.islink(path):
            return info.st_blocks * 512
        return sum(tree_bytes(entry.path) for entry in os.scandir(path))
    except OSError:
        return 0


def disk_bytes(paths, prefix=""):
    """Bytes the entries of paths whose names start with prefix take on disk."""
    total = 0
    for top in paths:
        try:
            total += sum(tree_bytes(e.path) for e in os.scandir(top) if e.name.startswith(prefix))
        except OSError:
            pass
    return total


class Peak(threading.Thread):
    """The peak of disk_bytes over paths while the JVM runs."""

    def __init__(self, paths, prefix=""):
        super().__init__(daemon=True)
        self.paths, self.prefix, self.peak, self.running = paths, prefix, 0, True
        self.start()

    def run(self):
        while self.running:
            self.peak = max(self.peak, disk_bytes(self.paths, self.prefix))
            time.sleep(0.01)

    def stop(self):
        self.running = False
        self.join()
        return self.peak


def run_fixture(a, jdk, name, options, env):
    """Runs the fixture until it printed "oom done"; its output."""
    out_path = os.path.join(a.work, name + ".out")
    args = [f"{jdk}/bin/java", f"-Xmx{a.xmx}", "-XX:+UseG1GC", *options, "-cp", a.oom_classes, "oom.OomFixture",
            "1", os.path.join(a.work, "never")]
    with open(out_path, "w") as out:
        proc = subprocess.Popen(args, stdout=out, stderr=subprocess.STDOUT, env=dict(os.environ, **env),
                                preexec_fn=die_with_parent)
    track(proc, a.work)
    try:
        deadline = time.time() + 1800
        while time.time() < deadline and "oom done" not in open(out_path).read():
            if proc.poll() is not None:
                raise RuntimeError(f"{name}: JVM ended early:\n{open(out_path).read()}")
            time.sleep(0.1)
    finally:
        stop_jvm(proc)
    return open(out_path).read()


def measure(a, jdk, tag):
    work = os.path.join(a.work, tag)
    dumps, temp, own = (os.path.join(work, d) for d in ("dumps", "tmp", "own"))
    for d in (temp, own):
        os.makedirs(d)
    env = {"TMPDIR": temp, "TMP": temp, "TEMP": temp}
    log = os.path.join(work, "agent.log")
    config = os.path.join(work, "agent.properties")
    with open(config, "w") as f:
        f.write(f"vesk.agent.log.level=INFO\nvesk.agent.log.file={log}\n")

    disk, shm = Peak([dumps, temp]), Peak(["/dev/shm"], "VESKOOM_")
    agent = f"-agentpath:{a.agent}=port={free_port()},address=127.0.0.1,cfgfile={config},oom-dump={dumps}"
    run_fixture(a, jdk, tag + "-agent", [agent], env)
    peak_disk, peak_shm = disk.stop(), shm.stop()
    text = open(log).read()
    m = re.search(r"heap captured to .*?: ([\d.]+) MiB \(heap in use ([\d.]+) MiB, HPROF ([\d.]+) MiB.*?"
                  r"dump (\d+) ms, redaction and compression (\d+) ms, (\d+) ms from the error", text)
    if not m:
        raise RuntimeError(f"no capture in the agent's log:\n{text}")
    kept, used, hprof = (float(m.group(i)) for i in (1, 2, 3))
    dump_ms, redact_ms, total_ms = (int(m.group(i)) for i in (4, 5, 6))

    own_disk = Peak([own])
    out = run_fixture(a, jdk, tag + "-own", ["-XX:+HeapDumpOnOutOfMemoryError", f"-XX:HeapDumpPath={own}"], env)
    own_peak = own_disk.stop()
    m = re.search(r"Heap dump file created \[(\d+) bytes in ([\d.]+) secs\]", out)
    own_mib = int(m.group(1)) / MIB if m else float("nan")
    own_s = float(m.group(2)) if m else float("nan")
    for d in (dumps, own):
        for entry in os.scandir(d):
            os.unlink(entry.path)
    return {
        "heap_used_mib": used, "jvm_dump_mib": own_mib, "jvm_dump_s": own_s, "jvm_peak_disk_mib": own_peak / MIB,
        "kept_mib": kept, "kept_per_jvm_dump": kept / own_mib, "kept_per_used": kept / used,
        "error_to_rename_s": total_ms / 1000, "agent_dump_s": dump_ms / 1000, "redact_compress_s": redact_ms / 1000,
        "hprof_mib": hprof, "peak_extra_disk_mib": peak_disk / MIB, "peak_disk_per_jvm_dump": peak_disk / MIB / own_mib,
        "peak_shm_mib": peak_shm / MIB,
    }


def main():
    p = arguments(__doc__)
    p.add_argument("--xmx", default="2g")
    a = parse(p)
    a.oom_classes = os.path.join(a.work, "oom-classes")
    subprocess.run([f"{a.jdk[0]}/bin/javac", "--release", "17", "-d", a.oom_classes,
                    os.path.join(ROOT, "tests", "fixtures", "OomFixture.java")], check=True)
    for i, jdk in enumerate(a.jdk):
        print(jdk_version(jdk), flush=True)
        print_row(f"-Xmx{a.xmx}", measure(a, jdk, f"jdk{i}"))


if __name__ == "__main__":
    main()
