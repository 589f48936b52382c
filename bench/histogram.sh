#!/usr/bin/env bash
# How a snapshot's class histogram compares with the JVM's own
# (jcmd GC.class_histogram) on the demo's sample application, per JDK: every
# class beyond 1 %, with what the JVM's own heap dump of the same moment says
# of the difference. Figures, not assertions.
#
# usage: bench/histogram.sh [JDK_HOME...]   default: JDK 17 and JDK 25
#   VESK_BENCH_BUILD=DIR                     build directory (default build-bench)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/bench/jdks.sh" "$@"
build=${VESK_BENCH_BUILD:-$root/build-bench}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target veskjagent vesk -j2 >/dev/null

work=$(mktemp -d /tmp/vesk-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
python3 "$root/bench/histogram.py" "${jdks[@]}" --agent "$build/libveskjagent.so" --vesk "$build/client/vesk" \
  --app "$root/scripts/demo/SampleApp.java" --work "$work"
