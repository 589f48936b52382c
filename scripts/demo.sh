#!/usr/bin/env bash
# Demo: starts a sample JVM, loads the agent into it with vesk attach (as
# into any running JVM; -agentpath at start-up works as well), takes a
# snapshot with the vesk client, prints a class histogram, writes an HTML report of the heap and
# saves a redacted HPROF heap dump.
# Cleans up the JVM whatever happens.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh

prefix=$PWD/build/install
work=$(mktemp -d /tmp/vesk-demo.XXXXXX)
javac -d "$work" scripts/demo/SampleApp.java
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
cat > "$work/veskjagent.properties" <<PROPS
vesk.agent.log.level=DEBUG
vesk.agent.log.file=$work/veskjagent_%P.log
PROPS

java -cp "$work" SampleApp >"$work/app.out" 2>&1 &
jvm=$!
trap 'kill $jvm 2>/dev/null; wait $jvm 2>/dev/null || true; rm -rf "$work"' EXIT

for _ in $(seq 100); do grep -q "SampleApp ready" "$work/app.out" && break; sleep 0.1; done
cat "$work/app.out"
vesk="$prefix/bin/vesk"
echo; echo "\$ vesk attach $jvm --port $port -- cfgfile=veskjagent.properties"
"$vesk" attach "$jvm" --port "$port" -- "cfgfile=$work/veskjagent.properties"
# Long outputs are cut with head; buffer them first so no pipe breaks.
run() { echo; echo "\$ vesk $*"; "$vesk" --port "$port" "$@" >"$work/out.txt"; head -n "${LINES_SHOWN:-40}" "$work/out.txt"; }
run runtime
LINES_SHOWN=8 run props
run gc
run snapshot -o "$work/heap.vsnap"
LINES_SHOWN=25 run histo "$work/heap.vsnap"
run dump -o "$work/heap.hprof"
LINES_SHOWN=12 run top "$work/heap.vsnap" -n 8
run path "$work/heap.vsnap" --class 'SampleApp$Order' -n 1
LINES_SHOWN=30 run suspects "$work/heap.vsnap" -n 3
LINES_SHOWN=12 run histo "$work/heap.hprof"

echo; echo "Agent log (last lines):"
tail -n 12 "$work"/veskjagent_*.log

# The report outlives the demo's temporary directory.
report=$PWD/build/sample-report.html
echo; echo "\$ vesk report heap.vsnap -o $report"
"$vesk" report "$work/heap.vsnap" -o "$report"
