#!/usr/bin/env bash
# The headless monitor inside the user unit's sandbox (unit_sandbox.sh: the unit's file
# system, device, privilege and system call settings applied by hand, as no systemd runs
# services here) still does its work: in a two-namespace test bed it finds an amplifier by
# broadcast, polls it over TCP, mails its fault through STARTTLS with a sign-in whose password
# comes from the .secret file (no keyring), keeps its events in the history and saves its
# settings, all as an ordinary user with every file private. Needs root; every packet stays
# in the bed's namespaces.
# Usage: hardened_unit_test.sh AVLO_MONITOR AVLO_DEVSIM
set -euo pipefail
monitor=$(realpath "$1") devsim=$(realpath "$2")
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
unit=$root/packaging/systemd/avlo-monitor.service
if [ "$(id -u)" -ne 0 ]; then
  [ "${CI:-}" = true ] && { echo "hardened unit test: must run as root under CI"; exit 1; }
  echo "hardened unit test: skipped, needs root for namespaces and mounts"; exit 77
fi
fail() { echo "hardened unit test: FAILED: $*"; exit 1; }

# The sandbox below stands for these settings of the unit; a unit without them would make
# the run prove nothing about it.
for setting in ProtectSystem=strict ProtectHome=read-only PrivateTmp=yes PrivateDevices=yes \
  ProtectKernelTunables=yes ProtectKernelLogs=yes ProtectHostname=yes CapabilityBoundingSet= \
  NoNewPrivileges=yes ConfigurationDirectory=avlo-monitor CacheDirectory=avlo-monitor \
  ReadWritePaths=%t; do
  grep -qx "$setting" "$unit" || fail "the user unit lacks $setting"
done

bed=avlohard$$
user=nobody
# Outside /tmp: the sandbox's private /tmp would hide it.
work=$(mktemp -d "$PWD/avlo-hardened.XXXXXX")
chmod 755 "$work"
sink_in="" sim=""
cleanup() {
  [ -n "$sim" ] && kill "$sim" 2>/dev/null || true
  [ -n "$sink_in" ] && exec {sink_in}>&- || true
  bash "$root/scripts/testbed.sh" down --name "$bed" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
bash "$root/scripts/testbed.sh" up --name "$bed" --devices 1 >/dev/null
in_mon() { ip netns exec "$bed-mon" "$@"; }

# The mail server, in the monitor's namespace: STARTTLS required, sign-in required.
mkdir "$work/ca"
/usr/bin/python3 "$root/tests/integration/smtp_sink.py" certs "$work/ca" 127.0.0.1 >/dev/null
mkdir "$work/mails"
exec {sink_in}> >(in_mon /usr/bin/python3 "$root/tests/integration/smtp_sink.py" serve 127.0.0.1 \
  "$work/mails" --cert "$work/ca/server.pem" --key "$work/ca/server.key" --starttls \
  --auth PLAIN,LOGIN --user alarm@site.test --password 'Sandbox secret' >"$work/sink.port")
for _ in $(seq 50); do [ -s "$work/sink.port" ] && break; sleep 0.1; done
port=$(head -1 "$work/sink.port")
[ -n "$port" ] || fail "the mail server did not start"

# One amplifier with a channel fault, found only by the monitor's broadcast (a serial of digits:
# the status fields are told apart by letters).
ip netns exec "$bed-dev" "$devsim" --device 10.77.0.2:01:40000001 --fault 0:channel:2 \
  --duration 60 >"$work/sim.log" 2>&1 &
sim=$!

# The folders systemd makes for the unit (ConfigurationDirectory=, CacheDirectory=, the
# runtime folder), owned by the user; the settings name the server, the sign-in and the CA.
home=$work/home
install -d -o "$user" -m 755 "$home" "$home/.config" "$home/.cache"
install -d -o "$user" -m 700 "$home/.config/avlo-monitor" "$home/.cache/avlo-monitor" "$work/run"
ini=$home/.config/avlo-monitor/avlo-monitor.ini
printf '%s\r\n' "[Events]" "ChanErr=1" "FanErr=1" "[Email]" "Alerts=1" "ServerIp=127.0.0.1" \
  "ServerPort=$port" "UserName=sandbox" "UserEmail=monitor@site.test" \
  "Email 1=alerts@site.test" "Security=1" "SignIn=1" "SignInUser=alarm@site.test" \
  "CaFile=$work/ca/ca.pem" "[Options]" "Poll=1000" "Log=1" "Avlo=1" "Startup=0" >"$ini"
printf 'Sandbox secret\n' >"$ini.secret"
chown "$user" "$ini" "$ini.secret"
chmod 600 "$ini" "$ini.secret"

writable=$home/.config/avlo-monitor:$home/.cache/avlo-monitor:$work/run
# One SIGTERM, to the monitor alone, as a service manager sends it (without --foreground,
# timeout signals its process group a second time).
set +e
in_mon timeout --foreground --preserve-status -s TERM 12 "$here/unit_sandbox.sh" "$unit" "$user" "$writable" -- \
  env -i HOME="$home" XDG_RUNTIME_DIR="$work/run" PATH=/usr/bin:/bin "$monitor" --headless \
  >"$work/monitor.out" 2>"$work/monitor.err"
status=$?
set -e
show() { sed 's/^/  /' "$work/monitor.err"; }
# timeout's SIGTERM is the monitor's normal end, after which it exits with status 0.
[ "$status" -eq 0 ] || { show; fail "the monitor ended with status $status (159: a refused system call)"; }
for event in EV_EMAIL_PASSWORD_PLACE EV_DEVICE_REGISTERED EV_DEVICE_CONNECTED EV_EMAIL_SENT \
  EV_MONITOR_STOPPED; do
  grep -q " $event " "$work/monitor.err" || { show; fail "no $event"; }
done
! grep -q 'EV_MONITOR_ERROR' "$work/monitor.err" || { show; fail "the monitor reported an error"; }
grep -q '40000001' "$ini" || { show; fail "the discovered device is not in the saved settings"; }

mail=$(ls "$work/mails"/*.eml 2>/dev/null | head -1)
[ -n "$mail" ] || { show; fail "no alert mail reached the server"; }
grep -qx "PLAIN alarm@site.test\|LOGIN alarm@site.test" "${mail%.eml}.auth" \
  || fail "the mail was not sent after a sign-in with the password from the .secret file"

history=$home/.config/avlo-monitor/avlo-monitor-events.sqlite
[ -f "$history" ] || fail "no event history at $history"
setpriv --reuid="$user" --regid="$(id -g "$user")" --clear-groups env -i HOME="$home" \
  "$monitor" --events >"$work/events" 2>&1 || { cat "$work/events"; fail "--events"; }
for event in EV_MONITOR_STARTED EV_DEVICE_REGISTERED EV_DEVICE_CONNECTED; do
  grep -q " $event " "$work/events" || { cat "$work/events"; fail "$event not in the history"; }
done

# UMask=0077: whatever the monitor made is its user's alone.
shared=$(find "$home/.config/avlo-monitor" "$home/.cache/avlo-monitor" "$work/run" \
  -perm /077 -printf '%m %p\n')
[ -z "$shared" ] || fail "files others may use: $shared"

echo "hardened unit test: passed; the monitor in the sandbox found, polled and mailed:"
grep -E ' EV_(DEVICE_REGISTERED|DEVICE_CONNECTED|EMAIL_PASSWORD_PLACE|EMAIL_SENT|MONITOR_STOPPED) ' \
  "$work/monitor.err" | sed 's/^/  /'
echo "  mail: $(grep -m1 -i '^Subject:' "$mail")"
