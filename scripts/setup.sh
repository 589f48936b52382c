#!/usr/bin/env bash
# Installs what building and testing need (Debian packages), when missing.
set -euo pipefail

packages=(cmake g++ make libpugixml-dev libgtest-dev openjdk-17-jdk-headless)
if [[ "${VESK_WINDOWS:-0}" == 1 ]]; then
  packages+=(g++-mingw-w64-x86-64 mingw-w64-tools dpkg-dev)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo=""; [[ $(id -u) -ne 0 ]] && sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
