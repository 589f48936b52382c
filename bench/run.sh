#!/usr/bin/env bash
# Snapshot benchmark: heaps of 1, 2.5 and 5 million objects, each measured by
# the floor agent and by the snapshot agent in each untag mode (tag, walk and
# untag times, safepoint pauses, resident memory), on JDK 17 and JDK 25.
#
# usage: bench/run.sh [JDK_HOME...]       default: JDK 17 and JDK 25
#   VESK_BENCH_SIZES="1000000,2500000"  other heap sizes
#   VESK_BENCH_RUNS=1                    runs per cell (default 3; medians)
#   VESK_BENCH_MODES="dispose,walk"      untag modes to measure; "floor-dispose" adds the floor
#                                        agent with its tags disposed of instead of walked off
#   VESK_BENCH_BUILD=DIR                 build directory (default build-bench)
#   VESK_BENCH_BEFORE=LIB                another build of the agent, measured beside as "before"
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/bench/jdks.sh" "$@"
build=${VESK_BENCH_BUILD:-$root/build-bench}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target veskjagent veskfloor -j2 >/dev/null

source "$root/bench/workdir.sh" "${homes[0]}"
python3 "$root/bench/bench.py" "${jdks[@]}" --agent "$build/libveskjagent.so" --floor "$build/bench/libveskfloor.so" \
  --classes "$work/classes" --work "$work" --config "$work/agent.properties" \
  --sizes "${VESK_BENCH_SIZES:-1000000,2500000,5000000}" --runs "${VESK_BENCH_RUNS:-3}" \
  --modes "${VESK_BENCH_MODES:-dispose,iterate,walk}" ${VESK_BENCH_BEFORE:+--before "$VESK_BENCH_BEFORE"}
