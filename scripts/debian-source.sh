#!/usr/bin/env bash
# Unpacks a Debian source package, with Debian's patches applied, into DIR:
# for the Windows build, which compiles pugixml and zstd itself, and for the
# static vesk, which compiles cpp-httplib in. Needs the deb-src entry
# scripts/setup.sh adds.
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
rm -rf "$dest.tmp"
mkdir -p "$(dirname "$dest")"
# The files' hashes are checked already; dpkg-source applies Debian's patches
# (security fixes among them) to the upstream sources.
dpkg-source --no-check --no-copy -x "$download"/"$package"_*.dsc "$dest.tmp" >/dev/null
touch "$dest.tmp/.unpacked"
rm -rf "$dest" && mv "$dest.tmp" "$dest"
