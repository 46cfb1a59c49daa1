#!/usr/bin/env bash
# memcheck over the tests that drive real pseudo-terminals, and a short soak:
# no errors and no leaks (definite, indirect or possible) are allowed.
#   scripts/valgrind.sh [build directory]
# Without an argument it makes a Debug build of its own in build/valgrind;
# with one (an already configured build, such as build/native) it builds the
# programs there.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v valgrind >/dev/null || { echo "valgrind: not installed" >&2; exit 1; }
build=${1:-build/valgrind}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DZELQD_WERROR=ON >/dev/null
fi
programs=(
  tests/serial/serial_posix_test
  tests/port/port_pty_test
  tests/protocol/protocol_pty_test
  tests/reliability/reliability_hangup_test
  tests/soak/zelqd_soak
)
targets=()
for p in "${programs[@]}"; do targets+=("$(basename "$p")"); done
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"

logs=$build/valgrind-logs
mkdir -p "$logs"
failed=0
# Runs one program under memcheck: 0 clean, 99 a memcheck finding, anything
# else the program's own failure.
memcheck() {
  local name=$1 p=$2
  shift 2
  rm -f "$logs/$name".*.log
  valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite,indirect,possible \
    --errors-for-leak-kinds=definite,indirect,possible --error-exitcode=99 \
    --log-file="$logs/$name.%p.log" "$build/$p" "$@" >"$logs/$name.out" 2>&1
}
for p in "${programs[@]}"; do
  name=$(basename "$p")
  args=(--gtest_brief=1)
  [ "$name" = zelqd_soak ] && args=(--transfers 200 --seed 7)
  start=$SECONDS
  status=0
  memcheck "$name" "$p" "${args[@]}" || status=$?
  if [ "$status" -ne 0 ] && [ "$status" -ne 99 ]; then
    # Under memcheck everything runs many times slower, and a timing bound
    # of a test can miss: the program gets one more run. A memcheck finding
    # gets none.
    echo "valgrind: $name failed its own checks under memcheck (exit $status); once more:"
    grep -E "Failure|Expected|actual" "$logs/$name.out" | head -n 6 || true
    status=0
    memcheck "$name" "$p" "${args[@]}" || status=$?
  fi
  if [ "$status" -eq 0 ]; then
    processes=$(ls "$logs/$name".*.log | wc -l)
    errors=$({ grep -h "ERROR SUMMARY" "$logs/$name".*.log || true; } |
             awk '{s += $4} END {print s + 0}')
    lost=$({ grep -hE "(definitely|indirectly|possibly) lost:" "$logs/$name".*.log || true; } |
           tr -d , | awk '{s += $4} END {print s + 0}')
    echo "valgrind: $name ok: $processes process(es), $errors errors, $lost bytes lost" \
      "($((SECONDS - start)) s)"
  else
    echo "valgrind: $name FAILED (exit $status)"
    tail -n 30 "$logs/$name.out"
    grep -h -B2 -A20 -E "Invalid|uninitialised|definitely|indirectly|possibly" "$logs/$name".*.log |
      head -n 80 || true
    failed=1
  fi
  rm -f "$logs/$name".*.log
done
exit "$failed"
