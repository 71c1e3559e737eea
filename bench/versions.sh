#!/usr/bin/env bash
# Version comparisons per second, ours against Qt's QVersionNumber and a plain split, and
# expandStageLetters in MB/s at 4 and 16 MB against chained QString::replace, all in one
# process. Usage, from anywhere: bench/versions.sh [build directory, default build]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
build=${1:-build}
build_bench "$build" bench_versions
"$build/bench/bench_versions"
