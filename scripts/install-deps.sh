#!/usr/bin/env bash
# Installs every Debian 12 package that building, running and testing Vendrax needs.
# Safe to run again: apt skips what is already there.
set -euo pipefail

packages=(
  cmake g++ ninja-build pkg-config
  qt6-base-dev libqt6sql6-sqlite
  qt6-image-formats-plugins libqt6svg6
  libnids-dev libpcap-dev libcurl4-openssl-dev zlib1g-dev
  libboost-dev libboost-regex-dev libboost-filesystem-dev libboost-system-dev libboost-thread-dev
  libgtest-dev libgmock-dev
  ffmpeg xvfb xauth tcpdump iproute2
  fuse3 libfuse3-dev
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y --no-install-recommends "${missing[@]}"
fi
