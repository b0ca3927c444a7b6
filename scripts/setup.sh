#!/usr/bin/env bash
# Installs on Debian 12 what is missing (only that):
#   ./scripts/setup.sh        what building and running the program, the tests and the benchmarks need
#   ./scripts/setup.sh run    only what building and running the program needs
set -euo pipefail
# Building the program and its SMB helper, and running them (a font for the headless treemap
# picture's labels, the MIME database for the file types' names).
packages=(
  qt6-base-dev cmake ninja-build g++ pkg-config libsmbclient-dev libgl-dev
  fonts-dejavu-core shared-mime-info
)
case ${1:-all} in
  run) ;;
  all)
    # The tests, the sanitizer and fuzz builds, and the benchmarks.
    packages+=(
      clang libclang-rt-14-dev libgtest-dev libbenchmark-dev
      fonts-noto-core fonts-wqy-microhei xvfb xdotool imagemagick python3
      btrfs-progs ntfs-3g xfsprogs attr e2fsprogs util-linux kmod
      liburing-dev sudo
      linux-libc-dev  # <linux/fuse.h>: the tests serve FUSE mounts of their own
      samba smbclient
      dbus-daemon dbus-bin gnome-keyring libsecret-tools
      desktop-file-utils
      ncdu gdu
    )
    ;;
  *) echo "usage: $0 [run|all]" >&2; exit 2 ;;
esac
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
