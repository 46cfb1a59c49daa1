#!/usr/bin/env bash
# Builds the driver and its tools and runs every test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)
cmake --preset native >/dev/null
cmake --build --preset native -j "$jobs"
ctest --preset native -j "$jobs"

# 32-bit build: the exact record layouts are checked at compile time.
cmake --preset i686 -DZELQD_BUILD_TESTS=OFF >/dev/null
cmake --build --preset i686 -j "$jobs"
echo "i686: library built, record layouts checked"
