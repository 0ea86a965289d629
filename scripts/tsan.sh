#!/usr/bin/env bash
# Builds the suites where threads meet with ThreadSanitizer in build-tsan/
# and runs their tests, child processes included: basislib's links and I/O
# service, the UDP links, the server, the client core, both plug-ins (their
# engines, transfers and delivery) and the end-to-end runs. Qt's
# own synchronisation is made visible by tests/tsan (linked into every
# program); cmake/tsan.supp lists what remains suppressed, each entry with
# its reason. Extra arguments go to ctest (for example -R core_).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/jobs.sh
source scripts/stages.sh

suites=(basislib udp server core wftp wmail e2e)
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DWIVORA_TSAN=ON -DWIVORA_BENCH=OFF >/dev/null
cmake --build build-tsan -j "$build_jobs" --target "${suites[@]/%/_tests}"
stage "tsan build"
cd build-tsan
selection="^($(IFS='|'; echo "${suites[*]}"))_"
ctest --output-on-failure --repeat until-pass:2 -j "$test_jobs" -R "$selection" "$@"
stage "tsan tests"
