#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the CTest suite, then each further
# suite scripts/test-*.sh (each may skip itself, saying why).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

ensure_packages "${CTEST_PACKAGES[@]}"
build_project build -DQUILLMOOR_BUILD_TESTS=ON

passed=0
failed=0
failures=()
run_suite() {
    local name=$1 start=$SECONDS
    shift
    echo "==== $name"
    if "$@"; then
        passed=$((passed + 1))
        echo "==== $name passed in $((SECONDS - start)) s"
    else
        failed=$((failed + 1))
        failures+=("$name")
        echo "==== $name FAILED after $((SECONDS - start)) s"
    fi
}

run_suite ctest bash -c 'cd build && QT_QPA_PLATFORM=offscreen ctest --output-on-failure'
for suite in scripts/test-*.sh; do
    [ -e "$suite" ] || continue
    run_suite "$(basename "$suite" .sh)" bash "$suite"
done

echo
[ $failed -eq 0 ] || echo "failed suites: ${failures[*]}"
echo "suites: $passed passed, $failed failed"
[ $failed -eq 0 ]
