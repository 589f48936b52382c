#!/usr/bin/env python3
"""vesk serve on the HPROF dumps of analysis-scale (kept in --inputs, made
when missing), each with its index present: the time from starting vesk serve
to the first answer of /api/summary, the 50th and 95th percentile latency of
each API call over random calls (random tags from `top --json` and the
dominator tree, random groups, sorts and pages), and the server's peak
resident memory (VmHWM) in bytes per object. Run on a quiet machine.

Goals at 20 M objects: first answer within 1.5 s; every call's p95 within
100 ms, except merged paths, immediate dominators and retained set of a class
with a million instances or more (2 s); at most 48 bytes per object with the
reverse index built.
"""
import http.client
import json
import os
import random
import re
import subprocess
import sys
import time
import urllib.parse

from benchlib import JVMS, arguments, parse, scale_inputs, stop_jvm


def tags_of(vesk, dump):
    """The tags of the largest objects, as `vesk top --json` names them (the index is written on the way)."""
    doc = json.loads(subprocess.run([vesk, "top", "-n", "100", "--json", dump], check=True, capture_output=True,
                                    text=True).stdout)
    found = []

    def walk(value):
        if isinstance(value, dict):
            if isinstance(value.get("tag"), str):
                found.append(value["tag"])
            for item in value.values():
                walk(item)
        elif isinstance(value, list):
            for item in value:
                walk(item)

    walk(doc)
    return found


class Api:
    def __init__(self, base, token, timeout=600):
        host, port = base.rsplit("//", 1)[1].split(":")
        self.connection = http.client.HTTPConnection(host, int(port), timeout=timeout)
        self.headers = {"Authorization": "Bearer " + token}

    def get(self, path, **params):
        query = urllib.parse.urlencode(params)
        start = time.monotonic()
        self.connection.request("GET", f"/api/{path}?{query}", headers=self.headers)
        response = self.connection.getresponse()
        body = response.read()
        return time.monotonic() - start, response.status, body


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100 * (len(ordered) - 1))))]


def print_row(name, times, statuses, note=""):
    status = ", ".join(f"{k}: {v}" for k, v in sorted(statuses.items())) + note
    print(f"| {name} | {len(times)} | {percentile(times, 50) * 1000:.1f} | {percentile(times, 95) * 1000:.1f}"
          f" | {max(times) * 1000:.1f} | {status} |", flush=True)


def measure(size, dump, a):
    tags = tags_of(a.vesk, dump)
    start = time.monotonic()
    server = subprocess.Popen([a.vesk, "serve", dump], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        line = server.stdout.readline()
        match = re.match(r"serving (http://[^/]+)/#token=([0-9a-f]+)", line)
        if not match:
            raise RuntimeError(f"vesk serve printed {line!r}")
        api = Api(match.group(1), match.group(2))
        _, status, _ = api.get("summary")
        first = time.monotonic() - start
        if status != 200:
            raise RuntimeError(f"/api/summary answered {status}")
        rng = random.Random(size)
        # More tags: the root's children and one level below.
        _, _, body = api.get("children", tag="root", limit=100)
        for row in json.loads(body).get("rows", []):
            tags.append(row["tag"])
            _, _, below = api.get("children", tag=row["tag"], limit=20)
            tags += [r["tag"] for r in json.loads(below).get("rows", []) if "tag" in r]
        _, _, body = api.get("histogram", limit=50)
        classes = [(r["name"], r["instances"]) for r in json.loads(body)["rows"]]
        tag = lambda: rng.choice(tags)
        page = lambda: rng.choice([0, 0, 100, 1000])
        calls = {
            "summary": lambda: ("summary", {}),
            "histogram": lambda: ("histogram", {"group": rng.choice(["class", "package", "loader", "superclass"]),
                                                "sort": rng.choice(["name", "instances", "shallow", "retained"]),
                                                "offset": page(), "limit": 100}),
            "children": lambda: ("children", {"tag": rng.choice(["root", tag()]), "group": rng.choice(["none", "class"]),
                                              "offset": page(), "limit": 100}),
            "object": lambda: ("object", {"tag": tag()}),
            "refs in": lambda: ("refs", {"tag": tag(), "dir": "in", "offset": page(), "limit": 100}),
            "refs out": lambda: ("refs", {"tag": tag(), "dir": "out", "offset": page(), "limit": 100}),
            "path": lambda: ("path", {"tag": tag()}),
            "threads": lambda: ("threads", {}),
        }
        print(f"\n{size:,} objects ({os.path.getsize(dump) / 2**20:,.0f} MiB HPROF): first answer {first:.2f} s")
        print("| call | calls | p50 ms | p95 ms | max ms | statuses |")
        print("|---|---|---|---|---|---|", flush=True)
        for name, make in calls.items():
            times, statuses = [], {}
            for _ in range(a.calls):
                path, params = make()
                seconds, status, _ = api.get(path, **params)
                times.append(seconds)
                statuses[status] = statuses.get(status, 0) + 1
            print_row(name, times, statuses)
        # The set calls last, each on a connection of its own: one that takes
        # longer than --set-limit ends that call's series (the server goes on
        # computing it, so nothing is measured after).
        for path in ("immediate-dominators", "retained-set", "merged-paths"):
            times, statuses, note = [], {}, ""
            for _ in range(a.set_calls):
                cls, instances = rng.choice(classes)
                try:
                    seconds, status, _ = Api(match.group(1), match.group(2), a.set_limit).get(path, **{"class": cls})
                except TimeoutError:
                    note = f"; {cls} ({instances:,} instances) not answered in {a.set_limit} s"
                    break
                times.append(seconds)
                statuses[status] = statuses.get(status, 0) + 1
            if times:
                print_row(path, times, statuses, note)
            else:
                print(f"| {path} | 0 | - | - | - | {note[2:]} |", flush=True)
        if a.set_classes:
            # Named classes, one call of each set call on each, in order.
            counts = dict(classes)
            print("\n| class (instances) | merged paths s | immediate dominators s | retained set s |")
            print("|---|---|---|---|", flush=True)
            for cls in a.set_classes.split(","):
                cells = []
                for path in ("merged-paths", "immediate-dominators", "retained-set"):
                    try:
                        seconds, status, _ = Api(match.group(1), match.group(2), a.set_limit).get(path, **{"class": cls})
                        cells.append(f"{seconds:.2f}" + ("" if status == 200 else f" ({status})"))
                    except TimeoutError:
                        cells.append(f"> {a.set_limit}")
                print(f"| `{cls}` ({counts.get(cls, 0):,}) | " + " | ".join(cells) + " |", flush=True)
        with open(f"/proc/{server.pid}/status") as f:
            hwm = int(re.search(r"VmHWM:\s+(\d+) kB", f.read()).group(1)) * 1024
        print(f"peak RSS {hwm / 2**20:,.0f} MiB, {hwm / size:.1f} bytes/object", flush=True)
    finally:
        server.send_signal(2)
        server.wait(timeout=120)


def main():
    p = arguments(__doc__, several_jdks=False)
    p.add_argument("--inputs", default="/tmp/vesk-bench-inputs", help="where analysis-scale keeps its inputs")
    p.add_argument("--sizes", default="1000000", help="heap sizes (objects)")
    p.add_argument("--calls", type=int, default=200, help="random calls per API call")
    p.add_argument("--set-calls", type=int, default=20,
                   help="random calls of merged paths, immediate dominators and retained set")
    p.add_argument("--set-limit", type=int, default=60, help="seconds one of those calls may take")
    p.add_argument("--set-classes", default="",
                   help="classes (comma-separated) whose set calls are made once each, after the random ones")
    a = parse(p)
    os.makedirs(a.inputs, exist_ok=True)
    print(f"{os.cpu_count()} CPUs; load average {os.getloadavg()[0]:.2f} at start")
    try:
        for size in [int(s) for s in a.sizes.split(",") if s]:
            dump = scale_inputs(size, False, a)[0]
            measure(size, dump, a)
    finally:
        for proc in JVMS:
            stop_jvm(proc)
    print(f"\nload average {os.getloadavg()[0]:.2f} at end")


if __name__ == "__main__":
    sys.exit(main())
