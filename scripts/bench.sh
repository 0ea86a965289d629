#!/usr/bin/env bash
# scripts/bench.sh NAME [ARGS]  builds bench_NAME (optimised, in build/) and runs it with ARGS.
# scripts/bench.sh       lists the benchmarks: the folders of bench/.
set -euo pipefail
cd "$(dirname "$0")/.."

list() {
  for dir in bench/*/; do
    [[ -f "$dir/CMakeLists.txt" ]] && basename "$dir"
  done
}

if (($# == 0)); then
  list
  exit 0
fi

name=$1
if [[ ! -f "bench/$name/CMakeLists.txt" ]]; then
  echo "no benchmark '$name'; there are:" >&2
  list >&2
  exit 2
fi

# The configuration of build/ is kept (scripts/setup.sh makes it optimised);
# a fresh build/ gets an optimised one.
[[ -f build/CMakeCache.txt ]] || cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --target "bench_$name"
exec "build/bench/$name/bench_$name" "${@:2}"
