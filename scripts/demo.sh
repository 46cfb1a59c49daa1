#!/usr/bin/env bash
# The main job: builds the driver and its tools, then drives the driver the
# way a host does. zelpoll loads libzelqd.so and calls ZelMain; with no port
# given it serves the far end of the line itself, with the simulator of the
# remote computer on a pseudo-terminal, so no serial hardware is needed.
# Lines starting with "sim" are the simulator's frame trace. The simulator
# corrupts one digit of its second reply (--sim-corrupt req:2): the driver
# finds the checksum wrong and asks again.
set -euo pipefail
cd "$(dirname "$0")/.."
# Only what the build and the demo need; the tests come with scripts/test.sh.
bash scripts/setup.sh build
cmake --preset native -DZELQD_BUILD_TESTS=OFF >/dev/null
cmake --build --preset native -j "$(nproc)" >/dev/null

zelpoll=./build/native/tools/zelpoll/zelpoll
set +e
"$zelpoll" --sim-trace --sim-corrupt req:2 script - 2>&1 <<'COMMANDS'
info                 # the driver's description, as GetDriverInfo reports it
write 42 100         # a write request, answered OK
read 42              # the read-back: its first reply is corrupted, the retry is not
block 40 5           # one read request for five values
write 43 -2
block 40 5
stop                 # suspend all traffic: the $STOP variable, nothing on the line
read 42              # refused while suspended
read STOP
resume
read 42              # traffic again
COMMANDS
status=$?
set -e
echo
echo "zelpoll exit code: $status (1 = a command was refused: the read while traffic was suspended)"
[ "$status" -eq 1 ]
