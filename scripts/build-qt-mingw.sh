#!/usr/bin/env bash
# Builds a static Qt for 64-bit Windows (MinGW-w64, posix threads) from Debian's own qt6-base
# source package, with QtCore, QtGui, QtWidgets, QtTest and the windows and offscreen
# platform plugins, into a cache outside the repository:
#
#   ${XDG_CACHE_HOME:-~/.cache}/quillmoor/qt-<version>-mingw-w64-static
#
# The first run takes 18 to 45 minutes on 2 cores (about 1,000 build steps): 18 on a quiet
# machine, 35 in a CI run and 44 beside other builds (2026-12-10); it needs about 3 GB free
# while it builds, and the result is about 113 MB. This is the one place these figures are
# given; the other scripts and the READMEs point here. Later runs find the stamp
# and finish in seconds. Needs root the first time (apt-get for the cross compiler, the
# host tools and the source package; a deb-src entry is derived from the machine's own
# Debian sources when there is none).
#
# The cache is self-contained: it keeps the toolchain file it was built with (its
# qt.toolchain.cmake refers to that copy, not to the clone that built it, which CI removes)
# and Qt's licence texts and third-party notices from the source package, which the Windows
# package ships. A cache made before it kept them is completed in place, without a rebuild.
#
# Prints the install prefix as its last line. QUILL_QT_MINGW_CACHE overrides the cache root.
# With --cached it builds nothing: it prints the prefix and succeeds when the cache is there
# (completing it first where it can).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

# The host tools (moc, uic, rcc) come from Debian's qt6-base-dev-tools, so the target Qt must
# be the very same version.
QT_VERSION=6.4.2
CACHE_ROOT=${QUILL_QT_MINGW_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quillmoor}
PREFIX=$CACHE_ROOT/qt-$QT_VERSION-mingw-w64-static
TOOLCHAIN=$PWD/cmake/mingw-w64-x86_64.cmake

# Everything that decides what gets built; a change of any of it rebuilds.
QT_OPTIONS=(
    -DQT_HOST_PATH=/usr
    -DQT_HOST_PATH_CMAKE_DIR=$QT_HOST_CMAKE_DIR
    -DBUILD_SHARED_LIBS=OFF
    -DCMAKE_BUILD_TYPE=Release
    -DQT_BUILD_EXAMPLES=OFF
    -DQT_BUILD_TESTS=OFF
    -DFEATURE_sql=OFF
    -DFEATURE_network=OFF
    -DFEATURE_dbus=OFF
    -DFEATURE_vulkan=OFF
    -DFEATURE_accessibility=OFF
    -DFEATURE_tabletevent=OFF
    -DFEATURE_printsupport=OFF
    -DFEATURE_xml=OFF
    -DFEATURE_concurrent=OFF
    -DFEATURE_system_zlib=OFF
    -DFEATURE_pkg_config=OFF
)
STAMP="qt $QT_VERSION x86_64-w64-mingw32 posix static; $(sha256sum "$TOOLCHAIN" | cut -c1-16); ${QT_OPTIONS[*]}"

# Adds deb-src entries derived from the machine's own Debian sources (the same archives,
# suites and components) when apt-get source has none, once.
ensure_deb_src() {
    local list=/etc/apt/sources.list.d/quillmoor-deb-src.sources f
    apt-get source --print-uris qt6-base >/dev/null 2>&1 && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "No deb-src entry for qt6-base; run this as root to have one added" >&2
        return 1
    fi
    {
        for f in /etc/apt/sources.list.d/*.sources; do
            [ -e "$f" ] && [ "$f" != "$list" ] || continue
            # deb822 stanzas: keep those whose Types hold "deb", now as deb-src.
            awk 'BEGIN { RS = ""; ORS = "\n\n" }
                 /(^|\n)Types:[^\n]*(^| )deb( |\n|$)/ {
                     sub(/Types:[^\n]*/, "Types: deb-src"); print }' "$f"
        done
        # One-line entries, written as deb822 too.
        for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
            [ -e "$f" ] || continue
            sed -n 's/^[[:space:]]*deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\?\([^[:space:]]\+\)[[:space:]]\+\([^[:space:]]\+\)[[:space:]]\+\(.*\)$/Types: deb-src\nURIs: \2\nSuites: \3\nComponents: \4\n/p' "$f"
        done
    } > "$list"
    echo "Added deb-src entries derived from the configured Debian sources: $list"
    apt-get update -qq
}

# Unpacks Debian's qt6-base source package, the version of the host tools, into $1 and
# prints the source tree's path.
fetch_source() {
    local dir=$1 src
    ensure_packages dpkg-dev qt6-base-dev >&2 && ensure_deb_src >&2 || return 1
    (cd "$dir" && apt-get source -qq qt6-base="$(dpkg-query -W -f='${Version}' qt6-base-dev)" >/dev/null) || return 1
    src=$(dirname "$(find "$dir" -mindepth 2 -maxdepth 2 -name CMakeLists.txt | head -1)")
    [ -f "$src/CMakeLists.txt" ] || { echo "apt-get source gave no Qt source tree in $dir" >&2; return 1; }
    echo "$src"
}

# Qt's licence texts, Debian's copyright file (every file's copyright and licence) and each
# bundled third-party component's attribution and licence files, from the source tree $1.
LICENSE_DIR=$PREFIX/share/licenses/qt6-base
collect_licenses() {
    local src=$1 tmp=$LICENSE_DIR.tmp attribution dir
    rm -rf "$tmp"
    mkdir -p "$tmp"
    cp "$src"/LICENSES/*.txt "$tmp/"
    cp "$src/debian/copyright" "$tmp/debian-copyright"
    # Kept under their place in Qt's src/: 3rdparty/zlib/, gui/painting/, ...
    while IFS= read -r attribution; do
        dir=${attribution%/qt_attribution.json}
        mkdir -p "$tmp/${dir#"$src"/src/}"
        find "$dir" -maxdepth 1 -type f \( -name qt_attribution.json -o -iname '*licen[cs]e*' \
             -o -iname 'copying*' -o -iname 'copyright*' -o -iname 'notice*' \) \
             -exec cp {} "$tmp/${dir#"$src"/src/}/" \;
    done < <(find "$src/src" -name qt_attribution.json)
    rm -rf "$LICENSE_DIR"
    mv "$tmp" "$LICENSE_DIR"
}

# Brings a cache up to date without rebuilding it; every step is idempotent.
complete_cache() {
    local kept=$PREFIX/lib/cmake/Qt6/quillmoor-mingw-w64-x86_64.cmake
    local toolchain=$PREFIX/lib/cmake/Qt6/qt.toolchain.cmake
    # The stamp matched, so this checkout's toolchain file is the one the cache was built with.
    cmp -s "$TOOLCHAIN" "$kept" || cp "$TOOLCHAIN" "$kept"
    grep -q '^set(__qt_initially_configured_toolchain_file "${CMAKE_CURRENT_LIST_DIR}/' "$toolchain" \
        || sed -i 's|^set(__qt_initially_configured_toolchain_file ".*")$|set(__qt_initially_configured_toolchain_file "${CMAKE_CURRENT_LIST_DIR}/quillmoor-mingw-w64-x86_64.cmake")|' "$toolchain"
    if [ ! -f "$LICENSE_DIR/debian-copyright" ]; then
        local work src
        work=$(mktemp -d "$CACHE_ROOT/qt-source-XXXXXX")
        if src=$(fetch_source "$work") && collect_licenses "$src"; then
            echo "Added Qt's licences and notices to the cache: $LICENSE_DIR" >&2
        else
            echo "warning: Qt's licences could not be added to $LICENSE_DIR (the package needs them)" >&2
        fi
        rm -rf "$work"
    fi
}

if [ -f "$PREFIX/quillmoor-stamp" ] && [ "$(cat "$PREFIX/quillmoor-stamp")" = "$STAMP" ]; then
    complete_cache
    [ "${1:-}" = --cached ] || echo "Qt $QT_VERSION for Windows is cached in $PREFIX ($(du -sh "$PREFIX" | cut -f1))"
    echo "$PREFIX"
    exit 0
fi
if [ "${1:-}" = --cached ]; then
    echo "no Qt $QT_VERSION for Windows in $PREFIX" >&2
    exit 1
fi

start=$(date +%s)
echo "Building Qt $QT_VERSION for Windows into $PREFIX (for how long, see the head of $0)"

ensure_packages cmake ninja-build dpkg-dev g++-mingw-w64-x86-64 qt6-base-dev qt6-base-dev-tools

host_version=$(dpkg-query -W -f='${Version}' qt6-base-dev | sed 's/[+~-].*//')
if [ "$host_version" != "$QT_VERSION" ]; then
    echo "Debian's Qt host tools are $host_version; this build needs $QT_VERSION" >&2
    exit 1
fi

work=$CACHE_ROOT/qt-$QT_VERSION-mingw-w64-build
rm -rf "$work" "$PREFIX"
mkdir -p "$work"
# Only the build tree is removed on success; a failed build keeps it for a look.
src=$(fetch_source "$work")

cmake -S "$src" -B "$work/build" -G Ninja \
      -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
      -DCMAKE_INSTALL_PREFIX="$PREFIX" \
      "${QT_OPTIONS[@]}" > "$work/configure.log" 2>&1 \
    || { tail -40 "$work/configure.log" >&2; echo "Qt configure failed; log: $work/configure.log" >&2; exit 1; }
cmake --build "$work/build" --parallel "$BUILD_JOBS" > "$work/build.log" 2>&1 \
    || { tail -40 "$work/build.log" >&2; echo "Qt build failed; log: $work/build.log" >&2; exit 1; }
cmake --install "$work/build" > "$work/install.log" 2>&1 \
    || { tail -20 "$work/install.log" >&2; echo "Qt install failed" >&2; exit 1; }

collect_licenses "$src"
echo "$STAMP" > "$PREFIX/quillmoor-stamp"
complete_cache
rm -rf "$work"
minutes=$(( ($(date +%s) - start + 59) / 60 ))
echo "Built Qt $QT_VERSION for Windows in $minutes min: $PREFIX ($(du -sh "$PREFIX" | cut -f1))"
echo "$PREFIX"
