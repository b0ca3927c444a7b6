#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test:
# the full build, every suite again under AddressSanitizer + UndefinedBehaviorSanitizer, and the fuzz targets.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen
export XDG_RUNTIME_DIR=$(mktemp -d /tmp/hm-xdg.XXXXXX); chmod 700 "$XDG_RUNTIME_DIR"

fuzz=false
ls tests/fuzz/*Fuzz.cpp >/dev/null 2>&1 && fuzz=true

# The three builds run at once: together they keep every core busy through each one's
# slow tail (code generators, the last links). Each one's output goes to its own log.
echo "== building: full, under the sanitizers$($fuzz && echo ", fuzz targets")"
# Line tables only (-g1): reports and debuggers keep file and line, the builds take a fifth less.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHM_TESTS=ON -DHM_BENCH=ON \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" >/dev/null
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DHM_CORE_ONLY=OFF -DHM_SANITIZE=ON \
  -DCMAKE_CXX_FLAGS_DEBUG=-g1 -DCMAKE_C_FLAGS_DEBUG=-g1 >/dev/null
builds=(build build-asan)
if $fuzz; then
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHM_FUZZ=ON >/dev/null
  builds+=(build-fuzz)
fi
declare -A building
for b in "${builds[@]}"; do
  # The load limit keeps the sum of the builds' compilers near the number of cores.
  cmake --build "$b" -- -j "$jobs" -l "$((jobs + 2))" > "$b/ci-build.log" 2>&1 &
  building[$b]=$!
done
failed=0
for b in "${builds[@]}"; do
  if wait "${building[$b]}"; then
    echo "-- $b: built"
  else
    echo "-- $b: FAILED"; tail -n 60 "$b/ci-build.log"; failed=1
  fi
done
[ "$failed" -eq 0 ]

echo "== tests of the full build"
(cd build && ctest --output-on-failure -j "$jobs" --timeout 900)

echo "== every suite under AddressSanitizer + UndefinedBehaviorSanitizer"
supp=$PWD/tests/sanitizer
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
  LSAN_OPTIONS=suppressions=$supp/lsan.supp:print_suppressions=0 \
  UBSAN_OPTIONS=print_stacktrace=1:suppressions=$supp/ubsan.supp \
  ctest --output-on-failure -j "$jobs" --timeout 1200)

if $fuzz; then
  echo "== fuzz targets (bounded time each)"
  seconds=${HM_FUZZ_SECONDS:-30}
  # Each fuzzer runs on one core: all of them at once take the time of one.
  declare -A pids
  for f in build-fuzz/tests/fuzz/*Fuzz; do
    name=$(basename "$f")
    corpus=build-fuzz/corpus/$name; mkdir -p "$corpus"
    seeds=tests/fuzz/seeds/$name; [ -d "$seeds" ] || seeds=""
    "$f" -max_total_time="$seconds" -rss_limit_mb=4096 -timeout=20 -print_final_stats=1 "$corpus" $seeds \
      > "build-fuzz/$name.log" 2>&1 &
    pids[$name]=$!
  done
  passed=0 failed=0
  for name in $(printf '%s\n' "${!pids[@]}" | sort); do
    if wait "${pids[$name]}"; then passed=$((passed + 1)); verdict=passed; else failed=$((failed + 1)); verdict=FAILED; fi
    echo "-- $name, ${seconds}s: $verdict"
    tail -n 3 "build-fuzz/$name.log"
  done
  echo "fuzz: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
fi
