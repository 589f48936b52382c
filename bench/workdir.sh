# Sourced by the benchmark scripts: a private work directory in $work, removed
# on exit together with any JVM the driver recorded in jvm.pids and could not
# kill; the bench heap compiled into $work/classes with JDK $1; the agent's
# configuration in $work/agent.properties.
work=$(mktemp -d /tmp/vesk-bench.XXXXXX)
cleanup() {
  if [ -f "$work/jvm.pids" ]; then
    while read -r pid; do kill -9 "$pid" 2>/dev/null || true; done <"$work/jvm.pids"
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

"$1/bin/javac" --release 17 -d "$work/classes" "$root/bench/BenchHeap.java"
printf 'vesk.agent.log.level=ERROR\nvesk.agent.log.file=%s/agent_%%P.log\n' "$work" >"$work/agent.properties"
