#!/usr/bin/env bash
# Snapshot source benchmark: heaps of 2.5 and 10 million objects, each taken
# by SNAPSHOT from the walk, by SNAPSHOT from the JVM's heap dump
# (source="dump") and by HEAPDUMP, each in a JVM of its own, on JDK 17 and
# JDK 25: the safepoint pauses during the request (-Xlog:safepoint), the time
# to the answer's last byte, and the JVM's resident memory before, at peak and
# after. Figures, not assertions. Takes a while and several GiB (the dump
# goes to /dev/shm): run it on a quiet machine.
#
# usage: bench/source.sh [JDK_HOME...]     default: JDK 17 and JDK 25
#   VESK_BENCH_SIZES="2500000,10000000"   other heap sizes
#   VESK_BENCH_BUILD=DIR                  build directory (default build-bench)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/bench/jdks.sh" "$@"
build=${VESK_BENCH_BUILD:-$root/build-bench}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target veskjagent -j2 >/dev/null

source "$root/bench/workdir.sh" "${homes[0]}"
python3 "$root/bench/source.py" "${jdks[@]}" --agent "$build/libveskjagent.so" --classes "$work/classes" \
  --work "$work" --config "$work/agent.properties" --sizes "${VESK_BENCH_SIZES:-2500000,10000000}"
