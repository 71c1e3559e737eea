#!/usr/bin/env bash
# Version comparisons per second, ours against Qt's QVersionNumber and a plain split, all in
# one process. Usage, from anywhere: bench/versions.sh [build directory, default build]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
# Built on every run so that the figures never come from a stale binary.
cmake --build "$build" --target bench_versions -j2 >/dev/null
"$build/bench/bench_versions"
