#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds and runs a separate program that
# finds the library with find_package and includes its header as <quillmoor/tools.h> and as
# <tools.h>. Then the same for the package of a Qt 5 build of the library alone, made from
# scratch (some faults of the package show only on a first configure): that package brings
# Qt 5 to the program. Installs qtbase5-dev for that when run as root; otherwise, without
# it, checks the Qt 6 package only and says the Qt 5 one was skipped.
# Usage: scripts/test-install.sh [build directory, default build; built here when missing]
set -euo pipefail
shopt -s inherit_errexit   # a failing step inside $(...) stops the script too
cd "$(dirname "$0")/.."
source scripts/lib.sh
build=${1:-build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

ensure_packages "${BASE_PACKAGES[@]}"
# Up to date after scripts/test.sh; on its own the suite makes the program and the library.
if [ -f "$build/CMakeCache.txt" ]; then
    cmake --build "$build" -j"$BUILD_JOBS" >/dev/null
else
    build_project "$build" -DQUILLMOOR_BUILD_TESTS=OFF -DQUILLMOOR_BUILD_BENCHMARKS=OFF >/dev/null
fi

# Installs build $1 into $work/$2 and builds and runs the consumer there; prints the Qt
# version the consumer runs on.
check_package() {
    local dir=$1 prefix=$work/$2/prefix consumer=$work/$2/consumer f
    cmake --install "$dir" --prefix "$prefix" >/dev/null
    for f in bin/updater include/quillmoor/tools.h; do
        [ -e "$prefix/$f" ] || { echo "not installed: $f" >&2; return 1; }
    done
    cmake -S tests/install -B "$consumer" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
    cmake --build "$consumer" -j"$BUILD_JOBS" >/dev/null
    "$consumer/consumer"
}

qt=$(check_package "$build" main)
echo "installed package found and linked (Qt $qt)"

need_packages_or_skip qtbase5-dev
build_project "$work/qt5-build" -DQT_MAJOR_VERSION=5 -DQUILLMOOR_BUILD_TESTS=OFF \
    -DQUILLMOOR_BUILD_BENCHMARKS=OFF >/dev/null
qt=$(check_package "$work/qt5-build" qt5)
[[ $qt == 5.* ]] || { echo "the Qt 5 package gave the program Qt $qt" >&2; exit 1; }
echo "installed Qt 5 package found and linked (Qt $qt)"
