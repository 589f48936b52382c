#!/usr/bin/env bash
# Configures, builds and installs the agent and client into build/install.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2
cmake --install build --prefix build/install >/dev/null
