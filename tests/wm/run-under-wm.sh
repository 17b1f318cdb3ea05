#!/usr/bin/env bash
# Runs one program on a private X display managed by openbox, with Qt's real X11 platform, so
# that a test sees what a user sees: title bars, frames, placement and the window manager's
# rules. Usage: run-under-wm.sh PROGRAM [ARGUMENTS...]; the program's exit status is returned.
#
# The display number comes from Xvfb itself (-displayfd), so parallel runs never collide. Every
# wait is bounded, and the display and the window manager end with the script whatever happens.
set -uo pipefail

[ $# -ge 1 ] || { echo "usage: $0 PROGRAM [ARGUMENTS...]" >&2; exit 2; }
for tool in Xvfb openbox xprop xwininfo; do
  command -v "$tool" >/dev/null || { echo "run-under-wm: $tool is missing (scripts/setup.sh)" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/avlo-wm.XXXXXX") || exit 2
xvfb_pid=""
wm_pid=""
cleanup() {
  [ -n "$wm_pid" ] && kill "$wm_pid" 2>/dev/null && wait "$wm_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Polls a command every 0.1 s until it succeeds, for at most $1 seconds.
wait_for() {
  local seconds=$1
  shift
  local tries=$((seconds * 10))
  while [ "$tries" -gt 0 ]; do
    "$@" && return 0
    sleep 0.1
    tries=$((tries - 1))
  done
  return 1
}

# Should this script be killed outright (a test runner's timeout), the display and the window
# manager go with it.
with_parent=()
command -v setpriv >/dev/null && with_parent=(setpriv --pdeathsig TERM)

"${with_parent[@]}" Xvfb -displayfd 3 -screen 0 "${AVLO_WM_SCREEN:-1024x768x24}" -nolisten tcp -noreset \
  3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
display_known() { [ -s "$work/display" ] && grep -q '^[0-9]' "$work/display"; }
if ! wait_for 20 display_known; then
  echo "run-under-wm: Xvfb did not start" >&2
  cat "$work/xvfb.log" >&2
  exit 2
fi
export DISPLAY=":$(head -n1 "$work/display")"

# A home of its own keeps the user's openbox settings and session out of the test.
mkdir -p "$work/config"
XDG_CONFIG_HOME="$work/config" "${with_parent[@]}" openbox --sm-disable >"$work/openbox.log" 2>&1 &
wm_pid=$!
# Openbox manages windows once it has announced itself on the root window.
wm_ready() { xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; }
if ! wait_for 20 wm_ready; then
  echo "run-under-wm: openbox did not take the display" >&2
  cat "$work/openbox.log" >&2
  exit 2
fi

QT_QPA_PLATFORM=xcb "$@"
