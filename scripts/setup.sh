#!/usr/bin/env bash
# Installs what the build, the tests and the benchmarks need on Debian 12 (only what is missing).
set -euo pipefail
packages=(
  qt6-base-dev cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libbenchmark-dev libgl-dev
  fonts-dejavu-core fonts-noto-core fonts-wqy-microhei xvfb xdotool imagemagick python3
  btrfs-progs ntfs-3g xfsprogs attr e2fsprogs util-linux kmod
  liburing-dev sudo
  samba smbclient libsmbclient-dev pkg-config
  dbus-daemon dbus-bin gnome-keyring libsecret-tools
  shared-mime-info desktop-file-utils
  ncdu gdu
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q -o DPkg::Lock::Timeout=600 --no-install-recommends "${missing[@]}"
fi
