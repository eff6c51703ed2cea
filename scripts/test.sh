#!/usr/bin/env bash
# Installs the dependencies, checks that every folder includes only from the layers below it, then
# builds and runs the whole test suite twice: a normal build and one with AddressSanitizer and
# UndefinedBehaviorSanitizer; then fuzzes catalogue loading and sector reading for a minute.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
"$top/scripts/check-layers.sh"

"$top/scripts/build.sh" "$top/build"
(cd "$top/build" && ctest --output-on-failure -j"$(nproc)")

"$top/scripts/build.sh" "$top/build-asan" -DTAV_SANITIZE=ON -DTAV_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug
(cd "$top/build-asan" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
   ctest --output-on-failure -j"$(nproc)")

"$top/scripts/fuzz.sh" 60 image_reader_fuzz
