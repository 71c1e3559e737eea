#!/usr/bin/env bash
# The updater's copy and removal of a staged tree (10,000 files of 4 KB in 100 directories and
# 20 files of 32 MB) against cp -a and rm -rf of the same tree, and the updater's peak memory;
# see bench/bench_copy.cpp. Needs about 2.1 GB free in $TMPDIR (default /tmp).
# Usage, from anywhere: bench/copy.sh [build directory, default build]
# QUILL_BENCH_ROUNDS (default 3) sets the rounds; QUILL_BENCH_SMALL=1 a small tree.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
build=${1:-build}
build_bench "$build" bench_copy
"$build/bench/bench_copy"
