#!/usr/bin/env bash
# Runs a Windows program of the win32 build under Wine; CTest puts it before
# every test program of that build.
#
#   wine-run.sh [--loader LOADER] [--peer PEER --ports N[,N...] [--sim N[,N...]]] PROGRAM.exe [ARGS...]
#   wine-run.sh [--loader LOADER] --make-prefix BUILD   only make BUILD's prefix
#
# LOADER is the Wine program that starts PROGRAM.exe: wine (the default,
# 32-bit Wine where wine32 is installed), or /usr/lib/wine/wine64 for the
# 64-bit build (its prefix is made 64-bit).
#
# The Wine prefix is WINEPREFIX when set, else wineprefix/ in the build
# directory (the nearest directory above the program that holds
# CMakeCache.txt); it is made on first use. Wine's own standard error goes
# to wine-logs/PROGRAM.log in the build directory, never to the console
# (after a line hangs up, wineserver can print thousands of lines); when the
# program fails, the last lines of that log are shown.
#
# With --peer, the program runs under the native peer of the COM port tests,
# which maps the ports COMN of the prefix to pseudo-terminals; with --sim,
# the simulator answers on the far end of those ports from the start.
set -euo pipefail

peer=() ports= sim=() loader=wine prefix_for=
while (($#)); do
  case "$1" in
    --loader) loader=$2; shift 2 ;;
    --make-prefix) prefix_for=$2; shift 2 ;;
    --peer) peer=("$2"); shift 2 ;;
    --ports) ports=$2; shift 2 ;;
    --sim) sim=(--sim "$2"); shift 2 ;;
    *) break ;;
  esac
done
if [ -n "$prefix_for" ]; then
  mkdir -p "$prefix_for"
  build=$(readlink -f "$prefix_for") program=
else
  (($#)) || { echo "usage: wine-run.sh [--peer PEER --ports N,... [--sim N,...]] PROGRAM.exe [ARGS...]" >&2; exit 2; }
  program=$(readlink -f "$1")
  shift
  build=$(dirname "$program")
  while [ "$build" != / ] && [ ! -f "$build/CMakeCache.txt" ]; do build=$(dirname "$build"); done
  [ "$build" != / ] || build=$(dirname "$program")
fi

export WINEPREFIX=${WINEPREFIX:-$build/wineprefix}
export WINEDEBUG=-all
# No Mono or Gecko installers: the tests need neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ "$loader" != wine ]; then
  export WINELOADER=$loader WINEARCH=win64
fi
# GoogleTest's XML report (GTEST_OUTPUT=xml:/a/folder/) in Windows' terms:
# the folder through the Z: drive.
if [[ ${GTEST_OUTPUT:-} == xml:/* ]]; then
  dir=${GTEST_OUTPUT#xml:}
  export GTEST_OUTPUT="xml:Z:${dir//\//\\}"
fi
logs=$build/wine-logs
mkdir -p "$logs"
log=$logs/$(basename "${program:-wineboot}" .exe).log
: >"$log"

# The first program to run makes the prefix; the others wait for it.
(
  flock 9
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine-run: making the Wine prefix $WINEPREFIX" >&2
    "$loader" wineboot -i >>"$logs/wineboot.log" 2>&1
    wineserver -w
  fi
) 9>"$build/wineprefix.lock"
[ -n "$program" ] || exit 0

command=("$loader" "$program" "$@")
if ((${#peer[@]})); then
  [ -x "${peer[0]}" ] || { echo "wine-run: the peer ${peer[0]} is missing (build the native preset first)" >&2; exit 1; }
  command=("${peer[0]}" --dosdevices "$WINEPREFIX/dosdevices" --ports "$ports" "${sim[@]}" -- "${command[@]}")
fi

status=0
"${command[@]}" 2>>"$log" || status=$?
if ((status != 0)); then
  echo "wine-run: $(basename "$program") exited with $status; the last lines of $log:" >&2
  # Without wineserver's registry dumps.
  grep -avE '^ *(0x)?[0-9a-f]+:([0-9]+:)? ' "$log" | tail -n 30 >&2 || true
fi
exit "$status"
