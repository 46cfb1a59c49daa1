#!/usr/bin/env bash
# The static-analysis gate: clang-tidy with the committed .clang-tidy
# (tools/.clang-tidy adds to it) over every file of src/ and tools/ that a
# build compiles, using that build's compile_commands.json. Any warning fails.
#   scripts/check-tidy.sh [build directory (default build/native)]
# The build must have been configured (and built, for generated headers).
# Files of the build tree (generated sources) and headers outside src/,
# tools/ and include/zelqd/ are not checked.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/native}
db=$build/compile_commands.json
[ -f "$db" ] || { echo "tidy: $db missing: configure the build first (cmake --preset native)" >&2; exit 1; }
root=$PWD
mapfile -t files < <(sed -n 's/^ *"file": "\(.*\)",\{0,1\}$/\1/p' "$db" | sed "s|^$root/||" |
  grep -E '^(src|tools)/' | sort -u)
((${#files[@]})) || { echo "tidy: no files of src/ or tools/ in $db" >&2; exit 1; }
logs=$build/tidy
rm -rf "$logs"
mkdir -p "$logs"
jobs=$(nproc)
((jobs > 2)) && jobs=2
start=$SECONDS
# One clang-tidy per file, two at a time; each file's diagnostics to a log
# of its own so that parallel runs do not interleave.
status=0
printf '%s\n' "${files[@]}" | xargs -P "$jobs" -I{} sh -c \
  'clang-tidy --quiet -p "$1" "$2" >"$3/$(echo "$2" | tr / _).log" 2>&1' sh "$build" {} "$logs" ||
  status=$?
failed=0
for f in "${files[@]}"; do
  log=$logs/$(echo "$f" | tr / _).log
  if grep -qE '(warning|error): ' "$log"; then
    failed=$((failed + 1))
    grep -vE '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$|^Suppressed [0-9]+ warnings|^Use -header-filter|^Error while processing' "$log" |
      sed "s|$root/||"
  fi
done
seconds=$((SECONDS - start))
if ((status != 0 || failed != 0)); then
  echo "tidy: FAILED: findings in $failed of ${#files[@]} files (${seconds}s; logs in $logs)."
  echo "tidy: fix each at its line, or, where the code is right, suppress it at that line with"
  echo "tidy: // NOLINT(check-name) or // NOLINTNEXTLINE(check-name) and the reason; see CONTRIBUTING.md."
  exit 1
fi
echo "tidy: ${#files[@]} files of src/ and tools/, no findings (${seconds}s, $jobs jobs, $(clang-tidy --version | sed -n 's/.*LLVM version //p'))"
