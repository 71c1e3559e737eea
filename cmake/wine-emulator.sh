#!/bin/sh
# CMake's emulator for the Windows build (CMAKE_CROSSCOMPILING_EMULATOR): runs one Windows
# program under Wine, in the given private prefix, without a display, bounded in time.
#
#   wine-emulator.sh <wine prefix> <program.exe> [arguments...]
#
# QUILL_WINE_TIMEOUT (seconds, default 1500) bounds the run.
set -u
export WINEPREFIX="$1"
shift
export WINEDEBUG="${WINEDEBUG:--all}" WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
# Wine passes no QT_* variable of this side to a Windows program (they would be the host
# Qt's); a WINEQT_* variable arrives there as QT_*.
for name in $(env | sed -n 's/^\(QT_[A-Za-z0-9_]*\)=.*/\1/p'); do
    export "WINE$name=$(printenv "$name")"
done
# A drive of its own, R:, for tests that install at a drive's root: Wine gives a letter to a
# directory through a link in dosdevices (its subst and DefineDosDevice reach no file call).
mkdir -p "$WINEPREFIX/drive-root"
[ -L "$WINEPREFIX/dosdevices/r:" ] || ln -s ../drive-root "$WINEPREFIX/dosdevices/r:"
export QUILL_TEST_DRIVE=R:
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
program=$1
shift
limit=${QUILL_WINE_TIMEOUT:-1500}
case $(basename "$program") in
tst_*.exe)
    # A Qt Test program's console output does not reach this side under Wine, so it writes
    # its log to a file that is shown afterwards.
    log=$(mktemp)
    timeout "$limit" "$wine" "$program" "$@" -o "Z:$log,txt"
    status=$?
    cat "$log"
    rm -f "$log"
    [ $status -eq 124 ] && echo "$(basename "$program"): timed out after $limit s"
    exit $status
    ;;
*)
    exec timeout "$limit" "$wine" "$program" "$@"
    ;;
esac
