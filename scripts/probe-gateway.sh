#!/usr/bin/env bash
# Builds zelgw_probe and runs it against a gateway: header flood, idle and
# slow HTTP clients, idle Modbus clients, SIGTERM during queued writes, each
# bounded in time, on loopback; prints RSS, descriptors and the slowest
# /metrics and Modbus answers for each. About 90 s.
#   scripts/probe-gateway.sh [ZELGW_PROGRAM]
# Default: the gateway of build/native (built first).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build/native}
[ -d "$build" ] || cmake --preset native >/dev/null
cmake --build "$build" -j "${JOBS:-2}" --target zelgw_probe zelgw zelqd >/dev/null
exec "$build/tests/gateway/zelgw_probe" "${1:-$build/tools/zelgw/zelgw}"
