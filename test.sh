#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test headless: once in a release build,
# then once more under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")"
scripts/deps.sh

export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)

echo "== Release build and tests"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== Debian package: build, install, start the installed program on the sample pack"
scripts/package.sh build
scripts/check-package.sh build

if [ "${VARIMOND_SKIP_SANITIZERS:-0}" != 1 ]; then
  echo "== Sanitizer build and tests"
  cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVARIMOND_SANITIZE=ON \
        -DVARIMOND_BENCHMARKS=OFF -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" >/dev/null
  cmake --build build-asan -j "$jobs"
  # Qt and Chromium keep caches alive until exit, and Chromium's own allocator pairs news and
  # deletes ASan cannot follow; both are left out, everything else stops the run.
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:new_delete_type_mismatch=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j "$jobs" -LE no-sanitizer
fi
