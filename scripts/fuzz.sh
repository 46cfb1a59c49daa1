#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time.
# The gateway's targets need its libraries, so the tools are configured too;
# only the fuzz targets and what they link are built.
#   scripts/fuzz.sh [seconds per target]   (default 60)
#   scripts/fuzz.sh --build-only           build the targets, run none
set -euo pipefail
cd "$(dirname "$0")/.."
build_only=0
if [ "${1:-}" = --build-only ]; then build_only=1; shift; fi
seconds=${1:-60}
build=build/fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELQD_WERROR=ON \
  -DZELQD_BUILD_FUZZ=ON -DZELQD_BUILD_TESTS=OFF -DZELQD_BUILD_TOOLS=ON \
  -DCMAKE_C_FLAGS="-fsanitize=fuzzer-no-link,address,undefined" \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined" >/dev/null
cmake --build "$build/fuzz" -j "$(nproc)"
((!build_only)) || exit 0
# The targets run two at a time (each is one process on one core, with a
# corpus folder of its own); each one's output goes to its own log, shown
# when it fails. Each result goes to CI's summary (ZELQD_CI_CHECKS).
note() { if [ -n "${ZELQD_CI_CHECKS:-}" ]; then printf '%s\t%s\n' "$1" "$2" >>"$ZELQD_CI_CHECKS"; fi; }
run_one() {
  local target=$1 name corpus work status=0
  name=$(basename "$target")
  corpus=fuzz/corpus/${name%_fuzz}
  work=$build/corpus/${name%_fuzz}
  mkdir -p "$work"
  echo "fuzz: $name started, ${seconds}s"
  "$target" "$work" "$corpus" -max_total_time="$seconds" -print_final_stats=1 >"$build/$name.log" 2>&1 ||
    status=$?
  if ((status != 0)); then
    echo "fuzz: $name FAILED (exit $status); the end of $build/$name.log:"
    tail -n 40 "$build/$name.log"
    note "fuzz $name" failed
    return 1
  fi
  echo "fuzz: $name ok: $(grep -E 'stat::number_of_executed_units' "$build/$name.log" | tail -n 1 | tr -s ' ')," \
    "$(grep -E 'cov:' "$build/$name.log" | tail -n 1 | sed 's/^#[0-9]*[[:space:]]*[A-Z]*[[:space:]]*//; s/ exec.*//')"
  note "fuzz $name" passed
}
parallel=${ZELQD_FUZZ_JOBS:-2}
pids=() failed=0
for target in "$build"/fuzz/*_fuzz; do
  run_one "$target" &
  pids+=($!)
  if ((${#pids[@]} >= parallel)); then
    wait "${pids[0]}" || failed=1
    pids=("${pids[@]:1}")
  fi
done
for pid in "${pids[@]}"; do wait "$pid" || failed=1; done
exit "$failed"
