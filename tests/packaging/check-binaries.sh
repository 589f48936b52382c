#!/usr/bin/env bash
# Checks release binaries: VESK prints "vesk VERSION" for --version, and it
# and every LIBRARY need nothing but the C library, libm and the loader.
# usage: check-binaries.sh VERSION VESK [LIBRARY...]
set -euo pipefail
version=${1:?usage: check-binaries.sh VERSION VESK [LIBRARY...]}
vesk=${2:?usage: check-binaries.sh VERSION VESK [LIBRARY...]}
shift

printed=$("$vesk" --version)
[[ $printed == "vesk $version" ]] || { echo "$vesk --version printed '$printed', not 'vesk $version'" >&2; exit 1; }
for binary in "$@"; do
  needed=$(ldd "$binary" | awk '{print $1}' |
    grep -vxE 'linux-vdso\.so\.1|libc\.so\.6|libm\.so\.6|/lib64/ld-linux-x86-64\.so\.2' || true)
  [[ -z $needed ]] || { echo "$binary needs more than libc:" $needed >&2; exit 1; }
done
