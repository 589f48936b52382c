#!/usr/bin/env bash
# Analysis benchmark: heaps of 1, 2.5 and 5 million objects, each saved as a
# snapshot (vesk snapshot -o) and as an HPROF dump (jcmd GC.heap_dump) of the
# same heap; then vesk top on the snapshot beside VisualVM's heap library on
# the dump, asked the same question: the objects of largest retained size.
# Wall time and peak memory from /usr/bin/time -v. Takes a while and several
# GiB: run it on a quiet machine.
#
# usage: bench/analysis.sh [JDK_HOME]   default: JDK 17
#   VESK_BENCH_SIZES="1000000,2500000"  other heap sizes
#   VESK_BENCH_BUILD=DIR                 build directory (default build-bench)
#   VESK_BENCH_LIMIT=SECONDS             time the heap library gets (default 180)
#   VESK_HEAPLIB_JAR=PATH                VisualVM's heap library, when elsewhere
# The heap library comes with Debian's visualvm package (apt-get install
# visualvm); without it, only vesk is measured.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jdk=${1:-${VESK_BENCH_JDK:-/usr/lib/jvm/java-17-openjdk-amd64}}
build=${VESK_BENCH_BUILD:-$root/build-bench}
[ -x "$jdk/bin/java" ] || { echo "no JDK at $jdk" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (apt-get install time)" >&2; exit 2; }
heaplib=${VESK_HEAPLIB_JAR:-$(find /usr/share/visualvm -name org-graalvm-visualvm-lib-jfluid-heap.jar 2>/dev/null | head -n 1)}
if [ -z "$heaplib" ]; then
  echo "VisualVM's heap library not found: apt-get install visualvm (or set VESK_HEAPLIB_JAR); measuring vesk alone" >&2
fi

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target veskjagent vesk -j2 >/dev/null

source "$root/bench/workdir.sh" "$jdk"
[ -z "$heaplib" ] || "$jdk/bin/javac" --release 17 -cp "$heaplib" -d "$work/classes" "$root/bench/HeapLibTop.java"
python3 "$root/bench/analysis.py" --jdk "$jdk" --agent "$build/libveskjagent.so" --vesk "$build/client/vesk" \
  --heaplib "$heaplib" --classes "$work/classes" --work "$work" --config "$work/agent.properties" \
  --limit "${VESK_BENCH_LIMIT:-180}" --sizes "${VESK_BENCH_SIZES:-1000000,2500000,5000000}"
