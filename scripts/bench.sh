#!/usr/bin/env bash
# Builds the benchmark (CMake preset "bench", in build/bench) and runs it.
# Arguments go to zelqd_bench: --short is the quick form that CI runs;
# --sections single,ports,pace picks parts. See docs/performance.md.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset bench >/dev/null
cmake --build --preset bench -j "$(nproc)" >/dev/null
exec build/bench/bench/zelqd_bench "$@"
