#!/usr/bin/env bash
# The long fault-injection soak: the driver through ZelMain against the
# simulator on a pseudo-terminal, a quarter of the replies faulty (late ones
# up to twice the reply time-out among them), transfers back to back.
#   scripts/soak.sh [transfers (default 20000)] [seed (default 1)] [reply time-out in ms (default 100)]
# About 30 ms a transfer with the default time-out: some 10 minutes for 20000.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset native >/dev/null
cmake --build --preset native -j "$(nproc)" --target zelqd_soak
exec build/native/tests/soak/zelqd_soak --transfers "${1:-20000}" --seed "${2:-1}" --timeout-ms "${3:-100}"
