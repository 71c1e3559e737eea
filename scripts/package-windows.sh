#!/usr/bin/env bash
# The Windows artifact: build-win-qt/dist/quillmoor-updater-<version>-windows-x86_64.zip with
# updater.exe (static, stripped), README.txt, the licences (this program's, Qt's texts and
# its third-party notices from the Qt cache, Debian's copyright files of the MinGW-w64
# runtime code linked in), this program's source (what Qt's LGPL asks of a statically linked
# program: the means to relink it) and the SDK for MinGW-w64 users (libtools.a, tools.h, the
# CMake package; they link Qt 6 for Windows too). Then checks the zip it made: every file a
# user and the licences need is in it, and the exe imports nothing but the system's DLLs
# (printed).
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
# Relinked every time, so that the link map read below is the one of the exe packaged.
map=$BUILD_DIR/updater/updater.map
rm -f "$BUILD_DIR/updater/updater.exe" "$map"
cmake --build "$BUILD_DIR" --target updater tools -j"$BUILD_JOBS" >/dev/null
[ -s "$map" ] || { echo "the link of updater.exe wrote no map $map" >&2; exit 1; }

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

# The toolchain's own code in updater.exe and the notices it asks for, read from the link map
# rather than assumed. -static links in parts of the runtime: GCC's libstdc++ and libgcc
# (under the GCC Runtime Library Exception), mingw-w64's CRT startup code and helpers,
# winpthreads (expat, pthread.h BSD-3-clause; both want their notice shipped with binaries)
# and the import stubs of the system DLLs. updater/CMakeLists.txt has the linker write
# updater.map beside updater.exe at each link. The map's first section, "Archive member
# included to satisfy reference by file (symbol)", starts a line with "archive(member)" for
# each archive member the link took; its "LOAD" lines name the object files linked whole,
# among them the startup files crt2.o, crtbegin.o and crtend.o. To list the toolchain's
# archives by hand:
#
#   sed -n '/^Archive member included/,/^Discarded input sections/s|^\(/[^(]*\)(.*|\1|p' \
#       build-win-qt/updater/updater.map | sort -u
#
# Every such input outside this build and the Qt cache must belong to a Debian package
# (dpkg -S). Its copyright file, Debian's record of each file's copyright and licence, is
# shipped whole as licenses/<source package>/copyright. An input no package owns stops the
# packaging, and so do two packages of one source with different copyright files.
mapfile -t linked < <(
    awk '/^Archive member included to satisfy reference by file/ { members = 1; next }
         /^(Allocating common symbols|Discarded input sections|Memory Configuration)$/ { members = 0 }
         members && /^\// { sub(/\(.*/, ""); print }
         /^LOAD \// && !/\.a$/ { sub(/^LOAD /, ""); print }' "$map" | sort -u)
build_real=$(realpath "$BUILD_DIR")
qt_real=$(realpath "$qt")
notices=()
declare -A parts=()
for input in "${linked[@]}"; do
    real=$(realpath -e "$input") || { echo "the link map names $input, which is not there" >&2; exit 1; }
    case $real in "$build_real"/*|"$qt_real"/*) continue ;; esac
    owner=$(dpkg-query -S "$real" 2>/dev/null | grep -v '^diversion' | head -1 || true)
    [ -n "$owner" ] || { echo "updater.exe links $real, which no Debian package owns: its notice is unknown" >&2; exit 1; }
    owner=${owner%%: *}
    package=${owner%%,*}
    package=${package%%:*}
    source_package=$(dpkg-query -W -f='${source:Package}' "$package")
    copyright=/usr/share/doc/$package/copyright
    [ -s "$copyright" ] || { echo "$package, which holds $real, has no $copyright" >&2; exit 1; }
    target=$dir/licenses/$source_package/copyright
    if [ -e "$target" ]; then
        cmp -s "$copyright" "$target" \
            || { echo "the packages of $source_package have different copyright files" >&2; exit 1; }
    else
        mkdir -p "${target%/*}"
        cp "$copyright" "$target"
        notices+=("licenses/$source_package/copyright")
    fi
    parts[$source_package]+=" ${real##*/}"
done
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
# The two toolchain notices are named here as well as found in the map: a map read wrongly
# must not make them optional.
required=(updater.exe README.txt LICENSE.txt "source/$source_zip" sdk/include/quillmoor/tools.h
          licenses/qt6-base/LGPL-3.0-only.txt licenses/qt6-base/GPL-3.0-only.txt
          licenses/qt6-base/debian-copyright licenses/qt6-base/3rdparty/harfbuzz-ng/COPYING
          licenses/qt6-base/3rdparty/pcre2/LICENCE licenses/qt6-base/3rdparty/zlib/LICENSE
          licenses/mingw-w64/copyright licenses/gcc-mingw-w64/copyright)
for file in "${notices[@]}"; do
    [[ " ${required[*]} " == *" $file "* ]] || required+=("$file")
done
for file in "${required[@]}"; do
    [ -s "$check/$name/$file" ] || missing+=("$file")
done
grep -q "MIT License" "$check/$name/LICENSE.txt" || missing+=("the MIT text in LICENSE.txt")
grep -qs "^Files: mingw-w64-libraries/winpthreads/" "$check/$name/licenses/mingw-w64/copyright" \
    || missing+=("winpthreads' notice in licenses/mingw-w64/copyright")
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
while IFS= read -r source_package; do
    echo "toolchain code linked in, notice in licenses/$source_package/copyright:${parts[$source_package]}"
done < <(printf '%s\n' "${!parts[@]}" | sort)
