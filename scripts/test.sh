#!/usr/bin/env bash
# Builds the driver and its tools and runs every test suite, on the three
# targets: native Linux, 32-bit Linux (i686, where the exact record layouts
# are checked at compile time) and 32-bit Windows (MinGW-w64) under Wine.
# The native build comes first: it makes the peer of the COM port tests
# under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)

# The test cases that the GoogleTest programs of a build reported in its
# last CTest run, as one line "PRESET: N passed, N failed, N skipped".
cases() {
  awk -v preset="$1" '
    /^\[  PASSED  \] [0-9]+ tests?\./ { passed += $4 }
    /^\[  FAILED  \] [0-9]+ tests?,/ { failed += $4 }
    /^\[  SKIPPED \] [0-9]+ tests?,/ { skipped += $4 }
    END { printf "%s: %d passed, %d failed, %d skipped\n", preset, passed, failed, skipped }
  ' "build/$1/Testing/Temporary/LastTest.log"
}

for preset in native i686 win32; do
  echo "== $preset"
  if [ "$preset" = win32 ]; then wine --version; fi
  cmake --preset "$preset" -DZELQD_BUILD_TESTS=ON >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done

# AddressSanitizer and UndefinedBehaviorSanitizer over the whole native suite.
echo "== sanitize"
cmake --preset sanitize >/dev/null
cmake --build --preset sanitize -j "$jobs"
ctest --preset sanitize -j "$jobs"

# Each fuzz target for a bounded time (longer runs: scripts/fuzz.sh 300), and
# memcheck over the pseudo-terminal tests of the native build.
echo "== fuzz"
bash scripts/fuzz.sh "${ZELQD_FUZZ_SECONDS:-30}"
echo "== valgrind"
bash scripts/valgrind.sh build/native

# The benchmark's short form, so that it keeps building and running; its
# figures are not judged here (see docs/performance.md).
echo "== benchmark (short form)"
bash scripts/bench.sh --short

# The Debian packages: built, reviewed by lintian, installed on this machine,
# used as a user would (the README's example, zelpoll against zelsim), and
# removed again.
echo "== packages"
bash scripts/package-test.sh

# Last, so that the counts close the output.
echo "== test cases"
for preset in native i686 win32 sanitize; do cases "$preset"; done
