#!/usr/bin/env bash
# Takes the picture of the device list with its four kinds of rows (docs/device-list-states.png):
# a healthy amplifier, one with a fan fault, one that cannot be reached, and one with AVLO
# unticked. Runs the monitor on a virtual display against simulated devices on loopback
# addresses; nothing is sent outside this machine, and everything stops by itself.
#
#   xvfb-run -a -s "-screen 0 800x560x24" bash scripts/device-list-shot.sh [OUTPUT.png]
#
# Needs a built tree (build/) and ImageMagick's import.
set -euo pipefail
cd "$(dirname "$0")/.."
OUT=${1:-docs/device-list-states.png}
MONITOR=build/app/avlo-monitor
DEVSIM=build/tools/devsim/avlo-devsim
SCRATCH=$(mktemp -d /tmp/avlo-shot.XXXXXX)
NET=127.0.105

# Only the first two addresses have a device behind them; discovery is switched off so that
# the site holds exactly the four registered rows.
"$DEVSIM" --quiet --discovery-listen none --duration 30 \
  --device "$NET.2:02:12000002" --device "$NET.3:02:12000003" \
  --fault 1:fan:3 </dev/null >"$SCRATCH/devsim.log" 2>&1 &
DEVSIM_PID=$!
MONITOR_PID=""
cleanup() {
  [ -n "$MONITOR_PID" ] && kill "$MONITOR_PID" 2>/dev/null || true
  kill "$DEVSIM_PID" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$SCRATCH"
}
trap cleanup EXIT

{
  printf '[Options]\r\nStartup=0\r\n'
  printf '[AVLO]\r\nRegistered=4\r\n'
  n=0
  for row in "Stage Left:$NET.2:1" "Stage Right:$NET.3:1" "Balcony:$NET.4:1" "Spare:$NET.5:0"; do
    IFS=: read -r name address avlo <<<"$row"
    printf 'Name %d=%s\r\nIP %d=%s\r\navlo %d=%s\r\n' "$n" "$name" "$n" "$address" "$n" "$avlo"
    n=$((n + 1))
  done
} >"$SCRATCH/avlo-monitor.ini"
sleep 0.5

"$MONITOR" --config "$SCRATCH/avlo-monitor.ini" --lock-file "$SCRATCH/avlo.lock" \
  --discovery-address "$NET.254" >"$SCRATCH/monitor.log" 2>&1 &
MONITOR_PID=$!
sleep 4
import -window "AVLO Monitor" "$OUT"
echo "device-list-shot: wrote $OUT"
