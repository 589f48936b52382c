#!/usr/bin/env bash
# Scale benchmark of the analysis: `vesk top` on a snapshot stream and on an
# HPROF dump of the same bench heap, at several sizes, beside `sha256sum` of
# the same file in the same run: wall time, peak resident memory, bytes per
# object, the first command and the second on an indexed file, and the
# retained sizes of the fixture's known structures across inputs and sizes.
# With a baseline build given, it runs beside this one and their JSON must
# match. VisualVM's heap library runs on the dumps while it finishes in time.
# The inputs are kept in VESK_BENCH_INPUTS (default /tmp/vesk-bench-inputs)
# for later runs: about 200 MiB per million objects. Run on a quiet machine.
#
# usage: bench/analysis-scale.sh [BASELINE_VESK]
#   VESK_BENCH_SIZES="1000000,5000000,20000000,50000000"   heap sizes, both inputs
#   VESK_BENCH_HPROF_ONLY="100000000"      sizes measured from a dump only
#   VESK_BENCH_BUILD=DIR                   build directory (default build-bench)
#   VESK_BENCH_JDK=DIR                     default JDK 17
#   VESK_BENCH_LIMIT=SECONDS               time the heap library gets (default 180)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jdk=${VESK_BENCH_JDK:-/usr/lib/jvm/java-17-openjdk-amd64}
build=${VESK_BENCH_BUILD:-$root/build-bench}
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (apt-get install time)" >&2; exit 2; }
heaplib=${VESK_HEAPLIB_JAR:-$(find /usr/share/visualvm -name org-graalvm-visualvm-lib-jfluid-heap.jar 2>/dev/null | head -n 1)}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target veskjagent vesk -j2 >/dev/null

source "$root/bench/workdir.sh" "$jdk"
[ -z "$heaplib" ] || "$jdk/bin/javac" --release 17 -cp "$heaplib" -d "$work/classes" "$root/bench/HeapLibTop.java"
vesks=()
[ -z "${1:-}" ] || vesks+=(--vesk "before=$1")
vesks+=(--vesk "after=$build/client/vesk")
python3 "$root/bench/analysis_scale.py" --jdk "$jdk" --agent "$build/libveskjagent.so" --classes "$work/classes" \
  --work "$work" --config "$work/agent.properties" --inputs "${VESK_BENCH_INPUTS:-/tmp/vesk-bench-inputs}" \
  --sizes "${VESK_BENCH_SIZES:-1000000,5000000,20000000,50000000}" --hprof-only "${VESK_BENCH_HPROF_ONLY:-100000000}" \
  --heaplib "$heaplib" --limit "${VESK_BENCH_LIMIT:-180}" "${vesks[@]}"
