#!/usr/bin/env bash
# Builds the agent, vesk and the floor agent once, then runs one benchmark
# driver in a private work directory, removed on exit together with any JVM
# the driver could not stop. Figures, not assertions; most take a while and
# several GiB: run them on a quiet machine.
#
# usage: bench/bench.sh NAME [OPTION...]      bench/bench.sh NAME --help: its options
#   snapshot-pause   the snapshot agent's tag, walk and untag times, pauses and memory beside a bare heap walk
#   dump             SNAPSHOT, HEAPDUMP and jcmd GC.heap_dump: pauses, time to the file, memory
#   snapshot-source  SNAPSHOT by the walk, from the JVM's heap dump and HEAPDUMP: pauses, last byte, memory
#   wire             bytes on the wire and time, plain and zstd, on loopback and a 100 Mbit/s link
#   analysis         vesk top beside VisualVM's heap library, time and memory
#   analysis-scale   vesk top at growing sizes beside sha256sum; --baseline VESK compares two builds
#   serve            vesk serve: time to the first answer, each API call's p50 and p95, peak memory
#   growth           suspects OLD NEW on two dumps of the bench heap; --baseline VESK compares two builds
#   growth-trials    suspects and diff --holders on Tomcat sessions, an H2 table and index, load then idle
#   histogram        a snapshot's class histogram beside jcmd GC.class_histogram
#   histogram-pause  HISTOGRAM's pause beside jcmd GC.class_histogram -all, HEAPDUMP and SNAPSHOT
#   request-memory   resident memory over requests on fresh connections
#   details          an input's details: memory per object, Fields' latency on a 1 M-object dump
#   oom-dump         oom-dump=DIR beside -XX:+HeapDumpOnOutOfMemoryError: time to the file, its size, peak disk
#   tls              a compressed snapshot and dump through TLS beside plain TCP: time and the JVM's CPU
#   VESK_BENCH_BUILD=DIR    build directory (default build-bench)
#   VESK_HEAPLIB_JAR=PATH   VisualVM's heap library, when not where Debian's visualvm package puts it
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
driver=$root/bench/${1:-}.py
if [ $# -eq 0 ] || [ ! -f "$driver" ] || [ "$1" = benchlib ]; then
  sed -n '2,/^set/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2
  exit 2
fi
shift
case " $* " in *" --help "* | *" -h "*) exec python3 "$driver" --help ;; esac
build=${VESK_BENCH_BUILD:-$root/build-bench}
jdk=/usr/lib/jvm/java-17-openjdk-amd64
heaplib=${VESK_HEAPLIB_JAR:-$(find /usr/share/visualvm -name org-graalvm-visualvm-lib-jfluid-heap.jar 2>/dev/null | head -n 1 || true)}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target veskjagent vesk veskfloor vesk_details_bench -j2 >/dev/null

work=$(mktemp -d /tmp/vesk-bench.XXXXXX)
cleanup() {
  if [ -f "$work/jvm.pids" ]; then
    while read -r pid; do kill -9 "$pid" 2>/dev/null || true; done <"$work/jvm.pids"
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

"$jdk/bin/javac" --release 17 -d "$work/classes" "$root/bench/BenchHeap.java"
[ -z "$heaplib" ] || "$jdk/bin/javac" --release 17 -cp "$heaplib" -d "$work/classes" \
  "$root/bench/HeapLibTop.java" "$root/bench/HeapLibCount.java"
printf 'vesk.agent.log.level=ERROR\nvesk.agent.log.file=%s/agent_%%P.log\n' "$work" >"$work/agent.properties"
python3 "$driver" --agent "$build/libveskjagent.so" --floor "$build/bench/libveskfloor.so" --vesk "$build/client/vesk" \
  --heaplib "$heaplib" --classes "$work/classes" --work "$work" --config "$work/agent.properties" \
  --app "$root/scripts/demo/SampleApp.java" "$@"
