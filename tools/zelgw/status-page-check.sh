#!/usr/bin/env bash
# Checks the status page in headless Chromium: zelgw runs from the example
# configuration on two zelsim lines, Chromium loads http://.../ and runs its
# script, the rendered page must show both lines open and every tag good, and
# a screenshot is saved.
#   tools/zelgw/status-page-check.sh [build directory] [screenshot.png]
# Defaults: build/native and /tmp/zelgw-status.png. Needs chromium and curl.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build/native}
shot=${2:-/tmp/zelgw-status.png}
zelgw=$build/tools/zelgw/zelgw
zelsim=$build/tools/zelsim/zelsim
for program in "$zelgw" "$zelsim"; do
  [ -x "$program" ] || { echo "status-page-check: $program not built" >&2; exit 1; }
done
command -v chromium >/dev/null || { echo "status-page-check: chromium not installed" >&2; exit 1; }

work=$(mktemp -d /tmp/zelgw-page-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -f "${links[@]}"
  rm -rf "$work"
}
trap cleanup EXIT

# Two remote computers behind short links (the driver takes 11 characters).
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

# The example configuration on those lines, on free ports.
sed -e "s#port = \"ttyUSB0\"#port = \"${links[0]}\"#" \
    -e "s#port = \"ttyUSB1\"#port = \"${links[1]}\"#" \
    -e 's/^port = 502 .*/port = 0/' -e 's/^port = 8080/port = 0/' \
    tools/zelgw/zelgw.example.toml >"$work/zelgw.toml"
"$zelgw" -c "$work/zelgw.toml" 2>"$work/zelgw.err" &
pids+=($!)
http=
for _ in $(seq 100); do
  http=$(sed -n 's/.* http=[^ ]*:\([0-9]*\) .*/\1/p' "$work/zelgw.err")
  [ -n "$http" ] && break
  sleep 0.1
done
[ -n "$http" ] || { cat "$work/zelgw.err" >&2; exit 1; }
modbus=$(sed -n 's/.* modbus=[^ ]*:\([0-9]*\) .*/\1/p' "$work/zelgw.err")
url=http://127.0.0.1:$http/
# DRYER.MODE is read on demand only: a Modbus master asks for it once.
if command -v mbpoll >/dev/null; then
  mbpoll -m tcp -p "$modbus" -1 -0 -a 2 -t 4:int -r 1002 127.0.0.1 >/dev/null 2>&1 || true
fi
# The polled tags read once.
for _ in $(seq 50); do
  [ "$(curl -s "$url"status | grep -c '"quality": "good"')" -ge 4 ] && break
  sleep 0.2
done

flags=(--headless --no-sandbox --disable-gpu --disable-quic --no-first-run
  --disable-background-networking --disable-component-update --disable-sync
  --user-data-dir="$work/profile" --window-size=1280,720 --virtual-time-budget=4000)
chromium "${flags[@]}" --dump-dom "$url" >"$work/dom.html" 2>"$work/chromium.err"
chromium "${flags[@]}" --screenshot="$shot" "$url" >/dev/null 2>>"$work/chromium.err"

# The page as the script rendered it: both lines open, every polled tag good.
fail=0
check() {
  if grep -q "$1" "$work/dom.html"; then echo "ok: $2"; else echo "FAILED: $2"; fail=1; fi
}
check '<span class="badge open">open</span>' "a line shown open"
[ "$(grep -o '<span class="badge open">open</span>' "$work/dom.html" | wc -l)" -eq 2 ] &&
  echo "ok: both lines open" || { echo "FAILED: both lines open"; fail=1; }
check 'TIC101.PV' "tag TIC101.PV listed"
check '>21.5<' "TIC101.PV shown as 21.5 (raw 215, scale 0.1)"
check 'class="on"' "live: the page's last fetch of /status succeeded"
good=$(grep -o '<span class="badge good">good</span>' "$work/dom.html" | wc -l)
[ "$good" -ge 4 ] && echo "ok: $good tags good" || { echo "FAILED: $good tags good, 4 expected"; fail=1; }
[ -s "$shot" ] && echo "screenshot: $shot" || { echo "FAILED: no screenshot"; fail=1; }
exit "$fail"
