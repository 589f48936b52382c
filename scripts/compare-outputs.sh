#!/usr/bin/env bash
# Runs every analysis command of two vesk builds on the same files, as JSON
# and as tables, and reports where their outputs (stdout, stderr, exit
# status, the HTML report, the index left beside each file) differ. Each
# file is analysed once without the index and again with it (the first
# command of that pass writes it). Consecutive files are compared as pairs
# (diff, diff --retained, suspects OLD NEW, report OLD NEW).
#
# usage: scripts/compare-outputs.sh OLD_VESK NEW_VESK FILE...
# Exit status: 0 all the same, 1 something differs, 2 bad usage.
set -uo pipefail
[ $# -ge 3 ] || { echo "usage: $0 OLD_VESK NEW_VESK FILE..." >&2; exit 2; }
declare -A vesk=([old]=$(realpath "$1") [new]=$(realpath "$2"))
shift 2
work=$(mktemp -d /tmp/vesk-compare.XXXXXX)
trap 'rm -rf "$work"' EXIT

# One copy of the files, analysed by one side after the other; each side's
# index is moved aside with its outputs before the next side runs.
files=()
mkdir -p "$work/in" "$work/old" "$work/new"
for f in "$@"; do
  [ -f "$f" ] || { echo "no such file: $f" >&2; exit 2; }
  files+=("${#files[@]}-$(basename "$f")")
  cp "$f" "$work/in/${files[-1]}"
done

# run SIDE NAME ARGS...: vesk's stdout, stderr with the exit status, and a
# page written to report.html, as SIDE/NAME.{out,err,html}. One cache directory
# for both sides: the index notice names it.
run() {
  local side=$1 name=$2
  shift 2
  (cd "$work/in" && XDG_CACHE_HOME="$work/cache" "${vesk[$side]}" "$@" \
    >"$work/$side/$name.out" 2>"$work/$side/$name.err"; echo "exit $?" >>"$work/$side/$name.err")
  [ ! -f "$work/in/report.html" ] || mv "$work/in/report.html" "$work/$side/$name.html"
}

# Every command on one file, in one pass (index: --no-index or nothing).
single() {
  local side=$1 pass=$2 f=$3 p="$2-$3"
  local index=(); [ "$pass" = noindex ] && index=(--no-index)
  run "$side" "$p-top-json" "${index[@]}" top "$f" --json
  run "$side" "$p-top" "${index[@]}" top "$f"
  run "$side" "$p-top-all" "${index[@]}" top "$f" --all --bytes
  run "$side" "$p-top-class-json" "${index[@]}" top "$f" --by-class --json
  run "$side" "$p-top-class" "${index[@]}" top "$f" --by-class
  run "$side" "$p-histo-json" "${index[@]}" histo "$f" --json
  run "$side" "$p-histo" "${index[@]}" histo "$f"
  run "$side" "$p-suspects-json" "${index[@]}" suspects "$f" --json
  run "$side" "$p-suspects" "${index[@]}" suspects "$f"
  run "$side" "$p-report" "${index[@]}" report "$f" -o report.html
  # The object and class to trace are taken from the old side's answer.
  local tag class
  tag=$(jq -r '.top[0].tag // empty' "$work/old/$p-top-json.out" 2>/dev/null)
  class=$(jq -r '[.classes[].name | select(endswith("]") or . == "java.lang.Class" | not)][0] // empty' \
    "$work/old/$p-top-class-json.out" 2>/dev/null)
  run "$side" "$p-path-tag-json" "${index[@]}" path "$f" "${tag:-0}" --json
  run "$side" "$p-path-tag" "${index[@]}" path "$f" "${tag:-0}" --all-refs
  run "$side" "$p-path-class-json" "${index[@]}" path "$f" --class "${class:-java.lang.String}" --json
  run "$side" "$p-path-class" "${index[@]}" path "$f" --class "${class:-java.lang.String}"
}

pair() {
  local side=$1 pass=$2 a=$3 b=$4 p="$2-$3-$4"
  local index=(); [ "$pass" = noindex ] && index=(--no-index)
  run "$side" "$p-diff-json" "${index[@]}" diff "$a" "$b" --json
  run "$side" "$p-diff" "${index[@]}" diff "$a" "$b"
  run "$side" "$p-diff-retained-json" "${index[@]}" diff --retained "$a" "$b" --json
  run "$side" "$p-diff-retained" "${index[@]}" diff --retained "$a" "$b"
  run "$side" "$p-suspects-pair-json" "${index[@]}" suspects "$a" "$b" --json
  run "$side" "$p-suspects-pair" "${index[@]}" suspects "$a" "$b"
  run "$side" "$p-report-pair" "${index[@]}" report "$a" "$b" -o report.html
}

for side in old new; do
  for pass in noindex index; do
    for f in "${files[@]}"; do single "$side" "$pass" "$f"; done
    for ((i = 1; i < ${#files[@]}; i++)); do pair "$side" "$pass" "${files[i-1]}" "${files[i]}"; done
  done
  for f in "${files[@]}"; do [ ! -f "$work/in/$f.vidx" ] || mv "$work/in/$f.vidx" "$work/$side/"; done
done

total=0 differ=0
for a in "$work"/old/*; do
  [ -f "$a" ] || continue
  name=${a##*/}
  total=$((total + 1))
  if ! cmp -s "$a" "$work/new/$name"; then
    differ=$((differ + 1))
    echo "DIFFERS: $name"
    diff -u --label old --label new "$a" "$work/new/$name" 2>&1 | head -n 12 | cut -c1-200
  fi
done
echo "$differ of $total outputs differ (${#files[@]} files; old ${vesk[old]}, new ${vesk[new]})"
[ "$differ" -eq 0 ]
