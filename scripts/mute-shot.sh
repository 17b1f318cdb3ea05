#!/usr/bin/env bash
# Takes the pictures of muting a device's alerts under a window manager: the notifiable events
# dialog with its alert rules, the device list with a muted row and its hint, and the properties
# dialog's mute button with its menu open. Runs the monitor on a virtual display against two
# simulated amplifiers on loopback addresses and drives it with the keyboard and the mouse;
# nothing is sent outside this machine, and everything stops by itself.
#
#   xvfb-run -a -s "-screen 0 800x800x24" sh -c 'openbox & sleep 1; bash scripts/mute-shot.sh [DIR]'
#
# Needs a built tree (build/), xdotool and ImageMagick's import and convert.
set -euo pipefail
[ -n "${SHOT_TRACE:-}" ] && set -x
cd "$(dirname "$0")/.."
OUT=${1:-docs}
MONITOR=build/app/avlo-monitor
DEVSIM=build/tools/devsim/avlo-devsim
SCRATCH=$(mktemp -d /tmp/avlo-mute-shot.XXXXXX)
NET=127.0.107

# Two RV12s; the second with a fan fault on channel 3.
"$DEVSIM" --quiet --discovery-listen none --duration 60 \
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

# E-mail alerts on, so that "Select Events..." is available.
printf '[Options]\r\nStartup=0\r\nNotify=0\r\n[Email]\r\nAlerts=1\r\n[AVLO]\r\nRegistered=2\r\nName 0=Stage Left\r\nIP 0=%s.2\r\navlo 0=1\r\nName 1=Stage Right\r\nIP 1=%s.3\r\navlo 1=1\r\n' \
  "$NET" "$NET" >"$SCRATCH/avlo-monitor.ini"
sleep 0.5
"$MONITOR" --config "$SCRATCH/avlo-monitor.ini" --lock-file "$SCRATCH/avlo.lock" \
  --discovery-address "$NET.254" alerts >"$SCRATCH/monitor.log" 2>&1 &
MONITOR_PID=$!
sleep 4
main=$(xdotool search --sync --name '^AVLO Monitor$' | head -1)
xdotool windowactivate --sync "$main"

# The root window around a window, with room below it for a menu or a hint.
grab() { # window file extra-height
  eval "$(xdotool getwindowgeometry --shell "$1")"
  sleep 0.6
  import -window root "$SCRATCH/root.png"
  convert "$SCRATCH/root.png" -crop "$((WIDTH + 8))x$((HEIGHT + 44 + $3))+$((X - 4))+$((Y - 42))" \
    +repage "$OUT/$2"
  echo "mute-shot: wrote $OUT/$2"
}

# E-mail page, then "Select Events...".
xdotool key --clearmodifiers alt+n
sleep 0.3
# Alt+V also opens the Device menu: the first press only takes the focus to the button.
xdotool key --clearmodifiers alt+v
sleep 0.3
xdotool key --clearmodifiers space
events=$(xdotool search --sync --name '^Select Events$' | head -1)
sleep 0.5
import -frame -window "$events" "$OUT/events-dialog.png"
echo "mute-shot: wrote $OUT/events-dialog.png"
xdotool key --clearmodifiers Escape
sleep 0.3

# Back to the device list: the first row muted for four hours from its menu, then the mouse
# rests on it until its hint shows.
xdotool key --clearmodifiers alt+a
sleep 0.3
xdotool mousemove --window "$main" 106 157 click 3
sleep 0.4
xdotool key --clearmodifiers m
sleep 0.3
xdotool key --clearmodifiers 4
sleep 0.3
# The other row selected, so that the muted one shows in the list's own colours.
xdotool mousemove --window "$main" 106 177 click 1
sleep 0.3
xdotool mousemove --window "$main" 60 300
sleep 0.3
xdotool mousemove --window "$main" 150 159
sleep 2
grab "$main" device-list-muted.png 60

# Its properties (a double-click on the row), and the mute button's menu.
xdotool mousemove --window "$main" 106 157 click --repeat 2 1
dialog=$(xdotool search --sync --name '^Properties :  Stage Left' | head -1)
sleep 0.5
xdotool key --clearmodifiers alt+m
grab "$dialog" properties-mute.png 110
xdotool key --clearmodifiers Escape
