#!/usr/bin/env bash
# Tests the release artifacts scripts/package.sh leaves in DIST (default
# dist/): lintian finds no error in the package; the installed package and the
# unpacked archive each attach their vesk to a JVM with their own agent, take
# runtime and a compressed dump and analyse it; removing the package leaves
# none of its files; their binaries need only the C library, and vesk runs in
# a root holding nothing but the C library's files. Installs the package on
# this machine (as root, or with sudo).
set -euo pipefail
cd "$(dirname "$0")/../.."
dist=${1:-dist}
deb=$(ls "$dist"/vesk_*_amd64.deb)
archive=$(ls "$dist"/vesk-*-linux-x86_64.tar.gz)
version=${deb##*/vesk_}
version=${version%_amd64.deb}
sudo=""; [[ $(id -u) -ne 0 ]] && sudo=sudo

work=$(mktemp -d /tmp/vesk-package-test.XXXXXX)
jvms=()
cleanup() {
  for pid in "${jvms[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  # A failed run takes the package away as well.
  if [[ -n ${installed:-} ]]; then $sudo dpkg -r vesk >/dev/null 2>&1 || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "package-test: $*" >&2; exit 1; }

lintian --fail-on error "$deb"
javac -d "$work/classes" scripts/demo/SampleApp.java

# Starts the sample application, attaches VESK to it with its default agent,
# and checks what it answers; the dump is left in $work/NAME.hprof.zst.
exercise() {
  local vesk=$1 name=$2
  java -cp "$work/classes" SampleApp >"$work/$name.out" 2>&1 &
  local jvm=$!
  jvms+=("$jvm")
  for _ in $(seq 300); do grep -q "SampleApp ready" "$work/$name.out" && break; sleep 0.1; done
  grep -q "SampleApp ready" "$work/$name.out" || fail "$name: the sample JVM did not start"
  local port
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  (cd "$work" && "$vesk" attach "$jvm" --port "$port") >/dev/null
  "$vesk" --port "$port" runtime >"$work/$name.runtime"
  grep -qx "agent-version  $version" "$work/$name.runtime" || fail "$name: runtime shows no agent version $version"
  "$vesk" --port "$port" dump -o "$work/$name.hprof.zst" >/dev/null
  "$vesk" histo "$work/$name.hprof.zst" -n 5 >"$work/$name.histo"
  grep -q 'SampleApp\$Order' "$work/$name.histo" || fail "$name: the dump's analysis misses SampleApp\$Order"
  kill "$jvm"
}

# The package.
$sudo dpkg -i "$deb" >/dev/null
installed=$(dpkg -L vesk)
tests/packaging/check-binaries.sh "$version" /usr/bin/vesk /usr/lib/vesk/libveskjagent.so
exercise /usr/bin/vesk deb
# The installed agent writes nothing under /usr.
extra=$(comm -23 <(find /usr/lib/vesk /usr/share/doc/vesk | sort) <(sort <<<"$installed"))
[[ -z $extra ]] || fail "not the package's files: $extra"
[[ ! -e /usr/logs && ! -e /usr/config ]] || fail "the installed agent made /usr/logs or /usr/config"
$sudo dpkg -r vesk >/dev/null
for path in $installed; do
  [[ ! -e $path || $path != *vesk* ]] || fail "$path is left after removal"
done

# The archive, unpacked in an empty directory.
mkdir "$work/unpacked"
tar -xzf "$archive" -C "$work/unpacked"
tree=$work/unpacked/vesk-$version
tests/packaging/check-binaries.sh "$version" "$tree/bin/vesk" "$tree/JvmAgent/lib/libveskjagent.so"
exercise "$tree/bin/vesk" archive

# A root with the C library's files alone: vesk analyses a dump there.
root=$work/root
mkdir "$root"
dpkg -L libc6 | while read -r path; do
  if [[ -f $path ]]; then install -D "$path" "$root$path"; fi
done
cp "$tree/bin/vesk" "$work/archive.hprof.zst" "$root/"
chroot_run=(chroot "$root"); [[ $(id -u) -ne 0 ]] && chroot_run=(unshare -r chroot "$root")
[[ $("${chroot_run[@]}" /vesk --version) == "vesk $version" ]] || fail "vesk does not run in a root of libc alone"
"${chroot_run[@]}" /vesk histo /archive.hprof.zst -n 5 | grep -q 'SampleApp\$Order' ||
  fail "vesk histo fails in a root of libc alone"
echo "package-test: $deb and $archive pass"
