#!/usr/bin/env bash
# The build and the whole CTest suite once more on Qt 5.15 (Debian's qtbase5-dev), in
# build-qt5/, for the applications that ship the updater on Qt 5. Installs qtbase5-dev when
# run as root; otherwise, without it, says "skipped" and why, and succeeds.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

BUILD_DIR=build-qt5

ensure_packages "${CTEST_PACKAGES[@]}"
need_packages_or_skip qtbase5-dev

echo "Building with Qt $(pkg-config --modversion Qt5Core 2>/dev/null || echo 5) in $BUILD_DIR"
# The benchmarks measure the Qt 6 build; here only the program, the library and the tests.
build_project "$BUILD_DIR" -DQT_MAJOR_VERSION=5 -DQUILLMOOR_BUILD_TESTS=ON \
    -DQUILLMOOR_BUILD_BENCHMARKS=OFF
cd "$BUILD_DIR"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure
