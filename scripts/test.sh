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

# The Python binding: pip builds and installs it from python/ into a scratch
# folder (no network, no build isolation: Debian's setuptools), and its tests
# run from that copy against the native build's driver and zelsim.
python_tests() {
  echo "== python"
  local python=${ZELQD_PYTHON:-/usr/bin/python3} site=build/native/python-site
  rm -rf "$site" python/build python/zelqd.egg-info
  "$python" -m pip install --quiet --no-build-isolation --no-deps --root-user-action=ignore \
    --target "$site" ./python
  ZELQD_LIBRARY="$PWD/build/native/src/libzelqd.so" ZELSIM="$PWD/build/native/tools/zelsim/zelsim" \
    PYTHONPATH="$site" "$python" -m pytest -p no:cacheprovider python/tests |
    tee build/native/python-tests.log
}

# The i686 suites, and Wine for the win32 ones, need a kernel that executes
# 32-bit x86 programs itself; some virtual machines' kernels do not (the
# program fails with "Exec format error"), and an emulator registered for
# them (qemu-user) lacks terminal calls the suites use and does not carry
# Wine. The probe tells the two apart: under the kernel's own 32-bit mode a
# program sees the machine's name, under an emulator the emulated one.
# Where they cannot run, both targets are still built and checked without
# running them (the win32 DLL's imports, export, size and version, and the
# hosts linked through its import libraries).
runs_32bit() {
  local dir status=0
  dir=$(mktemp -d)
  printf '#include <stdio.h>\n#include <sys/utsname.h>\nint main(void) { struct utsname u; uname(&u); puts(u.machine); return 0; }\n' >"$dir/probe.c"
  { gcc -m32 "$dir/probe.c" -o "$dir/probe" && [ "$("$dir/probe")" = "$(uname -m)" ]; } 2>/dev/null ||
    status=1
  rm -rf "$dir"
  return "$status"
}
run32=1
runs_32bit || run32=0
not_run="not run: this machine's kernel cannot execute 32-bit x86 programs"

# The format gate: tracked C and C++ files exactly as clang-format writes
# them (scripts/check-format.sh; a few seconds).
echo "== format"
bash scripts/check-format.sh

for preset in native i686 win32; do
  echo "== $preset"
  cmake --preset "$preset" -DZELQD_BUILD_TESTS=ON >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  if [ "$preset" = native ] || ((run32)); then
    if [ "$preset" = win32 ]; then wine --version; fi
    ctest --preset "$preset" -j "$jobs"
  elif [ "$preset" = win32 ]; then
    echo "win32: the suites under Wine are $not_run; the checks that need no Wine:"
    ctest --preset win32 -L static
  else
    echo "i686: the suites are $not_run (the record layouts were checked when they compiled)"
  fi
  if [ "$preset" = native ]; then python_tests; fi
done

# The static-analysis gate: clang-tidy over src/ and tools/ with the native
# build's compile_commands.json, two files at a time (scripts/check-tidy.sh).
echo "== tidy"
bash scripts/check-tidy.sh build/native

# The Win32 package for integrators: what it holds, and the DLL in it
# checked as the build's was (imports, export, size, version).
echo "== win32 package"
cmake --build --preset win32 --target package >/dev/null
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/win32/CMakeCache.txt)
cmake -E tar tvf "build/win32/package/zelqd-$version-win32.zip"
unpacked=$(mktemp -d)
cmake -E chdir "$unpacked" cmake -E tar xf "$PWD/build/win32/package/zelqd-$version-win32.zip"
bash scripts/check-win32-dll.sh "$unpacked/zelqd-$version-win32/bin/zelqd.dll" \
  cmake/win32-allowed-imports.txt "$version"
rm -rf "$unpacked"

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
for preset in native i686 win32 sanitize; do
  if [ "$preset" = native ] || [ "$preset" = sanitize ] || ((run32)); then
    cases "$preset"
  else
    echo "$preset: $not_run"
  fi
done
echo "python: $(tail -n 1 build/native/python-tests.log | sed 's/^=* *//; s/ *=*$//')"
