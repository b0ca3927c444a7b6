#!/usr/bin/env bash
# Installs what is missing, builds Hollowmere and runs it.
# With no arguments it analyses FOLDER (default: your home folder) without a window and writes
# the CSV export, the file-types CSV and a treemap picture into ./hollowmere-output/.
# With arguments starting with "--" they go to the program unchanged.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build
if [ "${1:-}" != "" ] && [ "${1#--}" != "$1" ]; then
  exec build/hollowmere "$@"
fi
folder=${1:-$HOME}
out=$PWD/hollowmere-output
mkdir -p "$out"
build/hollowmere --export="$out/scan.csv" --exportfiletypes="$out/filetypes.csv" \
  --treemapimagefile="$out/treemap.png" "$folder"
echo "Wrote $out/scan.csv, $out/filetypes.csv and $out/treemap.png for $folder"
