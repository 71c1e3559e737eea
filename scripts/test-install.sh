#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds and runs a separate program that
# finds the library with find_package.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
for f in bin/updater include/quillmoor/tools.h; do
    [ -e "$work/prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
cmake -S tests/install -B "$work/consumer" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/consumer" -j"$(nproc)" >/dev/null
"$work/consumer/consumer"
echo "installed package found and linked"
