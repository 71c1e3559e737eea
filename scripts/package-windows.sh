#!/usr/bin/env bash
# The Windows artifact: build-win-qt/dist/quillmoor-updater-<version>-windows-x86_64.zip with
# updater.exe (static, stripped) and the SDK for MinGW-w64 users (libtools.a, tools.h, the
# CMake package; they link Qt 6 for Windows too, as the library uses it). Checks that the exe
# imports nothing but the system's DLLs, and prints them.
# Needs the cached Qt for Windows (scripts/build-qt-mingw.sh); builds what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

BUILD_DIR=build-win-qt
qt=$(scripts/build-qt-mingw.sh --cached) || {
    echo "no Qt for Windows is cached; build it with scripts/build-qt-mingw.sh" >&2
    exit 1
}
[ -f "$BUILD_DIR/CMakeCache.txt" ] || configure_windows_build "$BUILD_DIR" "$qt"
cmake --build "$BUILD_DIR" --target updater tools -j"$(nproc)" >/dev/null

version=$(sed -n 's/^project(Quillmoor VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
name=quillmoor-updater-$version-windows-x86_64
cmake --install "$BUILD_DIR" --prefix "$stage/$name/sdk" >/dev/null
mv "$stage/$name/sdk/bin/updater.exe" "$stage/$name/updater.exe"
rmdir "$stage/$name/sdk/bin"
x86_64-w64-mingw32-strip "$stage/$name/updater.exe"

# Every import must be a DLL that Windows itself brings: no Qt, no MinGW runtime, nothing
# that the release the updater installs could replace.
imports=$(x86_64-w64-mingw32-objdump -p "$stage/$name/updater.exe" | sed -n 's/^\s*DLL Name: //p')
foreign=$(grep -viE '^(advapi32|authz|comdlg32|d3d9|d3d11|dwmapi|dwrite|dxgi|gdi32|imm32|kernel32|msvcrt|netapi32|ole32|oleaut32|shcore|shell32|shlwapi|user32|userenv|uxtheme|version|winmm|ws2_32|wtsapi32|setupapi|api-ms-win-[a-z0-9-]+)\.dll$' <<<"$imports" || true)
if [ -n "$foreign" ]; then
    echo "updater.exe imports DLLs that are not the system's: $foreign" >&2
    exit 1
fi

mkdir -p "$BUILD_DIR/dist"
zip_path=$PWD/$BUILD_DIR/dist/$name.zip
rm -f "$zip_path"
(cd "$stage" && zip -qr "$zip_path" "$name")
echo "packaged $zip_path ($(( $(stat -c %s "$zip_path") / 1048576 )) MB):" \
     "updater.exe $(( $(stat -c %s "$stage/$name/updater.exe") / 1048576 )) MB, imports only" \
     "system DLLs: $(tr '\n' ' ' <<<"$imports")"
