#!/usr/bin/env bash
# The Windows shell layer (tools/shell_win.cpp), cross-compiled with MinGW-w64 without Qt
# (tests/windows/) and run under Wine, headless, once for each Windows version Wine can
# report. Installs the cross compiler and Wine when run as root; otherwise, without them,
# says "skipped" and why, and succeeds.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

BUILD_DIR=build-win
VERSIONS=(winxp vista win7 win10)

status=0
ensure_wine || status=$?
[ $status -eq 2 ] && exit 0
[ $status -eq 0 ] || exit $status

cmake -S tests/windows -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$BUILD_DIR" -j"$BUILD_JOBS"

init_wine_prefix "$PWD/$BUILD_DIR/wineprefix"
# Every Wine process of this prefix ends with the suite, whatever happened.
trap stop_wine EXIT

passed=0
failed=0
failures=()
run() {
    local name=$1 status=0
    shift
    timeout "$@" || status=$?
    if [ $status -eq 0 ]; then
        passed=$((passed + 1))
    else
        [ $status -eq 124 ] && echo "$name: timed out"
        failed=$((failed + 1))
        failures+=("$name")
    fi
}

for version in "${VERSIONS[@]}"; do
    echo "---- Wine reporting $version"
    if ! timeout 60 "$WINE" reg add 'HKCU\Software\Wine' /v Version /d "$version" /f >/dev/null; then
        failed=$((failed + 1))
        failures+=("reg add $version")
        continue
    fi
    run "tst_shell_win_fields $version" 120 "$WINE" "$BUILD_DIR/tst_shell_win_fields.exe" "$version"
    run "tst_shell_win $version" 180 "$WINE" "$BUILD_DIR/tst_shell_win.exe" "$version"
done

echo
[ $failed -eq 0 ] || echo "failed under Wine: ${failures[*]}"
echo "windows: $passed passed, $failed failed ($(timeout 10 "$WINE" --version 2>/dev/null || echo Wine))"
[ $failed -eq 0 ]
