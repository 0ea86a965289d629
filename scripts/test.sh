#!/usr/bin/env bash
# Builds everything and runs every test: the full suite, then basislib's tests under
# AddressSanitizer + UndefinedBehaviorSanitizer and under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
jobs=$(nproc)

(cd build && ctest --output-on-failure -j "$jobs")

for sanitizer in ASAN TSAN; do
  dir="build-${sanitizer,,}"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DWIVORA_BASISLIB_ONLY=ON "-DWIVORA_${sanitizer}=ON" >/dev/null
  cmake --build "$dir"
  (cd "$dir" && ctest --output-on-failure -j "$jobs")
done
