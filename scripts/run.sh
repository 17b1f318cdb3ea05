#!/usr/bin/env bash
# Installs what is missing, builds, and starts a simulated site of amplifiers on loopback
# addresses (127.0.4.2 to 127.0.4.9), so a person can rehearse with the device simulator.
# Type "help" at its prompt for the commands (inject a fault, drop a connection, ...).
# The monitor program itself comes in a later step; until then this runs the site alone.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target avlo-devsim
exec build/tools/devsim/avlo-devsim \
  --discovery-listen 127.0.4.254 \
  --device 127.0.4.2:00:RV100001 \
  --device 127.0.4.3:01:RV110002 \
  --device 127.0.4.4:02:RV120003 \
  --device 127.0.4.5:03:RV130004 \
  --device 127.0.4.6:03:RV130005 \
  --device 127.0.4.7:02:RV120006 \
  --device 127.0.4.8:01:RV110007 \
  --device 127.0.4.9:00:RV100008 \
  --fault 4:fan:3 \
  --supply-fault 6:1 \
  --discovery-only 7 \
  "$@"
