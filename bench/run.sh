#!/usr/bin/env bash
# Snapshot benchmark: heaps of 1, 2.5 and 5 million objects, each measured by
# the snapshot agent (its own metrics, streaming to a client that drops the
# bytes, resident memory), by the floor agent and by jcmd GC.heap_dump.
#
# usage: bench/run.sh [JDK_HOME]        default: JDK 17
#   VESK_BENCH_SIZES="1000000,2500000"  other heap sizes
#   VESK_BENCH_BUILD=DIR                 build directory (default build-bench)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jdk=${1:-${VESK_BENCH_JDK:-/usr/lib/jvm/java-17-openjdk-amd64}}
build=${VESK_BENCH_BUILD:-$root/build-bench}
[ -x "$jdk/bin/java" ] || { echo "no JDK at $jdk" >&2; exit 2; }

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target veskjagent veskfloor -j2 >/dev/null

work=$(mktemp -d /tmp/vesk-bench.XXXXXX)
cleanup() {
  # The driver kills its JVMs; this catches any it could not.
  if [ -f "$work/jvm.pids" ]; then
    while read -r pid; do kill -9 "$pid" 2>/dev/null || true; done <"$work/jvm.pids"
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

"$jdk/bin/javac" --release 17 -d "$work/classes" "$root/bench/BenchHeap.java"
printf 'vesk.agent.log.level=ERROR\nvesk.agent.log.file=%s/agent_%%P.log\n' "$work" >"$work/agent.properties"
python3 "$root/bench/bench.py" --jdk "$jdk" --agent "$build/libveskjagent.so" --floor "$build/bench/libveskfloor.so" \
  --classes "$work/classes" --work "$work" --config "$work/agent.properties" \
  --sizes "${VESK_BENCH_SIZES:-1000000,2500000,5000000}"
