#!/usr/bin/env bash
# Heap dump benchmark: heaps of 1, 2.5 and 5 million objects, each taken by
# SNAPSHOT (vesk snapshot -o), by HEAPDUMP (vesk dump -o) and by the JVM's own
# dump to a file (jcmd GC.heap_dump), each in a JVM of its own, on JDK 17 and
# JDK 25: safepoint time during the request, time to the saved file, resident
# memory growth; then vesk top (histo where top is missing) on the saved HPROF,
# and VisualVM's heap library counting the objects of the redacted dump and of
# the JVM's own dump of the same JVM. Figures, not assertions. Takes a while
# and several GiB: run it on a quiet machine.
#
# usage: bench/dump.sh [JDK_HOME...]     default: JDK 17 and JDK 25
#   VESK_BENCH_SIZES="1000000,2500000"  other heap sizes
#   VESK_BENCH_BUILD=DIR                 build directory (default build-bench)
#   VESK_HEAPLIB_JAR=PATH                VisualVM's heap library, when elsewhere
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/bench/jdks.sh" "$@"
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (apt-get install time)" >&2; exit 2; }
heaplib=${VESK_HEAPLIB_JAR:-$(find /usr/share/visualvm -name org-graalvm-visualvm-lib-jfluid-heap.jar 2>/dev/null | head -n 1)}
[ -n "$heaplib" ] || echo "VisualVM's heap library not found (apt-get install visualvm); objects not counted" >&2
build=${VESK_BENCH_BUILD:-$root/build-bench}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target veskjagent vesk -j2 >/dev/null

source "$root/bench/workdir.sh" "${homes[0]}"
[ -z "$heaplib" ] || "${homes[0]}/bin/javac" --release 17 -cp "$heaplib" -d "$work/classes" "$root/bench/HeapLibCount.java"
python3 "$root/bench/dump.py" "${jdks[@]}" --agent "$build/libveskjagent.so" --vesk "$build/client/vesk" \
  --heaplib "$heaplib" --classes "$work/classes" --work "$work" --config "$work/agent.properties" \
  --sizes "${VESK_BENCH_SIZES:-1000000,2500000,5000000}"
