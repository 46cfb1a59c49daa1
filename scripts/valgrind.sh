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

# Each program's result, for CI's summary (ZELQD_CI_CHECKS names its file).
note() { if [ -n "${ZELQD_CI_CHECKS:-}" ]; then printf '%s\t%s\n' "$1" "$2" >>"$ZELQD_CI_CHECKS"; fi; }

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
# The cases that hold a read or write to an upper time bound (a time-out
# that must end within so many milliseconds) are not run here: under
# memcheck every step runs many times slower, so such a bound says nothing
# about the program and misses at random. They run, with their bounds, in
# the native and sanitize stages; here the rest of their programs runs, and
# every program runs once: a failure is a failure.
timed=PtyTest.HangUpEndsAWaitingReadAtOnce:PtyTest.HeldOutputEndsAWriteAtItsTimeOut
timed+=:PtyTest.InterruptedWaitsKeepTheirDeadline:PtyTest.PurgeDiscardsWaitingInputAndRestoresTheTimeout
timed+=:PtyTest.ReadAfterAReadTakesWaitingBytesAndWaitsForLateOnes
timed+=:PtyTest.ReadsEndWhenTheirBytesArriveOrTheirTimeOutIsUp:PosixOpen.NullDeviceTakesWritesAndEndsReadsAtOnce
echo "valgrind: not run under memcheck (upper time bounds): ${timed//:/ }"
for p in "${programs[@]}"; do
  name=$(basename "$p")
  args=(--gtest_brief=1)
  [ "$name" = serial_posix_test ] && args+=(--gtest_filter="-$timed")
  [ "$name" = zelqd_soak ] && args=(--transfers 200 --seed 7)
  start=$SECONDS
  status=0
  memcheck "$name" "$p" "${args[@]}" || status=$?
  if [ "$status" -eq 0 ]; then
    processes=$(ls "$logs/$name".*.log | wc -l)
    errors=$({ grep -h "ERROR SUMMARY" "$logs/$name".*.log || true; } |
             awk '{s += $4} END {print s + 0}')
    lost=$({ grep -hE "(definitely|indirectly|possibly) lost:" "$logs/$name".*.log || true; } |
           tr -d , | awk '{s += $4} END {print s + 0}')
    echo "valgrind: $name ok: $processes process(es), $errors errors, $lost bytes lost" \
      "($((SECONDS - start)) s)"
    note "memcheck $name" passed
  else
    echo "valgrind: $name FAILED (exit $status)"
    tail -n 30 "$logs/$name.out"
    grep -h -B2 -A20 -E "Invalid|uninitialised|definitely|indirectly|possibly" "$logs/$name".*.log |
      head -n 80 || true
    failed=1
    note "memcheck $name" failed
  fi
  rm -f "$logs/$name".*.log
done
exit "$failed"
