#!/usr/bin/env bash
# Takes the pictures of the properties dialog under a window manager: the Statistics tab, the
# Configuration tab while an Apply is being sent, and the Summary tab once the device's
# connection is lost. Runs the monitor (with "stats") on a virtual display against one
# simulated amplifier on a loopback address and drives it with the keyboard; nothing is sent
# outside this machine, and everything stops by itself.
#
#   xvfb-run -a -s "-screen 0 800x600x24" sh -c 'openbox & sleep 1; bash scripts/properties-shot.sh [DIR]'
#
# Needs a built tree (build/), xdotool and ImageMagick's import.
set -euo pipefail
cd "$(dirname "$0")/.."
OUT=${1:-docs}
MONITOR=build/app/avlo-monitor
DEVSIM=build/tools/devsim/avlo-devsim
SCRATCH=$(mktemp -d /tmp/avlo-props-shot.XXXXXX)
NET=127.0.106

mkfifo "$SCRATCH/devsim.commands"
# An RV13 with a fan fault on channel 3 and the +12V rail out.
"$DEVSIM" --quiet --discovery-listen none --duration 60 --device "$NET.2:03:12000002" \
  --fault 0:fan:3 --supply-fault 0:1 <"$SCRATCH/devsim.commands" >"$SCRATCH/devsim.log" 2>&1 &
DEVSIM_PID=$!
exec 3>"$SCRATCH/devsim.commands"
MONITOR_PID=""
cleanup() {
  [ -n "$MONITOR_PID" ] && kill "$MONITOR_PID" 2>/dev/null || true
  exec 3>&- || true
  kill "$DEVSIM_PID" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$SCRATCH"
}
trap cleanup EXIT

# Counters from a file written before the program kept since when they count.
printf '[Options]\r\nStartup=0\r\n[AVLO]\r\nRegistered=1\r\nName 0=Stage Left\r\nIP 0=%s.2\r\navlo 0=1\r\n[STATS]\r\nFanErr2device 0=4\r\nPlus12VErrdevice 0=2\r\n' \
  "$NET" >"$SCRATCH/avlo-monitor.ini"

"$MONITOR" --config "$SCRATCH/avlo-monitor.ini" --lock-file "$SCRATCH/avlo.lock" \
  --discovery-address "$NET.254" stats >"$SCRATCH/monitor.log" 2>&1 &
MONITOR_PID=$!
sleep 3

main=$(xdotool search --sync --name '^AVLO Monitor$' | head -1)
xdotool windowactivate --sync "$main"
# The first row, then Device > Show Properties.
xdotool mousemove --window "$main" 106 157 click 1
sleep 0.3
xdotool key --clearmodifiers alt+v
sleep 0.3
xdotool key --clearmodifiers p
dialog=$(xdotool search --sync --name '^Properties :  Stage Left' | head -1)
sleep 0.5
shot() {
  sleep 0.4
  import -frame -window "$dialog" "$OUT/$1"
  echo "properties-shot: wrote $OUT/$1"
}

xdotool key --clearmodifiers alt+s
shot properties-statistics.png

# Channel 2 off, then Apply: the picture is taken while its requests are on their way.
xdotool key --clearmodifiers alt+o
sleep 0.3
xdotool key --clearmodifiers Tab Tab Tab Right
sleep 0.2
xdotool key --clearmodifiers alt+a
shot properties-sending.png
sleep 3

# The device goes away for good.
xdotool key --clearmodifiers alt+u
echo "refuse 0 on" >&3
echo "drop 0" >&3
sleep 1.5
shot properties-summary-lost.png
