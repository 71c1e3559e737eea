#!/usr/bin/env bash
# The Windows shell layer (tools/shell_win.cpp), cross-compiled with MinGW-w64 without Qt
# (tests/windows/) and run under Wine, headless, once for each Windows version Wine can
# report. Installs the cross compiler and Wine when run as root; otherwise, without them,
# says "skipped" and why, and succeeds.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

BUILD_DIR=build-win
PACKAGES=(g++-mingw-w64-x86-64 wine64)
VERSIONS=(winxp vista win7 win10)

find_wine() {
    WINE=$(command -v wine64 || true)
    [ -n "$WINE" ] || { [ -x /usr/lib/wine/wine64 ] && WINE=/usr/lib/wine/wine64; } || true
    WINESERVER=$(command -v wineserver || true)
    [ -n "$WINESERVER" ] || { [ -x /usr/lib/wine/wineserver ] && WINESERVER=/usr/lib/wine/wineserver; } || true
    command -v x86_64-w64-mingw32-g++ >/dev/null && [ -n "$WINE" ] && [ -n "$WINESERVER" ]
}

if ! find_wine; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "skipped: the MinGW-w64 cross compiler or Wine is missing" \
             "(install ${PACKAGES[*]}, or run this as root to have it installed)"
        exit 0
    fi
    ensure_packages cmake "${PACKAGES[@]}"
    find_wine || { echo "Wine or the cross compiler is still missing after installing" >&2; exit 1; }
fi

cmake -S tests/windows -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)"

# A private, headless Wine: its own prefix in the build directory, no display (a message
# box would wait for a click), no debug chatter, and no offer to install Mono or Gecko.
export WINEPREFIX="$PWD/$BUILD_DIR/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

# Every Wine process of this prefix ends with the suite, whatever happened.
stop_wine() {
    timeout 30 "$WINESERVER" -w 2>/dev/null || "$WINESERVER" -k 2>/dev/null || true
}
trap stop_wine EXIT

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "Creating the Wine prefix $WINEPREFIX"
    timeout 300 "$WINE" wineboot --init >"$BUILD_DIR/wineboot.log" 2>&1 \
        || { cat "$BUILD_DIR/wineboot.log" >&2; echo "wineboot failed" >&2; exit 1; }
fi

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
