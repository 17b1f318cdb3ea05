#!/usr/bin/env bash
# Installs every Debian package that building, running and testing AVLO Monitor needs.
# Safe to run again: when everything is present it changes nothing.
set -euo pipefail

PACKAGES=(
  # toolchain and build
  build-essential g++ clang libclang-rt-14-dev cmake ninja-build pkg-config ccache
  clang-format clang-tidy
  # tests and benchmarks
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  # the desktop program
  qt6-base-dev qt6-base-dev-tools libgl-dev qt6-svg-dev
  # event history, secure e-mail and the desktop keyring
  libsqlite3-dev libssl-dev qtkeychain-qt6-dev
  # alerts to webhook targets (HTTP and HTTPS)
  libcurl4-openssl-dev
  # desktop entry, metadata and manual page checks; mail tools for comparisons
  desktop-file-utils appstream help2man python3-trustme swaks curl openssl
  # Debian's package checker, run on the built package
  lintian
  # a display for running the window without one, and screenshots
  xvfb xauth x11-apps imagemagick
  # GUI tests under a real window manager: openbox, and the X tools that read what it did
  openbox x11-utils xdotool
  # the web service: Boost.Beast/Asio for HTTP(S) (TLS through libssl-dev above)
  libboost1.74-dev
  # network namespaces for the discovery test bed
  iproute2
  # the service unit's system call filter applied without systemd, in the sandbox test
  python3-seccomp
  # a private session bus for the desktop notification tests
  dbus-daemon
  # a real SMTP server for the e-mail tests (Debian's own Python)
  python3 python3-aiosmtpd
  # a strict mail server for the e-mail tests; each test runs a private instance
  postfix
  # Prometheus and promtool, which scrape and check the metrics page and the shipped alert
  # rules; node_exporter and wrk for the side-by-side benchmark of the metrics page
  prometheus prometheus-node-exporter wrk
  # password hashes (Argon2id) and random tokens of the web service's sign-in
  libsodium-dev
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: every package is installed"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "setup: need root (or sudo) to install: ${missing[*]}" >&2; exit 1; }
  SUDO="sudo"
fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# Postfix asks how to run the machine's own mail system: not at all. The tests start private
# instances of their own on loopback; no system-wide Postfix is configured or started.
echo "postfix postfix/main_mailer_type select No configuration" | $SUDO debconf-set-selections
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
