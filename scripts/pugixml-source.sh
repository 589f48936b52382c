#!/usr/bin/env bash
# Unpacks Debian's pugixml source package into DIR (for the Windows build,
# which compiles pugixml itself). Needs the deb-src entry scripts/setup.sh adds.
set -euo pipefail
dest=${1:?usage: pugixml-source.sh DIR}
[[ -f $dest/src/pugixml.cpp ]] && exit 0

download=$(mktemp -d)
trap 'rm -rf "$download"' EXIT
# apt-get checks the files against the signed Sources index.
(cd "$download" && apt-get source --download-only -qq pugixml >/dev/null 2>&1) || {
  echo "pugixml-source.sh: apt-get source pugixml failed (deb-src entry missing? run scripts/setup.sh)" >&2
  exit 1
}
rm -rf "$dest.tmp" && mkdir -p "$dest.tmp"
tar -xf "$download"/pugixml_*.orig.tar.* -C "$dest.tmp" --strip-components=1
rm -rf "$dest" && mv "$dest.tmp" "$dest"
