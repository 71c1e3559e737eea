#!/usr/bin/env bash
# The whole CTest suite again, built with AddressSanitizer and UndefinedBehaviorSanitizer in
# build-asan/: any memory error, leak or undefined behaviour fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

ensure_packages "${CTEST_PACKAGES[@]}"

flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
build_project build-asan -DQUILLMOOR_BUILD_TESTS=ON -DQUILLMOOR_BUILD_BENCHMARKS=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    "-DCMAKE_CXX_FLAGS=$flags" \
    "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# The plain build already kills the updater 20 times; here a few kills are enough to run the
# instrumented updater through killed and resumed copies.
export QUILL_KILL_TRIALS=${QUILL_KILL_TRIALS:-5}
cd build-asan
QT_QPA_PLATFORM=offscreen ctest --output-on-failure
