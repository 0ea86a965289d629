#!/usr/bin/env bash
# Builds everything and runs every test, in stages whose wall times the log
# shows:
#   plain  build/: the whole tree, optimised, and every test;
#   asan   build-asan/: the whole tree again under AddressSanitizer and
#          UndefinedBehaviorSanitizer with leak detection, and every test;
#   tsan   build-tsan/: ThreadSanitizer on the suites where threads meet
#          (scripts/tsan.sh).
# Sanitizer reports of the servers and clients the tests start fail those
# tests too. A test that fails is run once more (a start-up wait can run out
# on a loaded machine); its first failure stays in the log. WIVORA_JOBS sets
# the parallel jobs; by default they follow the cores and memory
# (scripts/jobs.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/jobs.sh
source scripts/stages.sh
started=$SECONDS

scripts/setup.sh
stage "plain build (with setup)"
(cd build && ctest --output-on-failure --repeat until-pass:2 -j "$test_jobs")
stage "plain tests"

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DWIVORA_ASAN=ON -DWIVORA_BENCH=OFF >/dev/null
cmake --build build-asan -j "$build_jobs"
stage "asan build"
(cd build-asan && ctest --output-on-failure --repeat until-pass:2 -j "$test_jobs")
stage "asan tests"

scripts/tsan.sh
echo "=== all stages: $((SECONDS - started)) s"
