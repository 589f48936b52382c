#!/usr/bin/env bash
# Compression on the wire: SNAPSHOT and HEAPDUMP of bench heaps (default 1
# and 5 million objects), plain (--no-compress) and zstd-compressed (saved as
# FILE.zst), on loopback and through a link of 100 Mbit/s (a veth pair into a
# network namespace, shaped with tc's token bucket: needs root; left out
# otherwise): bytes on the wire, time to the saved file, the agent's CPU time
# outside the pause (its client thread) and the JVM's pause. One JVM per heap
# serves every request; figures, not assertions, and noisy on a busy machine:
# the load average is printed beside them.
#
# usage: bench/wire.sh [JDK_HOME]          default: JDK 17
#   VESK_BENCH_SIZES="1000000,5000000"    other heap sizes
#   VESK_BENCH_LINKS="loopback,100mbit"   which links
#   VESK_BENCH_BUILD=DIR                   build directory (default build-bench)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/bench/jdks.sh" "${@:-/usr/lib/jvm/java-17-openjdk-amd64}"
build=${VESK_BENCH_BUILD:-$root/build-bench}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target veskjagent vesk -j2 >/dev/null

source "$root/bench/workdir.sh" "${homes[0]}"
python3 "$root/bench/wire.py" --jdk "${homes[0]}" --agent "$build/libveskjagent.so" --vesk "$build/client/vesk" \
  --classes "$work/classes" --work "$work" --config "$work/agent.properties" \
  --sizes "${VESK_BENCH_SIZES:-1000000,5000000}" --links "${VESK_BENCH_LINKS:-loopback,100mbit}"
