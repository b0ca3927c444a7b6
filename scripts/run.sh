#!/usr/bin/env bash
# Installs what building and running need (when missing), builds Hollowmere and runs it.
#   ./scripts/run.sh [FOLDER]           opens the window (scanning FOLDER when given)
#   ./scripts/run.sh --report [FOLDER]  analyses FOLDER (default: your home folder) without a window
#                                       and writes the CSV export, the file-types CSV and a treemap
#                                       picture into ./hollowmere-output/
#   other arguments starting with "--" go to the program unchanged.
# Relative folders and file names are taken from where you stand, not from the repository.
# HOLLOWMERE_PROGRAM names an already built program to run instead of building one.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
program=${HOLLOWMERE_PROGRAM:-}
if [ -z "$program" ]; then
  (
    cd "$repo"
    ./scripts/setup.sh run
    # Only the program and its SMB helper: the tests and benchmarks are ./scripts/test.sh's.
    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHM_TESTS=OFF -DHM_BENCH=OFF >/dev/null
    cmake --build build --target hollowmere hollowmere-smb-helper
  )
  program=$repo/build/hollowmere
fi

report=0
keys=()
folders=()
for arg in "$@"; do
  case $arg in
    --report) report=1 ;;
    --*) keys+=("$arg") ;;
    *) folders+=("$arg") ;;
  esac
done
if [ "$report" -eq 0 ]; then
  exec "$program" "$@"
fi

[ ${#folders[@]} -gt 0 ] || folders=("$HOME")
out=$PWD/hollowmere-output
mkdir -p "$out"
status=0
"$program" --export="$out/scan.csv" --exportfiletypes="$out/filetypes.csv" \
  --treemapimagefile="$out/treemap.png" ${keys[@]+"${keys[@]}"} "${folders[@]}" || status=$?
if [ "$status" -eq 0 ]; then
  echo "Wrote $out/scan.csv, $out/filetypes.csv and $out/treemap.png for ${folders[*]}"
fi
exit "$status"
