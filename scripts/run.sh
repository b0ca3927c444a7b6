#!/usr/bin/env bash
# Installs what is missing, builds Hollowmere and runs it.
#   ./scripts/run.sh [FOLDER]           opens the window (scanning FOLDER when given)
#   ./scripts/run.sh --report [FOLDER]  analyses FOLDER (default: your home folder) without a window
#                                       and writes the CSV export, the file-types CSV and a treemap
#                                       picture into ./hollowmere-output/
#   other arguments starting with "--" go to the program unchanged.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build
if [ "${1:-}" != "--report" ]; then
  exec build/hollowmere "$@"
fi
folder=${2:-$HOME}
out=$PWD/hollowmere-output
mkdir -p "$out"
build/hollowmere --export="$out/scan.csv" --exportfiletypes="$out/filetypes.csv" \
  --treemapimagefile="$out/treemap.png" "$folder"
echo "Wrote $out/scan.csv, $out/filetypes.csv and $out/treemap.png for $folder"
