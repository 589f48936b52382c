#!/usr/bin/env bash
# The sanitizer build (clang, AddressSanitizer and UndefinedBehaviorSanitizer)
# in build-san/: runs the unit tests, then the request fuzzer for
# VESK_FUZZ_SECONDS (default 60) from the corpus in tests/fuzz/, and the
# stream fuzzer (the snapshot reader's fast path against expat) for
# VESK_STREAM_FUZZ_SECONDS (default 30).
set -euo pipefail
cd "$(dirname "$0")/.."
CXX=clang++ cmake -S . -B build-san -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESK_SANITIZE=ON \
  -DVESK_WINDOWS_CHECKS=OFF >/dev/null
cmake --build build-san -j2 --target vesk_unit_tests vesk_request_fuzzer vesk_stream_fuzzer

export UBSAN_OPTIONS=print_stacktrace=1
build-san/tests/vesk_unit_tests --gtest_brief=1

work=$(mktemp -d /tmp/vesk-fuzz.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/found" "$work/tmp"
# New inputs go to a scratch directory; the checked-in corpus stays as it is.
TEMP=$work/tmp build-san/tests/fuzz/vesk_request_fuzzer -max_total_time="${VESK_FUZZ_SECONDS:-60}" \
  -max_len=4096 -timeout=10 -print_final_stats=1 -dict=tests/fuzz/requests.dict \
  -artifact_prefix=build-san/fuzz- "$work/found" tests/fuzz/corpus 2>"$work/fuzz.log" ||
  { tail -60 "$work/fuzz.log"; echo "failing input: build-san/fuzz-*" >&2; exit 1; }
grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)|^#[0-9]+\s+DONE' "$work/fuzz.log"

mkdir "$work/found-stream"
build-san/tests/fuzz/vesk_stream_fuzzer -max_total_time="${VESK_STREAM_FUZZ_SECONDS:-30}" \
  -max_len=4096 -timeout=10 -print_final_stats=1 -dict=tests/fuzz/stream.dict \
  -artifact_prefix=build-san/stream-fuzz- "$work/found-stream" tests/fuzz/stream-corpus 2>"$work/stream-fuzz.log" ||
  { tail -60 "$work/stream-fuzz.log"; echo "failing input: build-san/stream-fuzz-*" >&2; exit 1; }
grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)|^#[0-9]+\s+DONE' "$work/stream-fuzz.log"
