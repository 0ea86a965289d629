#!/usr/bin/env bash
# Builds everything and runs every test: the full suite, then the whole tree
# again under AddressSanitizer + UndefinedBehaviorSanitizer with leak
# detection, then under ThreadSanitizer (scripts/tsan.sh). Sanitizer reports
# of the servers and clients the tests start fail those tests too.
# WIVORA_JOBS caps the parallel jobs (default: every core). A test that fails
# is run once more (a start-up wait can run out on a loaded machine); its
# first failure stays in the log.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
jobs=${WIVORA_JOBS:-$(nproc)}

(cd build && ctest --output-on-failure --repeat until-pass:2 -j "$jobs")

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DWIVORA_ASAN=ON >/dev/null
cmake --build build-asan -j "$jobs"
(cd build-asan && ctest --output-on-failure --repeat until-pass:2 -j "$jobs")

WIVORA_JOBS=$jobs scripts/tsan.sh
