#!/usr/bin/env bash
# Cross-builds the Windows x64 agent, build-win/veskjagent.dll, with mingw-w64.
# pugixml and zstd are compiled from Debian's source packages, fetched at build time.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/debian-source.sh pugixml build-win/pugixml-src
scripts/debian-source.sh libzstd build-win/zstd-src

cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DVESK_BUILD_TESTS=OFF -DVESK_PUGIXML_SOURCE="$PWD/build-win/pugixml-src" \
  -DVESK_ZSTD_SOURCE="$PWD/build-win/zstd-src" "$@" >/dev/null
cmake --build build-win -j2 --target veskjagent
echo "Built $PWD/build-win/veskjagent.dll"
