#!/usr/bin/env bash
# A first look at zelqd, with no serial hardware: builds the driver and its
# tools, then drives the driver the way a host does, against the simulator
# of the remote computer on a pseudo-terminal. Says what it does as it goes
# and ends with what to try next.
set -euo pipefail
cd "$(dirname "$0")/.."

say() { printf '\n== %s\n' "$*"; }
started=$SECONDS

say "Installing what the build needs, where missing (apt-get; scripts/setup.sh build --print lists it)."
bash scripts/setup.sh build

say "Building the driver (build/native/src/libzelqd.so.1) and its tools zelpoll, zelsim and zelgw
   (build/native/tools/), without the tests: about 3 minutes on a quiet 2-core machine, 12 on
   a busy one, seconds when it is built already."
cmake --preset native -DZELQD_BUILD_TESTS=OFF >/dev/null
cmake --build --preset native -j "$(nproc)" >/dev/null
echo "   built in $((SECONDS - started)) s"

zelpoll=./build/native/tools/zelpoll/zelpoll
say "Driving the driver. zelpoll loads libzelqd.so.1 and calls ZelMain as a host does. With no
   --port it serves the far end itself: the simulator of the remote computer on a
   pseudo-terminal. Lines starting with \"sim\" are the simulator's frame trace (<- request,
   -> reply); lines starting with \">\" are the commands, with what each shows. The simulator
   corrupts one digit of its second reply (--sim-corrupt req:2): the driver finds the checksum
   wrong and asks again."
set +e
"$zelpoll" --sim-trace --sim-corrupt req:2 script - 2>&1 <<'COMMANDS'
info                 # the driver's description, as GetDriverInfo reports it
write 42 100         # a write request, answered OK
read 42              # the read-back: its first reply is corrupted, the retry is not
block 40 5           # one read request for five values
write 43 -2          # a negative value: 32 bits, two's complement on the line
block 40 5
stop                 # suspend all traffic: the $STOP variable, nothing on the line
read 42              # refused while suspended
read STOP            # $STOP reads back 1
resume               # traffic again
read 42
COMMANDS
status=$?
set -e
echo
echo "zelpoll exit code: $status (1 = a command was refused: the read while traffic was suspended)"
[ "$status" -eq 1 ]

say "Done in $((SECONDS - started)) s. What to try next:"
cat <<'NEXT'
   build/native/tools/zelpoll/zelpoll --help                 # every command and option
   build/native/tools/zelpoll/zelpoll --sim-corrupt 25% poll 42 --count 10 --interval 100
                                                             # a noisy line: attempts and retries
   bash scripts/test.sh                                      # every target and suite (about 20 minutes)
   The README's "Next: a commissioning bench": zelsim, zelpoll by tag, zelgw over Modbus TCP
   and HTTP, in ten lines. Every page: docs/README.md.
NEXT
