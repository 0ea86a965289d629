#!/usr/bin/env bash
# Builds the whole tree with ThreadSanitizer in build-tsan/ and runs every
# test there, child processes included. Qt's own synchronisation is made
# visible by tests/tsan (linked into every program); cmake/tsan.supp lists
# what remains suppressed, each entry with its reason. Extra arguments go to
# ctest (for example -R core_).
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=${WIVORA_JOBS:-$(nproc)}
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DWIVORA_TSAN=ON >/dev/null
cmake --build build-tsan -j "$jobs"
cd build-tsan
ctest --output-on-failure --repeat until-pass:2 -j "$jobs" "$@"
