#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (AddressSanitizer and UBSan included) in
# build-fuzz/ and runs each for a bounded time, starting from the seeds in fuzz/corpus/.
# A crash, a leak, a hang or a broken property fails the run; libFuzzer leaves the input
# that did it as build-fuzz/crash-* (or leak-*, timeout-*) and prints it. Installs clang when
# run as root; otherwise, without it, says "skipped" and why, and succeeds.
#   FUZZ_SECONDS=600 scripts/test-fuzz.sh             # longer, every target
#   FUZZ_SECONDS=600 scripts/test-fuzz.sh fuzz_urls   # one target
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

ensure_packages "${BASE_PACKAGES[@]}"
need_packages_or_skip clang libclang-rt-14-dev

seconds=${FUZZ_SECONDS:-20}
cmake -S fuzz -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build-fuzz -j"$BUILD_JOBS" >/dev/null

if [ $# -gt 0 ]; then
    targets=("$@")
else
    targets=()
    for source in fuzz/fuzz_*.cpp; do
        targets+=("$(basename "$source" .cpp)")
    done
fi

failed=()
for target in "${targets[@]}"; do
    # New inputs go to the first directory, so the seeds in the repository stay as they are.
    corpus=build-fuzz/corpus/$target
    mkdir -p "$corpus"
    echo "== $target: ${seconds} s"
    if (cd build-fuzz && "./$target" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
            -rss_limit_mb=3072 -print_final_stats=1 \
            "corpus/$target" "../fuzz/corpus/$target" >"$target.log" 2>&1); then
        grep -E "stat::number_of_executed_units|stat::new_units_added" "build-fuzz/$target.log" \
            | tr '\n' ' '
        echo
    else
        failed+=("$target")
        tail -40 "build-fuzz/$target.log"
    fi
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz targets that failed: ${failed[*]}"
    exit 1
fi
echo "fuzz targets passed: ${targets[*]}"
