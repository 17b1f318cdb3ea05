#!/usr/bin/env bash
# Builds the Debian package of AVLO Monitor: a release build installed under /usr, packed by
# CPack with dependencies found by dpkg-shlibdeps. Prints the path of the .deb.
# Usage: bash scripts/package.sh [BUILD_FOLDER]   (default: build-package)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh >/dev/null
dir=${1:-build-package}
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
# Debian's hardening (stack protector, fortified C library calls, read-only relocations bound
# at start), as every Debian package is built.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  -DBUILD_TESTING=OFF -DAVLO_BENCH=OFF "${launcher[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)"
(cd "$dir" && cpack -G DEB >/dev/null)
ls "$PWD/$dir"/avlo-monitor_*.deb
