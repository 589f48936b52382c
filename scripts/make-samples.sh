#!/usr/bin/env bash
# Writes the files scripts/compare-outputs.sh is run on into DIR, all from
# one JVM of the leak fixture (a planted leak and planted waste): heap.vsnap,
# heap.vsnap.zst, heap.hprof (vesk dump), heap-jcmd.hprof (the JVM's own
# dump), then before.vsnap and, once the leak has grown, after.vsnap.
#
# usage: scripts/make-samples.sh DIR [INSTALL_TREE]   default tree: build/install
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
[ $# -ge 1 ] || { echo "usage: $0 DIR [INSTALL_TREE]" >&2; exit 2; }
dir=$(mkdir -p "$1" && cd "$1" && pwd)
tree=$(cd "${2:-$root/build/install}" && pwd)
vesk=$tree/bin/vesk
agent=$(find "$tree" -name libveskjagent.so | head -n 1)
[ -x "$vesk" ] && [ -n "$agent" ] || { echo "no vesk or agent in $tree" >&2; exit 2; }

work=$(mktemp -d /tmp/vesk-samples.XXXXXX)
jvm=
trap '[ -z "$jvm" ] || kill "$jvm" 2>/dev/null; rm -rf "$work"' EXIT
javac -d "$work/classes" "$root/tests/fixtures/LeakFixture.java"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
java "-agentpath:$agent=port=$port,address=127.0.0.1" -cp "$work/classes" leak.LeakFixture "$work/grow" \
  >"$work/app.out" 2>&1 &
jvm=$!
await() { until grep -q "$1" "$work/app.out"; do kill -0 "$jvm" || exit 1; sleep 0.1; done; }
await "leak ready"

v() { "$vesk" --port "$port" --timeout 60 "$@" >/dev/null; }
v snapshot -o "$dir/heap.vsnap"
v snapshot -o "$dir/heap.vsnap.zst"
v dump -o "$dir/heap.hprof"
rm -f "$dir/heap-jcmd.hprof"
jcmd "$jvm" GC.heap_dump "$dir/heap-jcmd.hprof" >/dev/null
v snapshot -o "$dir/before.vsnap"
touch "$work/grow"
await "leak grown"
v snapshot -o "$dir/after.vsnap"
ls -l "$dir"
