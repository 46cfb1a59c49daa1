#!/usr/bin/env bash
# Counts what one transfer costs the client, case by case (the cases of the
# benchmark; the peer runs in a child process that neither tool follows):
#   - system calls: strace -c on the client's thread, in two runs of
#     different lengths, so that everything outside the loop (start, set-up,
#     the end) cancels out of the difference;
#   - user-space instructions: valgrind's callgrind, instrumenting the
#     measured loop only (warmed up first, so lazy binding stays outside);
#   - heap allocations: the benchmark's own counting malloc, over the loop.
# Usage: scripts/count.sh [CASE...]   (default: all cases)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset bench >/dev/null
cmake --build --preset bench -j "$(nproc)" >/dev/null
bench=build/bench/bench/zelqd_bench

cases=("$@")
if ((${#cases[@]} == 0)); then
  cases=(bare-read readvar modbus-read bare-write writevar modbus-write bare-block readblock
         modbus-block)
fi
short=200       # transfers of the shorter strace run
long=1200       # transfers of the longer one
measured=1000   # transfers under callgrind
warmup=100

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# "name calls" per line from an strace -c summary.
calls() {
  awk '$1 ~ /^[0-9.]+$/ && $NF != "total" { print $NF, $4 }' "$1" | sort
}

echo "| case | system calls per transfer | which | user-space instructions per transfer | heap allocations per transfer |"
echo "|---|---:|---|---:|---:|"
for c in "${cases[@]}"; do
  strace -c -o "$work/$c.short" "$bench" --count "$c" --transfers $short --warmup $warmup >/dev/null
  strace -c -o "$work/$c.long" "$bench" --count "$c" --transfers $long --warmup $warmup >/dev/null
  per_call=$(join -a 1 -a 2 -e 0 -o 0,1.2,2.2 <(calls "$work/$c.short") <(calls "$work/$c.long") |
    awk -v n=$((long - short)) '{ d = ($3 - $2) / n; if (d >= 0.005) printf "%s %.2f\n", $1, d }')
  total=$(awk '{ s += $2 } END { printf "%.2f", s }' <<<"$per_call")
  which=$(awk '{ v = $2; sub(/\.00$/, "", v); printf "%s%s %s", (NR > 1 ? ", " : ""), $1, v }' <<<"$per_call")

  out=$(valgrind --tool=callgrind --instr-atstart=no --callgrind-out-file="$work/$c.cg.%p" \
    --log-file="$work/$c.vg" "$bench" --count "$c" --transfers $measured --warmup $warmup)
  collected=$(awk '/Collected :/ { print $NF }' "$work/$c.vg" | head -1)
  instructions=$(awk -v c="$collected" -v n=$measured 'BEGIN { printf "%.0f", c / n }')
  allocations=$(awk -v n=$measured '{ for (i = 1; i < NF; ++i) if ($i == "allocations") printf "%.2f", $(i + 1) / n }' <<<"$out")

  echo "| $c | ${total%.00} | $which | $instructions | $allocations |"
done
