#!/usr/bin/env bash
# The format gate: every tracked C and C++ file must be exactly as
# clang-format (Debian's, with the committed .clang-format) writes it.
# Fails with the list of files that differ and the command that fixes them.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files -- '*.c' '*.cc' '*.cpp' '*.h' '*.hpp')
((${#files[@]})) || { echo "format: no tracked C or C++ files found (not a git checkout?)" >&2; exit 1; }
report=$(clang-format --dry-run --Werror "${files[@]}" 2>&1) && status=0 || status=$?
if ((status == 0)); then
  echo "format: ${#files[@]} files, no differences ($(clang-format --version))"
  exit 0
fi
mapfile -t bad < <(sed -n 's/^\([^:]*\):[0-9]*:[0-9]*: error:.*/\1/p' <<<"$report" | sort -u)
head -n 60 <<<"$report"
echo
echo "format: FAILED: ${#bad[@]} file(s) differ from clang-format's layout: ${bad[*]}"
echo "format: to fix, run:  clang-format -i ${bad[*]}"
exit 1
