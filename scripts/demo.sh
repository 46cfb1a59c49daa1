#!/usr/bin/env bash
# Builds the driver and shows what a host sees: the driver description and
# an address check, through ZelMain.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset native >/dev/null
cmake --build --preset native -j "$(nproc)" >/dev/null
exec ./build/native/tools/zelinfo
