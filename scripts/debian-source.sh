#!/usr/bin/env bash
# Unpacks the upstream sources of a Debian source package into DIR (for the
# Windows build, which compiles pugixml and zstd itself). Needs the deb-src
# entry scripts/setup.sh adds.
set -euo pipefail
package=${1:?usage: debian-source.sh PACKAGE DIR}
dest=${2:?usage: debian-source.sh PACKAGE DIR}
[[ -f $dest/.unpacked ]] && exit 0

download=$(mktemp -d)
trap 'rm -rf "$download"' EXIT
# apt-get checks the files against the signed Sources index.
(cd "$download" && apt-get source --download-only -qq "$package" >/dev/null 2>&1) || {
  echo "debian-source.sh: apt-get source $package failed (deb-src entry missing? run scripts/setup.sh)" >&2
  exit 1
}
rm -rf "$dest.tmp" && mkdir -p "$dest.tmp"
# The upstream tarball, not its signature (.asc) beside it.
tarball=$(ls "$download"/"$package"_*.orig.tar.* | grep -v '\.asc$' | head -n 1)
tar -xf "$tarball" -C "$dest.tmp" --strip-components=1
touch "$dest.tmp/.unpacked"
rm -rf "$dest" && mv "$dest.tmp" "$dest"
