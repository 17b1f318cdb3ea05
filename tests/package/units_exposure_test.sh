#!/usr/bin/env bash
# The service units' sandbox, as systemd itself rates it: `systemd-analyze security` reads the
# unit files without a running service manager and sums what the service could still do. The
# user unit is rated as the user manager runs it, the system example as a system unit.
# Usage: units_exposure_test.sh [LIMIT]   (default 3.0; the level must stay below it)
set -euo pipefail
cd "$(dirname "$0")/../.."
limit=${1:-3.0}
command -v systemd-analyze >/dev/null || { echo "units test: systemd-analyze missing"; exit 1; }

work=$(mktemp -d /tmp/avlo-units.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -m 700 "$work/runtime"
# systemd-analyze judges a unit by its file name: the example must end in .service.
cp packaging/systemd/avlo-monitor-system.service.example "$work/avlo-monitor.service"

exposure() {  # systemd-analyze arguments...; prints the overall level
  local out
  out=$(XDG_RUNTIME_DIR="$work/runtime" systemd-analyze security --offline=yes "$@" 2>&1) || true
  sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\) .*/\1/p' <<<"$out" | grep . \
    || { echo "$out" >&2; echo "units test: no exposure level for $*" >&2; exit 1; }
}

failed=0
check() {  # label, systemd-analyze arguments...
  local label=$1 level
  shift
  level=$(exposure "$@")
  if awk -v l="$level" -v m="$limit" 'BEGIN { exit !(l < m) }'; then
    echo "units test: $label: exposure $level (below $limit)"
  else
    echo "units test: FAILED: $label: exposure $level, not below $limit"
    XDG_RUNTIME_DIR="$work/runtime" systemd-analyze security --offline=yes "$@" 2>&1 | grep '✗' || true
    failed=1
  fi
}
check "user unit" --user packaging/systemd/avlo-monitor.service
check "system unit example" "$work/avlo-monitor.service"
exit "$failed"
