#!/usr/bin/env bash
# Installs what building and testing need (Debian packages, and puppeteer-core
# from npm for the browser tests), when missing:
# the Linux toolchain, a JDK, the mingw-w64 cross compiler and Wine for the
# Windows DLL and its tests, headless Chromium for the report page's tests,
# Nettle (HMAC for the authentication key, linked statically), OpenSSL (TLS
# keyed by it, linked statically; the openssl tool for its tests), zstd, clang with
# its sanitizer and libFuzzer runtimes for the sanitizer build, a deb-src
# entry for the sources of pugixml and zstd (the Windows build) and
# cpp-httplib (the self-contained vesk), unpacked by dpkg-dev's dpkg-source,
# lintian, which checks the Debian package (scripts/package.sh), and help2man,
# which writes its manual page from vesk --help.
set -euo pipefail

packages=(cmake g++ make libpugixml-dev libgtest-dev googletest openjdk-17-jdk-headless
          libcli11-dev libexpat1-dev nettle-dev libssl-dev openssl nlohmann-json3-dev libzstd-dev g++-mingw-w64-x86-64-posix
          clang libclang-rt-14-dev libcpp-httplib-dev dpkg-dev)
# Wine's and Chromium's recommends pull in a desktop's worth of libraries the
# tests never use; headless Chromium needs only a font. Prometheus brings
# promtool, which checks vesk watch's metrics.
lean_packages=(wine64 chromium fonts-dejavu-core prometheus lintian help2man)

sudo=""; [[ $(id -u) -ne 0 ]] && sudo=sudo
missing() {
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
  done
}

updated=0
if ! apt-get indextargets 2>/dev/null | grep -q 'Created-By: Sources'; then
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  # The mirror the machine already uses for the main suite, whatever host it is.
  mirror=$(apt-get indextargets --format '$(REPO_URI)' 'Created-By: Packages' "Release: $codename" | head -n1)
  mirror=${mirror:-http://deb.debian.org/debian/}
  $sudo tee /etc/apt/sources.list.d/vesk-src.sources >/dev/null <<SRC
Types: deb-src
URIs: $mirror
Suites: $codename
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  $sudo apt-get update -qq
  updated=1
fi

install_missing() {
  local extra=$1; shift
  local todo; todo=$(missing "$@")
  [[ -z $todo ]] && return 0
  echo "Installing:" $todo
  ((updated)) || { $sudo apt-get update -qq; updated=1; }
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq $extra $todo >/dev/null
}
install_missing "" "${packages[@]}"
# The stream reader turns off expat's reparse deferral, which older builds of
# the library lack; a machine that came with one gets the current build.
if ! grep -q XML_SetReparseDeferralEnabled /usr/include/expat.h; then
  ((updated)) || { $sudo apt-get update -qq; updated=1; }
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --only-upgrade libexpat1-dev >/dev/null
fi
install_missing --no-install-recommends "${lean_packages[@]}"
# The explorer's browser tests drive Chromium with puppeteer-core from the npm
# registry, a test dependency only (tests/browser/package-lock.json); without
# it those tests are skipped with a message.
command -v node >/dev/null || install_missing --no-install-recommends nodejs
command -v npm >/dev/null || install_missing --no-install-recommends npm
browser_tests=$(cd "$(dirname "$0")/../tests/browser" && pwd)
(cd "$browser_tests" && npm ci --no-audit --no-fund --loglevel=error) ||
  echo "warning: npm ci in tests/browser failed: the browser tests of vesk serve will be skipped" >&2
