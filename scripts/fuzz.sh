#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time.
#   scripts/fuzz.sh [seconds per target]   (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=build/fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELQD_WERROR=ON \
  -DZELQD_BUILD_FUZZ=ON -DZELQD_BUILD_TESTS=OFF -DZELQD_BUILD_TOOLS=OFF \
  -DCMAKE_C_FLAGS="-fsanitize=fuzzer-no-link,address,undefined" \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined" >/dev/null
cmake --build "$build/fuzz" -j "$(nproc)"
for target in "$build"/fuzz/*_fuzz; do
  name=$(basename "$target")
  corpus=fuzz/corpus/${name%_fuzz}
  work=$build/corpus/${name%_fuzz}
  mkdir -p "$work"
  echo "== $name for ${seconds}s"
  "$target" "$work" "$corpus" -max_total_time="$seconds" -print_final_stats=1 2>"$build/$name.log" || {
    tail -n 40 "$build/$name.log"
    exit 1
  }
  grep -E 'stat::number_of_executed_units|cov:' "$build/$name.log" | tail -n 2
done
