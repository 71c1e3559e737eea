#!/usr/bin/env bash
# The whole CTest suite again, built with AddressSanitizer and UndefinedBehaviorSanitizer in
# build-asan/: any memory error, leak or undefined behaviour fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

ensure_packages "${BASE_PACKAGES[@]}"

flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
build_project build-asan -DQUILLMOOR_BUILD_TESTS=ON -DQUILLMOOR_BUILD_BENCHMARKS=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    "-DCMAKE_CXX_FLAGS=$flags" \
    "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined"

# Qt's own libraries are not instrumented; a report that starts inside them still fails the
# run, but the leak checker must not blame the few objects Qt keeps until process exit.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/scripts/lsan.supp:print_suppressions=0}
cd build-asan
QT_QPA_PLATFORM=offscreen ctest --output-on-failure
