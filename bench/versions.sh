#!/usr/bin/env bash
# Version comparisons per second, ours against Qt's QVersionNumber and a plain split, all in
# one process. Usage, from anywhere: bench/versions.sh [build directory, default build]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
build=${1:-build}
build_bench "$build" bench_versions
"$build/bench/bench_versions"
