#!/usr/bin/env bash
# Builds the release artifacts into dist/, in release mode (build-release/ and,
# for the Windows DLL, build-win/):
#   vesk-VERSION-linux-x86_64.tar.gz  the install tree under vesk-VERSION/: bin/vesk,
#                                     JvmAgent/lib/, JvmAgent/windows/, config/, logs/,
#                                     the README and docs/
#   vesk_VERSION_amd64.deb            /usr/bin/vesk, the agent in /usr/lib/vesk/, the
#                                     documentation in /usr/share/doc/vesk/, the
#                                     manual page (vesk --help's text)
# and checks the package with lintian. VESK_MAINTAINER names the package's
# maintainer (default: the last commit's author).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DVESK_BUILD_TESTS=OFF >/dev/null
cmake --build build-release -j2 --target vesk veskjagent
scripts/build-windows.sh >/dev/null

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-release/CMakeCache.txt)
# Every file dated by the last commit, owned by root (strip and dpkg-deb
# take the date too): the same sources give the same artifacts.
epoch=$(git log -1 --format=%ct)
export SOURCE_DATE_EPOCH=$epoch
stage=$(mktemp -d /tmp/vesk-package.XXXXXX)
trap 'rm -rf "$stage"' EXIT
mkdir -p dist
rm -f dist/vesk-*-linux-x86_64.tar.gz dist/vesk_*_amd64.deb

# The archive: the install tree vesk attach and the agent expect.
tree=$stage/vesk-$version
cmake --install build-release --prefix "$tree" --strip >/dev/null
install -D -m 0644 build-win/veskjagent.dll "$tree/JvmAgent/windows/veskjagent.dll"
x86_64-w64-mingw32-strip "$tree/JvmAgent/windows/veskjagent.dll"
install -m 0644 README.md "$tree/"
cp -r docs "$tree/docs"
tar -C "$stage" --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$epoch" -c "vesk-$version" |
  gzip -9n >"dist/vesk-$version-linux-x86_64.tar.gz"

# The Debian package: no configuration file, so the agent logs to the JVM's
# standard error and writes nothing under /usr.
root=$stage/deb
doc=$root/usr/share/doc/vesk
install -D -m 0755 "$tree/bin/vesk" "$root/usr/bin/vesk"
install -D -m 0644 "$tree/JvmAgent/lib/libveskjagent.so" "$root/usr/lib/vesk/libveskjagent.so"
install -D -m 0644 README.md "$doc/README.md"
cp -r docs "$doc/docs"
install -m 0644 scripts/debian/copyright "$doc/copyright"
mkdir -p "$root/usr/share/man/man1"
help2man --no-info --version-string="$version" --name="read the heaps the veskjagent agent sends, and any HPROF dump" \
  --include=scripts/debian/vesk.h2m "$tree/bin/vesk" | gzip -9n >"$root/usr/share/man/man1/vesk.1.gz"
install -D -m 0644 scripts/debian/lintian-overrides "$root/usr/share/lintian/overrides/vesk"
maintainer=${VESK_MAINTAINER:-$(git log -1 --format='%an <%ae>')}
{
  echo "vesk ($version) unstable; urgency=medium"
  echo
  echo "  * Release $version."
  echo
  echo " -- $maintainer  $(date -u -R -d "@$epoch")"
} | gzip -9n >"$doc/changelog.gz"
chmod 0644 "$doc/changelog.gz"
# dpkg-shlibdeps reads the binaries' needs off the C library's symbols file.
mkdir -p "$stage/shlibs/debian"
printf 'Source: vesk\n\nPackage: vesk\nArchitecture: amd64\n' >"$stage/shlibs/debian/control"
depends=$(cd "$stage/shlibs" && dpkg-shlibdeps -O -e "$root/usr/bin/vesk" -e "$root/usr/lib/vesk/libveskjagent.so" 2>/dev/null |
  sed -n 's/^shlibs:Depends=//p')
mkdir -p "$root/DEBIAN"
sed -e "s/@VERSION@/$version/" -e "s/@MAINTAINER@/$maintainer/" -e "s/@DEPENDS@/$depends/" \
  -e "s/@SIZE@/$(du -sk "$root/usr" | cut -f1)/" scripts/debian/control >"$root/DEBIAN/control"
(cd "$root" && find usr -type f -print0 | sort -z | xargs -0 md5sum >DEBIAN/md5sums)
find "$root" -exec touch -h -d "@$epoch" {} +
dpkg-deb --root-owner-group -Zxz --build "$root" "dist/vesk_${version}_amd64.deb" >/dev/null

# Errors fail the build; warnings are shown.
lintian --fail-on error "dist/vesk_${version}_amd64.deb"
ls -l dist/
