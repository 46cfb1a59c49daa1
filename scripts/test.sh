#!/usr/bin/env bash
# Builds the driver and its tools and runs every test suite, on the three
# targets: native Linux, 32-bit Linux (i686, where the exact record layouts
# are checked at compile time) and 32-bit Windows (MinGW-w64) under Wine,
# then the gates (format, tidy), the sanitizers, the fuzz targets, memcheck,
# the benchmark's short form and the Debian packages. Every stage runs, also
# after an earlier one failed (unless it needs what failed: then it is
# skipped with the reason); the exit status is 0 only when nothing failed.
# It closes with a summary built from CTest's, GoogleTest's and pytest's own
# reports: per stage the route it ran by, its seconds and its counts, and
# last "total: N passed, N failed, N skipped".
#
# The 32-bit suites need 32-bit programs to run. ZELQD_32BIT picks how:
#   auto      (the default) the kernel's own 32-bit mode where the probe
#             below finds it, else the emulator route
#   native    the kernel's own 32-bit mode (the i686 and win32 stages are
#             skipped, with the reason, where the kernel lacks it)
#   emulator  the i686 suites under qemu-i386-static (user-mode emulation);
#             the Windows suites under wine64 with the 64-bit Windows build
#             of the same backend (preset win64: Wine does not run under
#             that emulator), and the real 32-bit DLL's checks that need no
#             Wine (imports, export, size, version, the linked hosts)
#
# While the first stages run, a job in the background installs the rest of
# the packages and then builds the sanitizer, fuzz and Debian package trees
# ahead, under the SCHED_IDLE policy: it gets only the CPU time the stages
# leave idle (tests waiting on pseudo-terminals, Wine and time-outs, single
# threaded configure and link steps), so it does not slow them down. A
# stage that needs such a tree first waits for its build ahead; then its
# own build has nothing left to do (or shows the errors of a failed one).
# ZELQD_STAGES="native python ..." runs only the stages named, to time or
# rerun a few; the others are listed as skipped, and so are those that need
# one of them (most need native).
# Results go to build/ci-results/.
set -euo pipefail
cd "$(dirname "$0")/.."
case "${ZELQD_32BIT:-auto}" in
  auto | native | emulator) ;;
  *) echo "test.sh: ZELQD_32BIT must be auto, native or emulator, not \"$ZELQD_32BIT\"" >&2; exit 64 ;;
esac
bash scripts/setup.sh native

jobs=$(nproc)
root=$PWD
results=$root/build/ci-results
rm -rf "$results"
mkdir -p "$results"
: >"$results/stages.tsv"
ci_start=$SECONDS

# --- How the 32-bit programs run ---------------------------------------------

# Under the kernel's own 32-bit mode a program sees the machine's name,
# under an emulator the emulated one; on a kernel without it the program
# fails with "Exec format error".
runs_32bit() {
  local dir status=0
  dir=$(mktemp -d)
  printf '#include <stdio.h>\n#include <sys/utsname.h>\nint main(void) { struct utsname u; uname(&u); puts(u.machine); return 0; }\n' >"$dir/probe.c"
  { gcc -m32 "$dir/probe.c" -o "$dir/probe" && [ "$("$dir/probe")" = "$(uname -m)" ]; } 2>/dev/null ||
    status=1
  rm -rf "$dir"
  return "$status"
}
# Sets kernel32, mode and route32 (needs g++-multilib: after setup.sh all).
decide_route() {
  kernel32=0
  runs_32bit && kernel32=1
  mode=${ZELQD_32BIT:-auto}
  case "$mode" in
    auto) if ((kernel32)); then route32=native; else route32=emulator; fi ;;
    *) route32=$mode ;;
  esac
}
# --- Builds ahead ------------------------------------------------------------

ahead=$results/ahead
mkdir -p "$ahead"
# ahead_step NAME COMMAND...: runs it, its output to ahead/NAME.log, and then
# writes its exit status and seconds to ahead/NAME.done.
ahead_step() {
  local name=$1 start=$SECONDS status=0
  shift
  "$@" >"$ahead/$name.log" 2>&1 </dev/null || status=$?
  echo "$status $((SECONDS - start))" >"$ahead/$name.done"
}
# Whether stage NAME is to run (ZELQD_STAGES).
selected() { [ -z "${ZELQD_STAGES:-}" ] || [[ " $ZELQD_STAGES " == *" $1 "* ]]; }
# The Wine prefix of the Windows stage: Wine's first start takes most of a
# minute, mostly waiting. The stage's programs wait for it (wine-run.sh
# locks the prefix), or make it themselves if it is not there.
make_prefix() {
  decide_route
  if [ "$route32" = native ] && ((kernel32)) && selected win32; then
    bash scripts/wine-run.sh --make-prefix build/win32
  elif [ "$route32" = emulator ] && selected win64; then
    bash scripts/wine-run.sh --loader /usr/lib/wine/wine64 --make-prefix build/win64
  fi
}
ahead_job() {
  # apt-get and Wine at the normal priority: they wait on the network, the
  # disk and Wine's server.
  {
    ahead_step setup bash scripts/setup.sh all
    if [ "$(cut -d' ' -f1 "$ahead/setup.done")" = 0 ]; then ahead_step wineprefix make_prefix; fi
  } &
  local setup=$!
  chrt --idle --pid 0 "$BASHPID" || echo "test.sh: chrt failed: the builds ahead run at the normal priority"
  if selected sanitize; then
    ahead_step sanitize sh -c 'cmake --preset sanitize >/dev/null && cmake --build --preset sanitize -j "$1"' sh "$jobs"
  fi
  wait "$setup" || true
  if selected fuzz; then ahead_step fuzz bash scripts/fuzz.sh --build-only; fi
  if selected packages; then ahead_step deb bash scripts/package.sh; fi
}
# In a process group of its own, so that an early exit ends all of it.
set -m
ahead_job &
ahead_pid=$!
set +m
trap 'kill -- -"$ahead_pid" 2>/dev/null || true' EXIT
# wait_ahead NAME: waits until the step is done; 0 when it passed.
wait_ahead() {
  local start=$SECONDS status seconds
  while [ ! -f "$ahead/$1.done" ] && kill -0 "$ahead_pid" 2>/dev/null; do sleep 1; done
  read -r status seconds <"$ahead/$1.done" 2>/dev/null || status=none seconds=0
  echo "test.sh: $1 ahead: exit $status after $seconds s; waited $((SECONDS - start)) s for it"
  [ "$status" = 0 ]
}

# --- Stages ------------------------------------------------------------------

# stage NAME ROUTE FUNCTION: runs FUNCTION in a subshell that stops at its
# first failing command, and records its route, seconds and exit status.
stage() {
  local name=$1 route=$2 fn=$3 start=$SECONDS status
  if ! selected "$name"; then
    skip "$name" "$route" "not in ZELQD_STAGES"
    return 0
  fi
  echo
  echo "== $name ($route)"
  mkdir -p "$results/$name"
  export ZELQD_CI_CHECKS=$results/$name/checks.tsv
  set +e
  (
    set -e
    "$fn"
  )
  status=$?
  set -e
  unset ZELQD_CI_CHECKS
  printf '%s\t%s\t%s\t%s\t\n' "$name" "$route" "$((SECONDS - start))" "$status" >>"$results/stages.tsv"
  echo "== $name: $((SECONDS - start)) s, $( ((status == 0)) && echo ok || echo "FAILED (exit $status)")" \
    "[$(((SECONDS - ci_start) / 60)) min since the start]"
  return 0
}
# skip NAME ROUTE REASON: a stage that cannot run here, counted as skipped.
skip() {
  echo
  echo "== $1: SKIPPED: $3"
  printf '%s\t%s\t0\tskipped\t%s\n' "$1" "$2" "$3" >>"$results/stages.tsv"
}
# Whether stage NAME ran and passed.
passed() { awk -F'\t' -v n="$1" '$1 == n && $4 == "0" { ok = 1 } END { exit !ok }' "$results/stages.tsv"; }
# check NAME COMMAND...: one check of a stage that is not a test program.
check() {
  local name=$1 status=0
  shift
  "$@" || status=$?
  printf '%s\t%s\n' "$name" "$( ((status == 0)) && echo passed || echo failed)" >>"$ZELQD_CI_CHECKS"
  return "$status"
}

# ctest_run STAGE PRESET [CTEST ARGS...]: CTest with its JUnit report and
# each GoogleTest program's XML in the stage's folder. The Linux suites run
# two programs a core: they mostly wait on pseudo-terminals, processes and
# time-outs (the longest, the gateway's service test, bounds the stage).
ctest_run() {
  local dir=$results/$1 preset=$2 parallel=$jobs
  shift 2
  case "$preset" in native | i686 | sanitize) parallel=$((2 * jobs)) ;; esac
  rm -rf "$dir/gtest"
  mkdir -p "$dir/gtest"
  GTEST_OUTPUT="xml:$dir/gtest/" ctest --preset "$preset" -j "$parallel" --output-junit "$dir/ctest.xml" "$@"
}
# configure PRESET [ARGS...] and build it.
build() {
  local preset=$1
  shift
  cmake --preset "$preset" -DZELQD_BUILD_TESTS=ON "$@" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
}

# The format gate: tracked C and C++ files exactly as clang-format writes
# them (a few seconds).
format_stage() { check format bash scripts/check-format.sh; }

# The native build makes the benchmark too (the benchmark stage runs it).
native_stage() {
  build native -DZELQD_BUILD_BENCH=ON
  ctest_run native native
  echo "status page screenshot: $root/build/native/tests/gateway/status-page.png"
}

# The Python binding: pip builds and installs it from python/ into a scratch
# folder (no network, no build isolation: Debian's setuptools), and its tests
# run from that copy against the native build's driver and zelsim.
python_stage() {
  local python=${ZELQD_PYTHON:-/usr/bin/python3} site=build/native/python-site
  rm -rf "$site" python/build python/zelqd.egg-info
  "$python" -m pip install --quiet --no-build-isolation --no-deps --root-user-action=ignore \
    --target "$site" ./python
  ZELQD_LIBRARY="$PWD/build/native/src/libzelqd.so" ZELSIM="$PWD/build/native/tools/zelsim/zelsim" \
    PYTHONPATH="$site" "$python" -m pytest -p no:cacheprovider --junitxml="$results/python/pytest.xml" \
    python/tests
}

# i686 on the kernel's own 32-bit mode, or with every test program (and
# every program a test starts) under qemu-i386-static.
i686_stage() {
  if [ "$route32" = emulator ]; then
    build i686 -DCMAKE_CROSSCOMPILING_EMULATOR="$emulator"
  else
    build i686 -DCMAKE_CROSSCOMPILING_EMULATOR=
  fi
  ctest_run i686 i686
}

win32_stage() {
  build win32
  wine --version
  ctest_run win32 win32
}
# The real 32-bit DLL where Wine cannot run it: only what needs no Wine.
win32_static_stage() {
  build win32
  ctest_run win32 win32 -L static
}
# The same Windows backend built for 64-bit Windows, under wine64.
win64_stage() {
  build win64
  "$wine64" --version
  ctest_run win64 win64
}

# The static-analysis gate: clang-tidy over what a change can affect
# (scripts/check-tidy.sh), with the native build's compile_commands.json.
tidy_stage() { check tidy bash scripts/check-tidy.sh build/native; }

# The Win32 package for integrators: what it holds, and the DLL in it
# checked as the build's was (imports, export, size, version).
package_win32() {
  local version unpacked
  echo "win32 package: building"
  cmake --build --preset win32 --target package >/dev/null
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/win32/CMakeCache.txt)
  cmake -E tar tvf "build/win32/package/zelqd-$version-win32.zip"
  unpacked=$(mktemp -d)
  cmake -E chdir "$unpacked" cmake -E tar xf "$PWD/build/win32/package/zelqd-$version-win32.zip"
  bash scripts/check-win32-dll.sh "$unpacked/zelqd-$version-win32/bin/zelqd.dll" \
    cmake/win32-allowed-imports.txt "$version"
  rm -rf "$unpacked"
}
win32_package_stage() { check "win32 package" package_win32; }

# AddressSanitizer and UndefinedBehaviorSanitizer over the whole native suite.
sanitize_stage() {
  wait_ahead sanitize || true
  cmake --preset sanitize >/dev/null
  cmake --build --preset sanitize -j "$jobs"
  ctest_run sanitize sanitize
}

# Each fuzz target for a bounded time, two at a time (longer runs:
# scripts/fuzz.sh 300).
fuzz_stage() {
  wait_ahead fuzz || true
  bash scripts/fuzz.sh "${ZELQD_FUZZ_SECONDS:-30}"
}

# memcheck over the pseudo-terminal tests of the native build.
valgrind_stage() { bash scripts/valgrind.sh build/native; }

# The benchmark's short form, so that it keeps building and running; its
# figures are not judged here (see docs/performance.md). The native build
# made it, with the flags of the bench preset.
bench_stage() { check "benchmark, short form" build/native/bench/zelqd_bench --short; }

# The Debian packages: built, reviewed by lintian, installed on this machine,
# used as a user would (the README's example, zelpoll against zelsim), and
# removed again.
packages_stage() {
  wait_ahead deb || true
  check "Debian packages" bash scripts/package-test.sh
}

# --- The run -----------------------------------------------------------------

stage format "clang-format" format_stage
stage native "native kernel, x86_64" native_stage
if passed native; then
  stage python "native kernel, x86_64" python_stage
else
  skip python "native kernel, x86_64" "the native build failed"
fi

# The stages from here on need the packages that the job ahead installs.
if ! wait_ahead setup; then
  tail -n 40 "$ahead/setup.log"
  echo "test.sh: installing the packages failed (scripts/setup.sh all)" >&2
  exit 1
fi

decide_route
emulator=$(command -v qemu-i386-static || true)
wine64=/usr/lib/wine/wine64
echo "test.sh: 32-bit route: $route32 (ZELQD_32BIT=$mode; this kernel" \
  "$( ((kernel32)) && echo runs || echo "does not run") 32-bit x86 programs itself)"

if [ "$route32" = native ] && ! ((kernel32)); then
  reason="ZELQD_32BIT=native, and this kernel cannot execute 32-bit x86 programs"
  skip i686 "native kernel" "$reason"
  skip win32 "wine, native kernel" "$reason"
elif [ "$route32" = native ]; then
  stage i686 "native kernel" i686_stage
  if passed native; then
    stage win32 "wine, native kernel" win32_stage
  else
    skip win32 "wine, native kernel" "the native build (the COM port peer) failed"
  fi
else
  if [ -n "$emulator" ]; then
    stage i686 "emulator (qemu-i386-static)" i686_stage
  else
    skip i686 "emulator" "qemu-i386-static is not installed (scripts/setup.sh all installs it)"
  fi
  stage win32 "static checks of the 32-bit DLL, no Wine" win32_static_stage
  if ! [ -x "$wine64" ]; then
    skip win64 "wine64" "$wine64 is not installed (scripts/setup.sh all installs wine64)"
  elif ! passed native; then
    skip win64 "wine64" "the native build (the COM port peer) failed"
  else
    stage win64 "wine64 (64-bit build of the Win32 backend)" win64_stage
  fi
fi

if passed native; then
  stage tidy "clang-tidy" tidy_stage
else
  skip tidy "clang-tidy" "the native build (compile_commands.json, generated headers) failed"
fi
if passed win32 || [ -f build/win32/CMakeCache.txt ]; then
  stage win32-package "MinGW-w64, no Wine" win32_package_stage
else
  skip win32-package "MinGW-w64" "the win32 build was not made"
fi
stage sanitize "native kernel, ASan+UBSan" sanitize_stage
stage fuzz "native kernel, libFuzzer" fuzz_stage
if passed native; then
  stage valgrind "native kernel, memcheck" valgrind_stage
else
  skip valgrind "native kernel, memcheck" "the native build failed"
fi
stage benchmark "native kernel" bench_stage
stage packages "native kernel, apt-get" packages_stage

# Last, so that the counts close the output.
echo
status=0
python3 scripts/ci-summary.py "$results" || status=$?
exit "$status"
