#!/usr/bin/env bash
# The static-analysis gate: clang-tidy with the committed .clang-tidy
# (tools/.clang-tidy adds to it) over the files of src/ and tools/ that a
# build compiles, using that build's compile_commands.json. Any warning fails.
#   scripts/check-tidy.sh [--all] [--record] [build directory (default build/native)]
# The build must have been configured and built (generated headers, and the
# dependency files that tell which sources include a changed header).
# Files of the build tree (generated sources) and headers outside src/,
# tools/ and include/zelqd/ are not checked.
#
# What a change can affect: .ci/tidy-passed records a commit whose full run
# passed, and the clang-tidy version of that run. When that commit is an
# ancestor of HEAD and the version is the same, only the files that differ
# from it (committed, staged, changed or untracked) are checked, with every
# source whose dependency file names a changed header; a change to any
# .clang-tidy, to the CMake files that compile src/ and tools/ (the top
# one, theirs, cmake/), the presets or this gate checks everything.
# Without such a record, or with --all, every file is checked.
# --record, after a full run that passed on a clean tree, writes HEAD and
# the version to .ci/tidy-passed (commit it with the change it follows).
set -euo pipefail
cd "$(dirname "$0")/.."
all=0 record=0
while (($#)); do
  case "$1" in
    --all) all=1; shift ;;
    --record) record=1 all=1; shift ;;
    *) break ;;
  esac
done
build=${1:-build/native}
db=$build/compile_commands.json
[ -f "$db" ] || { echo "tidy: $db missing: configure the build first (cmake --preset native)" >&2; exit 1; }
root=$PWD
version=$(clang-tidy --version | sed -n 's/.*LLVM version //p')
mapfile -t files < <(sed -n 's/^ *"file": "\(.*\)",\{0,1\}$/\1/p' "$db" | sed "s|^$root/||" |
  grep -E '^(src|tools)/' | sort -u)
((${#files[@]})) || { echo "tidy: no files of src/ or tools/ in $db" >&2; exit 1; }
total=${#files[@]}
scope="all $total files of src/ and tools/"
if ((!all)) && [ -f .ci/tidy-passed ]; then
  base=$(sed -n 's/^commit //p' .ci/tidy-passed)
  base_version=$(sed -n 's/^clang-tidy //p' .ci/tidy-passed)
  if [ "$base_version" != "$version" ]; then
    scope="all $total files (clang-tidy $version, the recorded run had ${base_version:-none})"
  elif ! git cat-file -e "$base^{commit}" 2>/dev/null || ! git merge-base --is-ancestor "$base" HEAD; then
    scope="all $total files (the recorded commit ${base:0:12} is not an ancestor of HEAD here)"
  else
    changed=$(mktemp)
    { git diff --name-only "$base" --; git ls-files --others --exclude-standard; } | sort -u >"$changed"
    if grep -qE '(^|/)\.clang-tidy$|^CMakeLists\.txt$|^(src|tools)/(.*/)?CMakeLists\.txt$|^cmake/|^CMakePresets\.json$|^scripts/(check-tidy\.sh|tidy-select\.py)$' "$changed"; then
      scope="all $total files (a .clang-tidy, CMake file or the gate itself differs from ${base:0:12})"
    else
      mapfile -t files < <(python3 scripts/tidy-select.py "$root" "$db" "$changed")
      scope="${#files[@]} of $total files: those that differ from ${base:0:12} (the last full run that passed) or include a header that does"
    fi
    rm -f "$changed"
  fi
fi
echo "tidy: checking $scope"
if ((${#files[@]} == 0)); then
  echo "tidy: no file of src/ or tools/ can be affected by the change: nothing to check"
  exit 0
fi
logs=$build/tidy
rm -rf "$logs"
mkdir -p "$logs"
jobs=$(nproc)
((jobs > 2)) && jobs=2
start=$SECONDS
# One clang-tidy per file, two at a time; each file's diagnostics to a log
# of its own so that parallel runs do not interleave.
status=0
# A line as each file is done, so that a long run shows its progress.
printf '%s\n' "${files[@]}" | xargs -P "$jobs" -I{} sh -c \
  'clang-tidy --quiet -p "$1" "$2" >"$3/$(echo "$2" | tr / _).log" 2>&1; s=$?; echo "tidy: $2 done ($(($(date +%s) - $4)) s)"; exit $s' \
  sh "$build" {} "$logs" "$(date +%s)" ||
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
echo "tidy: ${#files[@]} files of src/ and tools/, no findings (${seconds}s, $jobs jobs, clang-tidy $version)"
if ((record)); then
  if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
    echo "tidy: not recorded: the tree has uncommitted changes" >&2
    exit 1
  fi
  printf 'commit %s\nclang-tidy %s\n' "$(git rev-parse HEAD)" "$version" >.ci/tidy-passed
  echo "tidy: recorded $(git rev-parse --short HEAD) in .ci/tidy-passed"
fi
