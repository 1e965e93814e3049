#!/usr/bin/env bash
# Builds the Debian package of Varimond into build/ (varimond_<version>_<arch>.deb).
#   scripts/package.sh [build folder]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
build="${1:-build}"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$build" -j "$(nproc)" --target varimond varimond_icons
(cd "$build" && cpack -G DEB >/dev/null)
ls "$build"/varimond_*.deb
