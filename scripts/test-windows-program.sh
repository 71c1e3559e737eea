#!/usr/bin/env bash
# The whole program for Windows: the updater, the library and every CTest program cross-built
# with MinGW-w64 against the static Qt that scripts/build-qt-mingw.sh caches, into
# build-win-qt/, with no warnings; then the CTest suite under Wine (each program through
# cmake/wine-emulator.sh): headless, in a private prefix, bounded in time, the Wine server
# stopped at the end. Without the cached Qt it says "skipped" and how to build it. It tests;
# scripts/package-windows.sh makes (and checks) the zip.
#
# A run takes about 12 minutes on 2 cores (the build 1, the programs under Wine about 11).
# QUILL_KILL_TRIALS sets the kill test's kills here too (default 10 under Wine).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

BUILD_DIR=build-win-qt
start=$(date +%s)

if ! qt=$(scripts/build-qt-mingw.sh --cached 2>/dev/null); then
    echo "skipped: no Qt for Windows is cached yet; scripts/build-qt-mingw.sh builds it once" \
         "(as root; its header says how long it takes)"
    exit 0
fi
status=0
ensure_wine || status=$?
[ $status -eq 2 ] && exit 0
[ $status -eq 0 ] || exit $status

configure_windows_build "$BUILD_DIR" "$qt"
log=$BUILD_DIR/build.log
cmake --build "$BUILD_DIR" -j"$BUILD_JOBS" >"$log" 2>&1 || { tail -40 "$log"; echo "the Windows build failed" >&2; exit 1; }
if grep -q "warning:" "$log"; then
    grep -B2 -A6 "warning:" "$log" | head -60
    echo "the Windows build has warnings" >&2
    exit 1
fi
echo "built for Windows in $(( $(date +%s) - start )) s: $(ls "$BUILD_DIR"/tests/tst_*.exe | wc -l) test programs," \
     "updater.exe $(( $(stat -c %s "$BUILD_DIR/updater/updater.exe") / 1048576 )) MB"

init_wine_prefix "$PWD/$BUILD_DIR/wineprefix"
trap stop_wine EXIT

export QUILL_KILL_TRIALS=${QUILL_KILL_TRIALS:-10}
status=0
(cd "$BUILD_DIR" && ctest --output-on-failure --timeout 1500) || status=$?
echo "windows program: ctest under Wine $([ $status -eq 0 ] && echo passed || echo failed)" \
     "in $(( $(date +%s) - start )) s ($(timeout 10 "$WINE" --version 2>/dev/null || echo Wine))"
exit $status
