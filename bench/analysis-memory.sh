#!/usr/bin/env bash
# Memory benchmark of the analysis: peak resident memory and wall time of
# `vesk top --json` on a snapshot and an HPROF dump of the same bench heap,
# for this build and, when given, a baseline build, whose JSON must match.
# The inputs are kept in VESK_BENCH_INPUTS (default /tmp/vesk-bench-inputs)
# for later runs: several GiB at 20 M objects.
#
# usage: bench/analysis-memory.sh [BASELINE_VESK]
#   VESK_BENCH_SIZES="1000000,5000000"   heap sizes
#   VESK_BENCH_BUILD=DIR                  build directory (default build-bench)
#   VESK_BENCH_JDK=DIR                    default JDK 17
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jdk=${VESK_BENCH_JDK:-/usr/lib/jvm/java-17-openjdk-amd64}
build=${VESK_BENCH_BUILD:-$root/build-bench}
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (apt-get install time)" >&2; exit 2; }

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target veskjagent vesk -j2 >/dev/null

source "$root/bench/workdir.sh" "$jdk"
vesks=()
[ -z "${1:-}" ] || vesks+=(--vesk "before=$1")
vesks+=(--vesk "after=$build/client/vesk")
python3 "$root/bench/analysis_memory.py" --jdk "$jdk" --agent "$build/libveskjagent.so" --classes "$work/classes" \
  --work "$work" --config "$work/agent.properties" --inputs "${VESK_BENCH_INPUTS:-/tmp/vesk-bench-inputs}" \
  --sizes "${VESK_BENCH_SIZES:-1000000,5000000}" "${vesks[@]}"
