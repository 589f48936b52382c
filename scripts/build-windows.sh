#!/usr/bin/env bash
# Cross-builds the Windows x64 agent, build-win/veskjagent.dll, with mingw-w64.
# pugixml is compiled from Debian's source package, fetched at build time.
set -euo pipefail
cd "$(dirname "$0")/.."
VESK_WINDOWS=1 scripts/setup.sh

src_list=/etc/apt/sources.list.d/vesk-src.sources
if ! apt-get indextargets 2>/dev/null | grep -q 'Created-By: Sources'; then
  sudo=""; [[ $(id -u) -ne 0 ]] && sudo=sudo
  $sudo tee "$src_list" >/dev/null <<SRC
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  $sudo apt-get update -qq
fi

pugi=build-win/pugixml-src
if [[ ! -f $pugi/src/pugixml.cpp ]]; then
  rm -rf build-win/pugixml-dl && mkdir -p build-win/pugixml-dl
  (cd build-win/pugixml-dl && apt-get source --download-only pugixml >/dev/null 2>&1)
  mkdir -p "$pugi"
  tar -xzf build-win/pugixml-dl/pugixml_*.orig.tar.gz -C "$pugi" --strip-components=1
fi

cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DVESK_BUILD_TESTS=OFF -DVESK_PUGIXML_SOURCE="$PWD/$pugi" "$@" >/dev/null
cmake --build build-win -j2 --target veskjagent
echo "Built $PWD/build-win/veskjagent.dll"
