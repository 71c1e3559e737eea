#!/usr/bin/env bash
# The Windows zip as a user gets it: scripts/package-windows.sh makes it and checks what is in
# it (README.txt, the licences and notices, the source for relinking, an updater.exe that
# imports only the system's DLLs). Without the cached Qt for Windows it says "skipped" and
# how to build it. About a minute on 2 cores when the Windows build is not there yet.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! scripts/build-qt-mingw.sh --cached >/dev/null 2>&1; then
    echo "skipped: no Qt for Windows is cached yet; scripts/build-qt-mingw.sh builds it once" \
         "(as root; its header says how long it takes)"
    exit 0
fi
exec bash scripts/package-windows.sh
