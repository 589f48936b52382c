#!/usr/bin/env bash
# Builds everything and runs the whole test suite, then the sanitizer build:
# unit tests under ASan and UBSan and a bounded run of the request fuzzer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
ctest --test-dir build --output-on-failure -j2
scripts/sanitize.sh
