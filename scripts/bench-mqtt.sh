#!/usr/bin/env bash
# Builds the gateway's MQTT benchmark (CMake preset "bench", in build/bench)
# and runs it. Arguments go to zelgw_mqtt_bench: --sections latency,lines,
# --samples N, --seconds N. See docs/zelgw-mqtt.md.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset bench >/dev/null
cmake --build build/bench -j "$(nproc)" --target zelgw_mqtt_bench >/dev/null
exec build/bench/bench/gateway/zelgw_mqtt_bench "$@"
