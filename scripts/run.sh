#!/usr/bin/env bash
# Installs what is missing, builds, and runs AVLO Monitor against a simulated site of eight
# amplifiers of all four models: one with a fan fault, one with a supply rail out, one that
# answers discovery only. The monitor gets its own settings file in a scratch folder.
#
# As root, the devices and the monitor live in two network namespaces joined by a virtual
# cable (scripts/testbed.sh), so discovery is a real broadcast that cannot leave the bed.
# Otherwise the devices sit on loopback addresses and discovery goes to the simulator's
# loopback address. With a display the window opens; without one the monitor runs headless
# and prints the device list's changes. Nothing is sent outside this machine.
#
# While it runs, drive the simulated devices from another terminal, e.g.
#   echo "fault 3 channel 2 on" > <scratch>/devsim.commands      (see avlo-devsim --help)
# Stop with Ctrl+C (or close the monitor from its tray menu). AVLO_NO_NAMESPACES=1 keeps the
# site on loopback even as root.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)

bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target avlo-monitor avlo-devsim

MONITOR="$ROOT/build/app/avlo-monitor"
DEVSIM="$ROOT/build/tools/devsim/avlo-devsim"
SCRATCH=$(mktemp -d /tmp/avlo-demo.XXXXXX)
COMMANDS="$SCRATCH/devsim.commands"
mkfifo "$COMMANDS"
exec 3<>"$COMMANDS"   # held open, so the simulator never sees the end of its input

# A minute between polls instead of five, so that the list moves while you watch.
printf '[Options]\r\nPoll=60000\r\n' > "$SCRATCH/avlo-monitor.ini"

BED=avlodemo
DEVSIM_PID=""
cleanup() {
  [ -n "$DEVSIM_PID" ] && kill "$DEVSIM_PID" 2>/dev/null || true
  if [ "${USE_BED:-0}" = 1 ]; then bash scripts/testbed.sh down --name "$BED" >/dev/null 2>&1 || true; fi
  exec 3>&- || true
  echo "run: settings and logs kept in $SCRATCH"
}
trap cleanup EXIT

USE_BED=0
if [ "${AVLO_NO_NAMESPACES:-0}" != 1 ] && [ "$(id -u)" -eq 0 ] && command -v ip >/dev/null &&
   bash scripts/testbed.sh up --name "$BED" --devices 8 >/dev/null; then
  USE_BED=1
fi

if [ "$USE_BED" = 1 ]; then
  host() { echo "10.77.0.$1"; }
  DEV_RUN=(ip netns exec "$BED-dev")
  MON_RUN=(ip netns exec "$BED-mon")
  LISTEN=0.0.0.0
  DISCOVERY=()
  echo "run: devices at 10.77.0.2-9 in namespace $BED-dev; the monitor in $BED-mon; real broadcast discovery"
else
  host() { echo "127.0.4.$1"; }
  DEV_RUN=()
  MON_RUN=()
  LISTEN=127.0.4.254
  DISCOVERY=(--discovery-address 127.0.4.254)
  echo "run: devices at 127.0.4.2-9 on loopback; discovery sent to the simulator at 127.0.4.254"
fi

"${DEV_RUN[@]}" "$DEVSIM" --quiet --discovery-listen "$LISTEN" \
  --device "$(host 2):00:10000001" \
  --device "$(host 3):01:11000002" \
  --device "$(host 4):02:12000003" \
  --device "$(host 5):03:13000004" \
  --device "$(host 6):03:13000005" \
  --device "$(host 7):02:12000006" \
  --device "$(host 8):01:11000007" \
  --device "$(host 9):00:10000008" \
  --fault 4:fan:3 \
  --supply-fault 6:1 \
  --discovery-only 7 \
  <"$COMMANDS" >"$SCRATCH/devsim.log" 2>&1 &
DEVSIM_PID=$!
sleep 0.5

MODE=()
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  MODE=(--headless)
  echo "run: no display, so the monitor runs headless and prints the device list's changes"
fi
echo "run: simulator commands go to $COMMANDS"
# The demo's autostart entry stays in the scratch folder, away from the user's own.
"${MON_RUN[@]}" env XDG_CONFIG_HOME="$SCRATCH" "$MONITOR" "${MODE[@]}" "${DISCOVERY[@]}" \
  --config "$SCRATCH/avlo-monitor.ini" --lock-file "$SCRATCH/avlo.lock" "$@"
