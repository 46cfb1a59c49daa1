#!/usr/bin/env bash
# A session of zelgw over MQTT, as a subscriber sees it: a mosquitto broker
# on a free port, zelgw from the example configuration (with an [mqtt]
# table) on two zelsim lines, and `mosquitto_sub -v -t 'plant/#'` recording.
# Then writes by mosquitto_pub (answered on .../set/result, and on an MQTT 5
# response topic), $STOP, the broker killed and started again while a Modbus
# master (mbpoll) changes a value, and zelgw killed: its last will.
#   tools/zelgw/mqtt-session.sh [build directory]
# Default build/native. Needs mosquitto, mosquitto-clients and mbpoll.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build/native}
zelgw=$build/tools/zelgw/zelgw
zelsim=$build/tools/zelsim/zelsim
for program in "$zelgw" "$zelsim"; do
  [ -x "$program" ] || { echo "mqtt-session: $program not built" >&2; exit 1; }
done

work=$(mktemp -d /tmp/zelgw-mqtt-session-XXXXXX)
pids=()
broker=
cleanup() {
  for pid in "${pids[@]}" $broker; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -f "${links[@]}"
  rm -rf "$work"
}
trap cleanup EXIT

# A free port for the broker.
port=
for _ in $(seq 50); do
  candidate=$((20000 + RANDOM % 20000))
  if ! ss -Htln "sport = :$candidate" | grep -q .; then port=$candidate; break; fi
done
cat >"$work/broker.conf" <<EOF
listener $port 127.0.0.1
allow_anonymous true
persistence true
persistence_location $work/
autosave_interval 1
autosave_on_changes true
EOF
# As root, mosquitto would switch to its own user, which cannot write here.
if [ "$(id -u)" -eq 0 ]; then echo "user root" >>"$work/broker.conf"; fi
start_broker() {
  mosquitto -c "$work/broker.conf" >>"$work/broker.log" 2>&1 &
  broker=$!
  for _ in $(seq 50); do ss -Htln "sport = :$port" | grep -q . && break; sleep 0.1; done
}

links=("$(mktemp -u /tmp/XXXXXX)" "$(mktemp -u /tmp/XXXXXX)")
printf '101 215\n102 200\n103 153\n' >"$work/boiler.values"
printf '40010 0x42C80000\n90001 3\n' >"$work/dryer.values"
"$zelsim" --link "${links[0]}" --quiet --values "$work/boiler.values" >"$work/sim1.out" 2>&1 &
pids+=($!)
"$zelsim" --link "${links[1]}" --quiet --values "$work/dryer.values" >"$work/sim2.out" 2>&1 &
pids+=($!)
for link in "${links[@]}"; do
  for _ in $(seq 50); do [ -L "$link" ] && break; sleep 0.1; done
done
sed -e "s#port = \"ttyUSB0\"#port = \"${links[0]}\"#" \
    -e "s#port = \"ttyUSB1\"#port = \"${links[1]}\"#" \
    -e 's/^port = 502 .*/port = 0/' -e 's/^port = 8080/port = 0/' \
    tools/zelgw/zelgw.example.toml >"$work/zelgw.toml"
cat >>"$work/zelgw.toml" <<EOF
[mqtt]
host = "127.0.0.1"
port = $port
prefix = "plant"
health_interval_s = 60
EOF

out=$work/transcript
say() { printf '\n$ %s\n' "$*" >>"$out"; }
start_broker
say "mosquitto_sub -v -t 'plant/#'    # (recording from here on)"
mosquitto_sub -p "$port" -v -t 'plant/#' >>"$out" 2>&1 &
pids+=($!)
sleep 0.5
say "zelgw -c zelgw.toml              # the example configuration, two zelsim lines"
"$zelgw" -c "$work/zelgw.toml" 2>"$work/zelgw.err" &
gateway=$!
pids+=($gateway)
sleep 2.5

say "mosquitto_pub -t plant/boiler/TIC101.SP/set -m 42.5"
mosquitto_pub -p "$port" -t plant/boiler/TIC101.SP/set -m 42.5
sleep 1
say "mosquitto_pub -V 5 -t plant/boiler/TIC101.SP/set -m '{\"value\": 43}' -D publish response-topic plant/hmi/answers -D publish correlation-data req-7"
mosquitto_pub -p "$port" -V 5 -t plant/boiler/TIC101.SP/set -m '{"value": 43}' \
  -D publish response-topic plant/hmi/answers -D publish correlation-data req-7
sleep 1
say "mosquitto_pub -t plant/boiler/TIC101.PV/set -m 1      # a read-only tag"
mosquitto_pub -p "$port" -t plant/boiler/TIC101.PV/set -m 1
sleep 1
say "mosquitto_pub -t 'plant/dryer/\$STOP/set' -m 1; mosquitto_pub -t plant/dryer/DRYER.MODE/set -m 4"
mosquitto_pub -p "$port" -t 'plant/dryer/$STOP/set' -m 1
sleep 0.5
mosquitto_pub -p "$port" -t plant/dryer/DRYER.MODE/set -m 4
sleep 1
say "mosquitto_pub -t 'plant/dryer/\$STOP/set' -m 0"
mosquitto_pub -p "$port" -t 'plant/dryer/$STOP/set' -m 0
sleep 1

modbus=$(sed -n 's/.* modbus=[^ ]*:\([0-9]*\) .*/\1/p' "$work/zelgw.err")
say "kill -9 <mosquitto>; mbpoll ... -r 204 -- 555 (TIC101.SP over Modbus while the broker is away); mosquitto -c broker.conf"
kill -9 "$broker"
wait "$broker" 2>/dev/null || true
sleep 0.5
mbpoll -m tcp -p "$modbus" -a 1 -0 -B -t 4:int -r 204 -1 127.0.0.1 -- 555 >"$work/mbpoll.out" 2>&1
sleep 1.5
start_broker
sleep 4

say "kill -9 <zelgw>                   # the broker publishes the last will"
{ kill -9 "$gateway"; wait "$gateway"; } 2>/dev/null || true
sleep 1.5

cat "$out"
echo
echo "--- zelgw's log (stderr) ---"
grep -E 'mqtt|ready' "$work/zelgw.err"
echo
echo "--- mbpoll ---"
grep -E 'Written|error' "$work/mbpoll.out" || cat "$work/mbpoll.out"
