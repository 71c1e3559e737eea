#!/usr/bin/env bash
# The updater's copy and removal of a staged tree against cp -a and rm -rf of the same tree,
# where its time goes, and its memory; see bench/bench_copy.cpp. Two trees, one after the
# other: 10,000 files of 4 KB in 100 directories and 20 files of 32 MB (needs about 2.1 GB
# free in $TMPDIR, default /tmp), then 100,000 files of 1 KB in 1,000 directories.
# Usage, from anywhere: bench/copy.sh [build directory, default build]
# QUILL_BENCH_ROUNDS (default 3) sets the rounds; QUILL_BENCH_SMALL=1 small trees;
# QUILL_BENCH_TREES="standard" or "many" runs one of the two.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
build=${1:-build}
build_bench "$build" bench_copy
for tree in ${QUILL_BENCH_TREES:-standard many}; do
    QUILL_BENCH_TREE=$tree "$build/bench/bench_copy"
done
