#!/usr/bin/env bash
# Builds the gateway's benchmark (CMake preset "bench", in build/bench) and
# runs it. Arguments go to zelgw_bench: --short is a quick run;
# --sections cache,readthrough,lines picks parts. See docs/zelgw.md.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset bench >/dev/null
cmake --build build/bench -j "$(nproc)" --target zelgw_bench >/dev/null
exec build/bench/bench/gateway/zelgw_bench "$@"
