#!/usr/bin/env bash
# Installs what is missing, builds, and starts Varimond with the sample option pack beside it.
set -euo pipefail
cd "$(dirname "$0")"
scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build --target varimond
exec build/src/app/varimond "$@"
