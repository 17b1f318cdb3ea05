#!/usr/bin/env bash
# The package as a technician meets it: build it, install it with apt, run the installed
# monitor headless against the simulator as an ordinary user would, check the desktop entry,
# metadata and manual pages, run it with its web service on (an account, /metrics over HTTPS),
# then remove the package again. Needs root; all traffic stays on
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
# Debian keeps a package's documents, its copyright file first, under the package's name.
docs=/usr/share/doc/avlo-monitor
contents=$(dpkg-deb --contents "$deb" | awk '{print $NF}')
for f in copyright README.md examples/avlo-monitor-system.service.example; do
  grep -qx "\.$docs/$f" <<<"$contents" || { echo "package test: FAILED: no $docs/$f in the package"; exit 1; }
done
grep -q "^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" \
  <(dpkg-deb --fsys-tarfile "$deb" | tar -xO ".$docs/copyright") \
  || { echo "package test: FAILED: $docs/copyright is not in the machine-readable format"; exit 1; }
# Debian's own package checker: no error, no warning, and the programs built hardened.
lintian -I --fail-on error,warning "$deb" | tee /dev/stderr | { ! grep -q 'hardening-no-'; } \
  || { echo "package test: FAILED: lintian"; exit 1; }

work=$(mktemp -d /tmp/avlo-package.XXXXXX)
sim=""
webmon=""
newuser=avlo-pkgtest-$$
newhome=""
cleanup() {
  [ -n "$sim" ] && kill "$sim" 2>/dev/null || true
  [ -n "$webmon" ] && kill "$webmon" 2>/dev/null || true
  if id "$newuser" >/dev/null 2>&1; then userdel "$newuser" >/dev/null 2>&1 || true; fi
  [ -n "$newhome" ] && rm -rf "$newhome"
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
for word in --add-user EV_WEB_SIGN_IN_REFUSED EV_DEVICE_UNREACHABLE EV_WEBHOOK_FAILED; do
  man -P cat avlo-monitor 2>/dev/null | grep -q -- "$word" || fail "manual page lacks $word"
done
[ -f /usr/lib/systemd/user/avlo-monitor.service ] || [ -f /lib/systemd/user/avlo-monitor.service ] \
  || fail "user unit"

# The installed monitor, headless, as a user with a home of its own (root here, but the
# program's folder must not be used for settings): settings go to the configuration folder.
home="$work/home"
mkdir -p "$home"
/usr/bin/avlo-devsim --quiet --discovery-listen 127.0.5.254 --duration 40 \
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

# A new user's first start: an account made for the test, whose home has no settings folder
# yet, runs the installed monitor headless. Its event history must open at once and keep the
# first events (before, it could not be opened until the settings folder came with the first
# save, and the first day's events went to the system log only).
newhome=$(mktemp -d /tmp/avlo-newuser.XXXXXX)
useradd --no-create-home --home-dir "$newhome" --shell /bin/sh "$newuser"
chown "$newuser:" "$newhome"
as_new_user() {
  (cd "$newhome" && runuser -u "$newuser" -- env -i HOME="$newhome" PATH=/usr/bin:/bin "$@")
}
[ ! -e "$newhome/.config" ] || fail "the new user's home already has .config"
as_new_user timeout -s TERM 6 /usr/bin/avlo-monitor --headless --discovery-address 127.0.5.254 \
  >"$work/newuser.out" 2>"$work/newuser.err" || true
history="$newhome/.config/avlo-monitor/avlo-monitor-events.sqlite"
[ -f "$history" ] || { cat "$work/newuser.err"; fail "no event history at $history"; }
! grep -q 'EV_MONITOR_ERROR' "$work/newuser.err" || { cat "$work/newuser.err"; fail "the new user's monitor reported an error"; }
as_new_user /usr/bin/avlo-monitor --events >"$work/newuser.events" 2>&1 \
  || { cat "$work/newuser.events"; fail "--events as the new user"; }
for event in EV_MONITOR_STARTED EV_DEVICE_REGISTERED EV_MONITOR_STOPPED; do
  grep -q " $event " "$work/newuser.events" || { cat "$work/newuser.events"; fail "$event not in the new user's history"; }
done
echo "package test: a new user's first start kept its events in $history:"
sed 's/^/  /' "$work/newuser.events"
userdel "$newuser"

# The installed monitor with its web service on, on a loopback address: an account added with
# the installed program's --add-user, the self-signed pair made beside the settings (the key
# for the owner only), /metrics over HTTPS trusting exactly that certificate, and the API
# behind the account's sign-in.
webdir="$work/web"
mkdir -m 0700 "$webdir"
webport=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf '[Web]\r\nOn=1\r\nAddress=127.0.0.1\r\nPort=%s\r\nTls=1\r\n' "$webport" >"$webdir/site.ini"
webpass="pkg-test-password-1"
printf '%s\n' "$webpass" | /usr/bin/avlo-monitor --config "$webdir/site.ini" --add-user pkgops \
  --role viewer >"$work/adduser.out" 2>&1 || { cat "$work/adduser.out"; fail "--add-user"; }
/usr/bin/avlo-monitor --config "$webdir/site.ini" --list-users >"$work/users.out" 2>&1
grep -q 'pkgops' "$work/users.out" || { cat "$work/users.out"; fail "--list-users lacks the new account"; }
(
  cd "$work"
  export HOME="$home" XDG_RUNTIME_DIR="$work"
  unset DISPLAY WAYLAND_DISPLAY
  exec timeout -s TERM 40 /usr/bin/avlo-monitor --headless --config "$webdir/site.ini" \
    --lock-file "$webdir/lock" --discovery-address 127.0.5.254 >"$work/web.out" 2>"$work/web.err"
) &
webmon=$!
cert="$webdir/site-web.crt"
metrics=""
for _ in $(seq 1 60); do
  if [ -f "$cert" ] && metrics=$(curl -sS --max-time 5 --cacert "$cert" \
      "https://127.0.0.1:$webport/metrics" 2>/dev/null); then break; fi
  metrics=""
  sleep 0.5
done
[ -n "$metrics" ] || { cat "$work/web.err"; kill "$webmon" 2>/dev/null; fail "no /metrics over HTTPS"; }
grep -q '^# TYPE avlo_' <<<"$metrics" || { echo "$metrics" | head; kill "$webmon"; fail "/metrics without the monitor's series"; }
[ "$(stat -c %a "$webdir/site-web.key")" = 600 ] || { kill "$webmon"; fail "the key is not mode 0600"; }
api=$(curl -sS --max-time 5 --cacert "$cert" -o /dev/null -w '%{http_code}' \
  -u "pkgops:$webpass" "https://127.0.0.1:$webport/api/devices")
[ "$api" = 200 ] || { kill "$webmon"; fail "/api/devices with the account answered $api"; }
kill -TERM "$webmon" 2>/dev/null || true
wait "$webmon" || true
echo "package test: the installed web service answered /metrics over HTTPS on 127.0.0.1:$webport"

apt-get remove -y -qq avlo-monitor >/dev/null
[ ! -e /usr/bin/avlo-monitor ] || fail "still installed after removal"
echo "package test: passed"
