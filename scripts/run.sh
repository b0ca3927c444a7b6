#!/usr/bin/env bash
# Installs what is missing, builds Hollowmere and runs it. Arguments go to the program.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build
if [ -x build/hollowmere ]; then
  exec build/hollowmere "$@"
else
  # No window yet: scan the folder (default: the home folder) and print the scan's figures.
  exec build/bench/bench_scan_bench --scan-only "${1:-$HOME}"
fi
