#!/usr/bin/env python3
"""Histogram: a snapshot's class histogram beside the JVM's own.

Per JDK: the demo's sample application with the agent, `jcmd GC.class_histogram`
(after its full collection), a snapshot's `vesk histo`, and the JVM's own heap
dump of the same moment. Every class whose instances or bytes differ by more
than 1 % is listed with what the JVM's dump says of the difference: objects it
reaches only through the statics it makes up for what the JVM's reference
walk never reports (a constant pool's resolved references, the empty lock of
a class not yet initialised), and objects no record of the dump reaches (the
JVM still counts them: chiefly its shared archive's). The rest is unexplained.
"""
import argparse
import collections
import json
import os
import re
import struct
import subprocess
import time

from benchlib import JVMS, arguments, die_with_parent, free_port, jdk_version, parse, stop_jvm, stop_jvms

PRIMITIVES = {"B": "byte", "C": "char", "I": "int", "J": "long", "S": "short", "Z": "boolean", "F": "float", "D": "double"}
ARRAY_TYPES = {4: "boolean", 5: "char", 6: "float", 7: "double", 8: "byte", 9: "short", 10: "int", 11: "long"}
CLASS_AND_THREAD = {"java.lang.Class", "java.lang.Thread"}


def java_name(jvm_name):
    dims = len(jvm_name) - len(jvm_name.lstrip("["))
    element = jvm_name[dims:]
    if dims:
        element = PRIMITIVES.get(element) or (element[1:-1] if element.startswith("L") else element)
    return element.replace("/", ".") + "[]" * dims


def jcmd_histogram(text):
    counts = {}
    for line in text.splitlines():
        m = re.match(r"\s*\d+:\s+(\d+)\s+(\d+)\s+(\S+)", line)
        if m:
            counts[java_name(m.group(3))] = (int(m.group(1)), int(m.group(2)))
    return counts


class Dump:
    """The reachability of an HPROF's objects, with and without resolved references."""

    def __init__(self, path):
        self.data = open(path, "rb").read()
        at = self.data.index(b"\0") + 1
        self.ids = struct.unpack(">I", self.data[at:at + 4])[0]
        self.names, self.class_names, self.classes, self.objects, self.roots = {}, {}, {}, {}, []
        self.layouts = {}
        at += 12
        while at < len(self.data):
            tag, length = self.data[at], struct.unpack(">I", self.data[at + 5:at + 9])[0]
            body, at = at + 9, at + 9 + length
            if tag == 0x01:
                self.names[self.id(body)] = self.data[body + self.ids:at].decode("utf-8", "replace")
            elif tag == 0x02:
                self.class_names[self.id(body + 4)] = self.id(body + 8 + self.ids)
            elif tag in (0x0C, 0x1C):
                self.read_segment(body, at)

    def id(self, at):
        return int.from_bytes(self.data[at:at + self.ids], "big")

    def size(self, basic_type):
        return self.ids if basic_type == 2 else {4: 1, 5: 2, 6: 4, 7: 8, 8: 1, 9: 2, 10: 4, 11: 8}[basic_type]

    def read_segment(self, at, end):
        ids, u4 = self.ids, lambda a: struct.unpack(">I", self.data[a:a + 4])[0]
        root_extra = {0xFF: 0, 0x01: ids, 0x02: 8, 0x03: 8, 0x04: 4, 0x05: 0, 0x06: 4, 0x07: 0, 0x08: 8}
        while at < end:
            sub = self.data[at]
            at += 1
            if sub in root_extra:
                self.roots.append(self.id(at))
                at += ids + root_extra[sub]
            elif sub == 0x20:
                cls, superclass = self.id(at), self.id(at + 4 + ids)
                at += 4 + 7 * ids + 4
                u2 = lambda a: struct.unpack(">H", self.data[a:a + 2])[0]
                count, at = u2(at), at + 2
                for _ in range(count):  # constant pool entries: index, type, value
                    at += 3 + self.size(self.data[at + 2])
                statics, count, at = [], u2(at), at + 2
                for _ in range(count):
                    name, kind = self.id(at), self.data[at + ids]
                    if kind == 2:
                        statics.append((self.names.get(name, ""), self.id(at + ids + 1)))
                    at += ids + 1 + self.size(kind)
                fields, count, at = [], u2(at), at + 2
                for _ in range(count):
                    fields.append(self.data[at + ids])
                    at += ids + 1
                self.classes[cls] = (superclass, statics, fields)
            elif sub == 0x21:
                length = u4(at + 4 + 2 * ids)
                self.objects[self.id(at)] = ("instance", self.id(at + 4 + ids), at + 8 + 2 * ids, length)
                at += 8 + 2 * ids + length
            elif sub == 0x22:
                count = u4(at + 4 + ids)
                self.objects[self.id(at)] = ("objects", self.id(at + 8 + ids), at + 8 + 2 * ids, count)
                at += 8 + 2 * ids + count * ids
            elif sub == 0x23:
                count, kind = u4(at + 4 + ids), self.data[at + 8 + ids]
                self.objects[self.id(at)] = ("primitives", kind, 0, count)
                at += 9 + ids + count * self.size(kind)
            else:
                raise SystemExit(f"unknown heap dump record {sub:#x} at {at}")

    def layout(self, cls):
        if cls not in self.layouts:
            types, at = [], cls
            while at in self.classes:
                types += self.classes[at][2]
                at = self.classes[at][0]
            self.layouts[cls] = types
        return self.layouts[cls]

    def references(self, obj, internal):
        """internal: with the statics the JVM's dump makes up ("<resolved_references>", "<init_lock>")."""
        if obj in self.classes:
            return [v for name, v in self.classes[obj][1] if v and (internal or not name.startswith("<"))]
        kind, cls, at, count = self.objects.get(obj, (None, 0, 0, 0))
        found = []
        if kind == "objects":
            found = [self.id(at + i * self.ids) for i in range(count)]
        elif kind == "instance":
            for basic_type in self.layout(cls):
                if basic_type == 2:
                    found.append(self.id(at))
                at += self.size(basic_type)
        return [v for v in found if v]

    def reachable(self, internal):
        seen, stack = set(), self.roots + list(self.classes)
        while stack:
            obj = stack.pop()
            if obj not in seen:
                seen.add(obj)
                stack.extend(self.references(obj, internal))
        return seen

    def class_of(self, obj):
        kind, cls, _, _ = self.objects[obj]
        if kind == "primitives":
            return ARRAY_TYPES[cls] + "[]"
        return java_name(self.names.get(self.class_names.get(cls), "?"))

    def explain(self):
        """Per class: objects reached only through the JVM's made-up statics, and objects reached not at all."""
        full, without = self.reachable(True), self.reachable(False)
        only = collections.Counter(self.class_of(o) for o in full - without if o in self.objects)
        unreached = collections.Counter(self.class_of(o) for o in self.objects if o not in full)
        return only, unreached


def run(args, work):
    out = os.path.join(work, "app.out")
    subprocess.run([os.path.join(args.jdk, "bin", "javac"), "-d", work, args.app], check=True)
    port = free_port()
    with open(out, "w") as log:
        jvm = subprocess.Popen([os.path.join(args.jdk, "bin", "java"), f"-agentpath:{args.agent}=port={port},address=127.0.0.1",
                                "-cp", work, args.main], stdout=log, stderr=subprocess.STDOUT, preexec_fn=die_with_parent)
    JVMS.append(jvm)
    try:
        deadline = time.time() + 60
        while " ready" not in open(out).read():
            if jvm.poll() is not None or time.time() > deadline:
                raise SystemExit(f"the sample application did not start:\n{open(out).read()}")
            time.sleep(0.1)
        jcmd = os.path.join(args.jdk, "bin", "jcmd")
        # A first collection lets the cleaner thread drop what start-up left phantom-reachable.
        subprocess.run([jcmd, str(jvm.pid), "GC.run"], check=True, capture_output=True)
        time.sleep(1)
        theirs = jcmd_histogram(subprocess.run([jcmd, str(jvm.pid), "GC.class_histogram"], check=True,
                                               capture_output=True, text=True).stdout)
        snapshot = os.path.join(work, "heap.vsnap")
        subprocess.run([args.vesk, "--port", str(port), "snapshot", "-o", snapshot], check=True, capture_output=True)
        dump = os.path.join(work, "jvm.hprof")
        subprocess.run([jcmd, str(jvm.pid), "GC.heap_dump", dump], check=True, capture_output=True)
    finally:
        stop_jvm(jvm)
    histo = json.loads(subprocess.run([args.vesk, "histo", "--json", "-n", "1000000", snapshot], check=True,
                                      capture_output=True, text=True).stdout)
    ours = {row["name"]: (row["instances"], row["bytes"]) for row in histo["classes"]}
    return ours, theirs, Dump(dump).explain()


def report(version, ours, theirs, explained):
    only, unreached = explained
    total = lambda counts: (sum(c[0] for c in counts.values()), sum(c[1] for c in counts.values()))
    print(f"\nJDK {version}: snapshot {total(ours)[0]:,} objects, {total(ours)[1]:,} B; "
          f"jcmd GC.class_histogram {total(theirs)[0]:,} objects, {total(theirs)[1]:,} B")
    print("| class | snapshot | jcmd | instances | bytes | only via resolved references or init locks | unreached in the JVM's dump | unexplained |")
    print("|---|---|---|---|---|---|---|---|")
    beyond = 0
    for name in sorted(set(ours) | set(theirs), key=lambda n: -abs(theirs.get(n, (0, 0))[1] - ours.get(n, (0, 0))[1])):
        (oi, ob), (ti, tb) = ours.get(name, (0, 0)), theirs.get(name, (0, 0))
        share = lambda a, b: (a - b) / b * 100 if b else float("inf")
        if abs(share(oi, ti)) <= 1 and abs(share(ob, tb)) <= 1:
            continue
        # Negative: the snapshot holds objects the JVM's dump does not reach.
        left = max(0, ti - oi - only[name] - unreached[name])
        why = "class and thread objects" if name in CLASS_AND_THREAD else f"{left:,}"
        beyond += name not in CLASS_AND_THREAD and left > ti / 100
        print(f"| {name} | {oi:,} | {ti:,} | {share(oi, ti):+.1f} % | {share(ob, tb):+.1f} % | {only[name]:,} "
              f"| {unreached[name]:,} | {why} |")
    print(f"classes beyond 1 % that the JVM's dump does not explain: {beyond}")


def main():
    parser = arguments(__doc__)
    parser.add_argument("--main", default="SampleApp",
                        help="the demo application's main class; it prints \"... ready\" once set up")
    args = parse(parser)
    for jdk in args.jdk:
        work = os.path.join(args.work, os.path.basename(jdk))
        os.makedirs(work)
        report(jdk_version(jdk), *run(argparse.Namespace(**{**vars(args), "jdk": jdk}), work))


if __name__ == "__main__":
    try:
        main()
    finally:
        stop_jvms()
