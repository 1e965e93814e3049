#!/usr/bin/env bash
# Builds the RTF reader's libFuzzer target with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs it.
#
#   scripts/fuzz-rtf.sh [SECONDS] [extra libFuzzer options...]
#
# SECONDS defaults to 60. The build and the growing corpus live in build-fuzz-rtf/ (or
# $FUZZ_BUILD_DIR); the corpus is seeded with the samples in tests/data/rtf and fuzz/seeds
# (tables, lists, footnotes, text boxes, fields and code pages). Inputs that crash
# are written to that folder as crash-*; rerun one with
#   build-fuzz-rtf/rtf_fuzzer build-fuzz-rtf/crash-...
# Needs clang and its fuzzer runtime (Debian: clang-14, libclang-rt-14-dev) and Qt 6 headers.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-60}"
shift || true
out="${FUZZ_BUILD_DIR:-$root/build-fuzz-rtf}"
cxx="${CXX_FUZZ:-}"
if [ -z "$cxx" ]; then
  for c in clang++ clang++-14; do
    if command -v "$c" >/dev/null; then cxx="$c"; break; fi
  done
fi
if [ -z "$cxx" ]; then
  echo "fuzz-rtf: clang++ not found (apt-get install clang-14 libclang-rt-14-dev)" >&2
  exit 1
fi

if pkg-config --exists Qt6Gui 2>/dev/null; then
  qt_cflags="$(pkg-config --cflags Qt6Core Qt6Gui)"
  qt_libs="$(pkg-config --libs Qt6Core Qt6Gui)"
else
  qt_inc=/usr/include/x86_64-linux-gnu/qt6
  qt_cflags="-I$qt_inc -I$qt_inc/QtCore -I$qt_inc/QtGui"
  qt_libs="-lQt6Gui -lQt6Core"
fi

mkdir -p "$out/corpus"
flags=(-std=c++17 -g -O1 -fPIC -fno-omit-frame-pointer
       -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
       -Wall -Wextra -Werror -I"$root/src")
# shellcheck disable=SC2086 # the Qt flags are lists of words
"$cxx" "${flags[@]}" $qt_cflags \
  "$root/fuzz/rtf_fuzzer.cpp" \
  "$root/src/rtf/RtfReader.cpp" \
  "$root/src/rtf/RtfParser.cpp" \
  "$root/src/rtf/RtfControlWords.cpp" \
  "$root/src/rtf/RtfCodePages.cpp" \
  "$root/src/rtf/RtfKeywords.cpp" \
  "$root/src/rtf/RtfTables.cpp" \
  "$root/src/rtf/RtfFields.cpp" \
  "$root/src/files/TextCodec.cpp" \
  $qt_libs -o "$out/rtf_fuzzer"

cp -n "$root"/tests/data/rtf/*.rtf "$root"/fuzz/seeds/*.rtf "$out/corpus/" 2>/dev/null || true
# Nesting past the reader's group depth limit, which the samples do not reach.
if [ ! -e "$out/corpus/deep-nesting.rtf" ]; then
  {
    printf '{\\rtf1{\\fonttbl{\\f0 Arial;}}{\\colortbl;\\red255\\green0\\blue0;}'
    head -c 10500 /dev/zero | tr '\0' '{'
    printf '\\b\\cf1 deep{\\*\\x hidden}\\u8364?\\par'
    head -c 10500 /dev/zero | tr '\0' '}'
    printf ' after}'
  } >"$out/corpus/deep-nesting.rtf"
fi

cd "$out"
export QT_QPA_PLATFORM=offscreen
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$root/fuzz/lsan.supp:print_suppressions=0}"
exec ./rtf_fuzzer -max_total_time="$seconds" -max_len=262144 -timeout=10 -rss_limit_mb=4096 \
  -dict="$root/fuzz/rtf.dict" -print_final_stats=1 "$@" corpus
