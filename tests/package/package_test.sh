#!/usr/bin/env bash
# The package as a technician meets it: build it, install it with apt, run the installed
# monitor headless against the simulator as an ordinary user would, check the desktop entry,
# metadata and manual pages, then remove the package again. Needs root; all traffic stays on
# loopback addresses.
set -euo pipefail
cd "$(dirname "$0")/../.."
[ "$(id -u)" -eq 0 ] || { echo "package test: needs root (apt-get install)"; exit 77; }
if dpkg-query -W -f='${Status}' avlo-monitor 2>/dev/null | grep -q 'install ok installed'; then
  echo "package test: avlo-monitor is already installed on this machine; not touching it"; exit 1
fi

deb=$(bash scripts/package.sh | tail -1)
echo "package test: built $deb"
dpkg-deb --info "$deb" | grep -E 'Package|Version|Depends|Section'

work=$(mktemp -d /tmp/avlo-package.XXXXXX)
sim=""
cleanup() {
  [ -n "$sim" ] && kill "$sim" 2>/dev/null || true
  apt-get remove -y -qq avlo-monitor >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >/dev/null
fail() { echo "package test: FAILED: $*"; exit 1; }

# Everything where a desktop and a man reader look for it.
[ -x /usr/bin/avlo-monitor ] || fail "no /usr/bin/avlo-monitor"
[ -x /usr/bin/avlo-devsim ] || fail "no /usr/bin/avlo-devsim"
version=$(/usr/bin/avlo-monitor --version)
[[ $version == "AVLO Monitor "* ]] || fail "--version printed '$version'"
desktop-file-validate /usr/share/applications/avlo-monitor.desktop || fail "desktop entry"
grep -q '^Exec=avlo-monitor$' /usr/share/applications/avlo-monitor.desktop || fail "Exec line"
appstreamcli validate --no-net /usr/share/metainfo/com.example.avlo_monitor.metainfo.xml || fail "metainfo"
for f in scalable/apps/avlo-monitor.svg 16x16/apps/avlo-monitor.png 48x48/apps/avlo-monitor.png \
         256x256/apps/avlo-monitor.png; do
  [ -f "/usr/share/icons/hicolor/$f" ] || fail "icon $f"
done
for page in avlo-monitor avlo-devsim; do
  man -w "$page" >/dev/null || fail "manual page $page"
done
man -P cat avlo-monitor 2>/dev/null | grep -q -- '--headless' || fail "manual page lacks --headless"
[ -f /usr/lib/systemd/user/avlo-monitor.service ] || [ -f /lib/systemd/user/avlo-monitor.service ] \
  || fail "user unit"

# The installed monitor, headless, as a user with a home of its own (root here, but the
# program's folder must not be used for settings): settings go to the configuration folder.
home="$work/home"
mkdir -p "$home"
/usr/bin/avlo-devsim --quiet --discovery-listen 127.0.5.254 --duration 30 \
  --device 127.0.5.2:01:PKG00001 >"$work/sim.log" 2>&1 &
sim=$!
sleep 1
(
  cd "$work"
  export HOME="$home" XDG_RUNTIME_DIR="$work" XDG_CONFIG_HOME=
  unset DISPLAY WAYLAND_DISPLAY
  timeout -s TERM 6 /usr/bin/avlo-monitor --headless --discovery-address 127.0.5.254 \
    >"$work/monitor.out" 2>"$work/monitor.err" || true
)
ini="$home/.config/avlo-monitor/avlo-monitor.ini"
[ -f "$ini" ] || { cat "$work/monitor.err"; fail "no settings file at $ini"; }
[ ! -e /usr/bin/avlo-monitor.ini ] || fail "settings written beside the installed program"
grep -q 'PKG00001' "$ini" || { cat "$ini"; fail "the simulated device is not in the settings"; }
echo "package test: settings written to $ini with the discovered device"

apt-get remove -y -qq avlo-monitor >/dev/null
[ ! -e /usr/bin/avlo-monitor ] || fail "still installed after removal"
echo "package test: passed"
