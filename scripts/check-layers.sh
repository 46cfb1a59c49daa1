#!/usr/bin/env bash
# The dependency arrows between the driver's folders under src/: a file may
# include its own folder's headers, the public header (zelqd/), and the
# folders below its own:
#
#   driver   -> protocol, address, serial
#   protocol -> serial
#   address, serial -> nothing
#
# Every quoted #include of a file under src/ is checked; any other arrow, or
# an include that names no folder, is reported with its file and line, and
# the script fails.
#
# The gateway's folders under tools/zelgw/ are checked the same way:
#
#   core                -> nothing of zelgw but itself
#   modbus, mqtt, http  -> core (never one another)
#   the top (main, config and the pages) -> anything
#
# An include there that names no folder must be no file of zelgw (the
# shared pieces of tools/common, the public headers); and the TOML reader
# (tag_file.h, toml++) is the top's alone.
#
#   check-layers.sh [SOURCE_DIR]   (default: the repository this script is in)
set -euo pipefail
root=${1:-"$(dirname "$0")/.."}
cd "$root/src"

declare -A allowed=(
  [driver]="driver protocol address serial"
  [protocol]="protocol serial"
  [address]="address"
  [serial]="serial"
)

status=0
checked=0
for folder in "${!allowed[@]}"; do
  while IFS=: read -r file line include; do
    checked=$((checked + 1))
    target=${include%%/*}
    [ "$target" = zelqd ] && continue
    if [ "$target" = "$include" ] || [[ " ${allowed[$folder]} " != *" $target "* ]]; then
      echo "src/$file:$line: $folder -> ${target%.h}: #include \"$include\"" >&2
      status=1
    fi
  done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$folder" |
           sed -E 's/^([^:]*):([0-9]+):.*#[[:space:]]*include[[:space:]]*"([^"]*)".*/\1:\2:\3/')
done

# Every folder under src/ must have a place above.
for dir in */; do
  dir=${dir%/}
  if [ -z "${allowed[$dir]+set}" ]; then
    echo "src/$dir: a folder without arrows in scripts/check-layers.sh" >&2
    status=1
  fi
done

# The gateway.
cd ../tools/zelgw
declare -A gateway=(
  [core]="core"
  [modbus]="modbus core"
  [mqtt]="mqtt core"
  [http]="http core"
)
for folder in "${!gateway[@]}"; do
  while IFS=: read -r file line include; do
    checked=$((checked + 1))
    target=${include%%/*}
    if [ "$target" = "$include" ]; then
      if [ -n "$(find . -name "${include##*/}" -print -quit)" ] || [ "$include" = tag_file.h ] || [[ "$include" == toml++* ]]; then
        echo "tools/zelgw/$file:$line: $folder -> ${include%.h}: #include \"$include\"" >&2
        status=1
      fi
    elif [[ " ${gateway[$folder]} " != *" $target "* ]]; then
      echo "tools/zelgw/$file:$line: $folder -> $target: #include \"$include\"" >&2
      status=1
    fi
  done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*["<]' "$folder" |
           sed -E 's/^([^:]*):([0-9]+):.*#[[:space:]]*include[[:space:]]*["<]([^">]*)[">].*/\1:\2:\3/' |
           grep -E ':(core|modbus|mqtt|http)/|:[^/]*$|:toml\+\+')
done
for dir in */; do
  dir=${dir%/}
  if [ -z "${gateway[$dir]+set}" ]; then
    echo "tools/zelgw/$dir: a folder without arrows in scripts/check-layers.sh" >&2
    status=1
  fi
done

if ((status == 0)); then
  echo "layers: $checked includes checked; arrows driver -> protocol, address, serial; protocol -> serial;" \
    "zelgw: modbus, mqtt, http -> core"
fi
exit "$status"
