#!/usr/bin/env bash
# The Windows artifact: build-win-qt/dist/quillmoor-updater-<version>-windows-x86_64.zip with
# updater.exe (static, stripped), README.txt, the licences (this program's, Qt's texts and
# its third-party notices from the Qt cache), this program's source (what Qt's LGPL asks of
# a statically linked program: the means to relink it) and the SDK for MinGW-w64 users
# (libtools.a, tools.h, the CMake package; they link Qt 6 for Windows too). Then checks the
# zip it made: every file a user and the licences need is in it, and the exe imports
# nothing but the system's DLLs (printed).
# Needs the cached Qt for Windows (scripts/build-qt-mingw.sh) and a git checkout; builds the
# updater and the library into build-win-qt/ where they are missing or stale. Testing is
# scripts/test-windows-program.sh's job; this only packages.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

BUILD_DIR=build-win-qt
qt=$(scripts/build-qt-mingw.sh --cached) || {
    echo "no Qt for Windows is cached; build it with scripts/build-qt-mingw.sh" >&2
    exit 1
}
licenses=$qt/share/licenses/qt6-base
[ -f "$licenses/LGPL-3.0-only.txt" ] && [ -f "$licenses/debian-copyright" ] || {
    echo "the Qt cache has no licence texts in $licenses; scripts/build-qt-mingw.sh adds them" \
         "(it needs the qt6-base source package)" >&2
    exit 1
}
ensure_packages zip unzip
[ -f "$BUILD_DIR/CMakeCache.txt" ] || configure_windows_build "$BUILD_DIR" "$qt"
cmake --build "$BUILD_DIR" --target updater tools -j"$BUILD_JOBS" >/dev/null

version=$(sed -n 's/^project(Quillmoor VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
qt_version=$(sed -n 's/^QT_VERSION=//p' scripts/build-qt-mingw.sh)
debian_qt_version=$(dpkg-query -W -f='${Version}' qt6-base-dev)
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
name=quillmoor-updater-$version-windows-x86_64
dir=$stage/$name
cmake --install "$BUILD_DIR" --prefix "$dir/sdk" >/dev/null
mv "$dir/sdk/bin/updater.exe" "$dir/updater.exe"
rmdir "$dir/sdk/bin"
x86_64-w64-mingw32-strip "$dir/updater.exe"

source_zip=quillmoor-$version-source.zip
mkdir -p "$dir/source" "$dir/licenses"
git archive --format=zip --prefix="quillmoor-$version/" -o "$dir/source/$source_zip" HEAD
cp LICENSE "$dir/LICENSE.txt"
cp -r "$licenses" "$dir/licenses/qt6-base"
sed -e "s/@VERSION@/$version/g" -e "s/@QT_VERSION@/$qt_version/g" \
    -e "s/@DEBIAN_QT_VERSION@/$debian_qt_version/g" -e "s/@SOURCE_ZIP@/$source_zip/g" \
    scripts/package-windows-README.txt > "$dir/README.txt"
# Windows' own editors want CRLF.
sed -i 's/$/\r/' "$dir/README.txt" "$dir/LICENSE.txt"

mkdir -p "$BUILD_DIR/dist"
zip_path=$PWD/$BUILD_DIR/dist/$name.zip
rm -f "$zip_path"
(cd "$stage" && zip -qr "$zip_path" "$name")

# The check of what was made, from the zip itself.
check=$(mktemp -d)
trap 'rm -rf "$stage" "$check"' EXIT
unzip -q "$zip_path" -d "$check"
missing=()
for file in updater.exe README.txt LICENSE.txt "source/$source_zip" sdk/include/quillmoor/tools.h \
            licenses/qt6-base/LGPL-3.0-only.txt licenses/qt6-base/GPL-3.0-only.txt \
            licenses/qt6-base/debian-copyright licenses/qt6-base/3rdparty/harfbuzz-ng/COPYING \
            licenses/qt6-base/3rdparty/pcre2/LICENCE licenses/qt6-base/3rdparty/zlib/LICENSE; do
    [ -s "$check/$name/$file" ] || missing+=("$file")
done
grep -q "MIT License" "$check/$name/LICENSE.txt" || missing+=("the MIT text in LICENSE.txt")
! grep -q "@[A-Z_]*@" "$check/$name/README.txt" || missing+=("README.txt's placeholders filled in")
# Listed first: grep -q stops reading early, and with pipefail unzip's broken pipe would count
# as a failure.
listing=$(unzip -l "$check/$name/source/$source_zip")
grep -q "quillmoor-$version/CMakeLists.txt" <<<"$listing" || missing+=("the source's CMakeLists.txt")
if [ ${#missing[@]} -gt 0 ]; then
    echo "the package lacks: ${missing[*]}" >&2
    exit 1
fi

# Every import must be a DLL that Windows itself brings: no Qt, no MinGW runtime, nothing
# that the release the updater installs could replace.
imports=$(x86_64-w64-mingw32-objdump -p "$check/$name/updater.exe" | sed -n 's/^\s*DLL Name: //p')
foreign=$(grep -viE '^(advapi32|authz|comdlg32|d3d9|d3d11|dwmapi|dwrite|dxgi|gdi32|imm32|kernel32|msvcrt|netapi32|ole32|oleaut32|shcore|shell32|shlwapi|user32|userenv|uxtheme|version|winmm|ws2_32|wtsapi32|setupapi|api-ms-win-[a-z0-9-]+)\.dll$' <<<"$imports" || true)
if [ -n "$foreign" ]; then
    echo "updater.exe imports DLLs that are not the system's: $foreign" >&2
    exit 1
fi
echo "packaged $zip_path ($(( $(stat -c %s "$zip_path") / 1048576 )) MB, $(unzip -Z1 "$zip_path" | grep -vc '/$') files):" \
     "updater.exe $(( $(stat -c %s "$check/$name/updater.exe") / 1048576 )) MB, README, licences and" \
     "notices, source; imports only system DLLs: $(tr '\n' ' ' <<<"$imports")"
