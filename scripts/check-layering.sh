#!/usr/bin/env bash
# Checks that includes run one way: app, dialogs -> headless -> web -> monitoring -> history -> notify -> comms ->
# protocol, with platform beside them (every layer may use it; it uses none). Below app and
# dialogs only Qt Core may be included (protocol and comms no Qt at all), so that the monitor
# core and the headless monitor never need Qt Gui or Qt Widgets. Exits non-zero and names each
# offending line otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."

qt_headers=$(qtpaths6 --query QT_INSTALL_HEADERS 2>/dev/null || true)
if [ -z "$qt_headers" ] || [ ! -d "$qt_headers/QtCore" ]; then
  qt_headers=$(dirname "$(find /usr/include -maxdepth 3 -type d -name QtCore -print -quit)")
fi
qt_core="$qt_headers/QtCore"
[ -d "$qt_core" ] || { echo "check-layering: Qt Core headers not found" >&2; exit 2; }

# The project folders each layer may include from.
declare -A allowed=(
  [platform]="platform"
  [protocol]="protocol platform"
  [comms]="comms protocol platform"
  [notify]="notify comms protocol platform"
  [history]="history notify comms protocol platform"
  [monitoring]="monitoring history notify comms protocol platform"
  [web]="web monitoring history notify comms protocol platform"
  [headless]="headless web monitoring history notify comms protocol platform"
)
# Which Qt each layer may include: none, or Qt Core only.
declare -A qt=([platform]=core [protocol]=none [comms]=none [notify]=core [history]=core
  [monitoring]=core [web]=core [headless]=core)

failed=0
report() {
  echo "check-layering: $1"
  failed=1
}

for layer in platform protocol comms notify history monitoring web headless; do
  [ -d "$layer" ] || continue
  while IFS= read -r hit; do
    file=${hit%%:*}
    rest=${hit#*:}
    line=${rest%%:*}
    text=${rest#*:}
    if [[ $text =~ \#[[:space:]]*include[[:space:]]*\"([A-Za-z_]+)/ ]]; then
      folder=${BASH_REMATCH[1]}
      [[ " ${allowed[$layer]} " == *" $folder "* ]] ||
        report "$file:$line: $layer must not include $folder/: $text"
    elif [[ $text =~ \#[[:space:]]*include[[:space:]]*\<(Qt[A-Za-z]*/)?(Q[A-Za-z]*)\> ]]; then
      module=${BASH_REMATCH[1]%/}
      header=${BASH_REMATCH[2]}
      if [ "${qt[$layer]}" = none ]; then
        report "$file:$line: $layer must not include Qt: $text"
      elif [ -n "$module" ] && [ "$module" != QtCore ]; then
        report "$file:$line: $layer may include only Qt Core: $text"
      elif [ ! -e "$qt_core/$header" ]; then
        report "$file:$line: $layer may include only Qt Core ($header is not part of it): $text"
      fi
    fi
  done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include' "$layer" --include='*.h' --include='*.cpp' || true)
done

if [ "$failed" = 0 ]; then
  echo "check-layering: includes run one way"
fi
exit "$failed"
