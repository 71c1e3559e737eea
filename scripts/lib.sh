# Shared by the scripts: package checks and the build.
# shellcheck shell=bash

# Where Debian's Qt 6 host tools (moc, uic, rcc) keep their CMake packages, for the builds
# for Windows.
QT_HOST_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake

# The Debian packages every build needs.
BASE_PACKAGES=(cmake g++ make qt6-base-dev)
# What the CTest suite needs beyond them, in every build that runs it: strace lets a test
# check the order of the updater's syncs and renames.
# shellcheck disable=SC2034  # used by the scripts that source this file
CTEST_PACKAGES=("${BASE_PACKAGES[@]}" strace)

# Parallel jobs of every build the scripts make: all cores unless BUILD_JOBS says otherwise
# (BUILD_JOBS=1 to leave a shared machine a core).
BUILD_JOBS=${BUILD_JOBS:-$(nproc)}

# True when the Debian package $1 is installed.
package_installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

# Installs the named Debian packages that are missing: with apt-get when run as root,
# otherwise says what to install and fails.
ensure_packages() {
    local missing=() pkg
    for pkg in "$@"; do
        package_installed "$pkg" || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -eq 0 ]; then
        echo "Installing missing packages: ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq
        apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    else
        echo "These Debian packages are missing: ${missing[*]}" >&2
        echo "Install them with: sudo apt-get install ${missing[*]}" >&2
        return 1
    fi
}

# For the packages that only one suite needs (Qt 5, clang): installs the missing ones when
# run as root; otherwise says "skipped:" and why, and ends the script successfully.
need_packages_or_skip() {
    local missing=() pkg
    for pkg in "$@"; do
        package_installed "$pkg" || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "skipped: needs ${missing[*]} (sudo apt-get install ${missing[*]}, or run this as root" \
             "to have it installed)"
        exit 0
    fi
    ensure_packages "${missing[@]}"
}

# Configures and builds the project into the directory $1 with any further cmake options.
build_project() {
    local dir=$1
    shift
    cmake -S . -B "$dir" "$@" >/dev/null
    cmake --build "$dir" -j"$BUILD_JOBS"
}

# Builds the benchmark target $2 in the build directory $1 (configured as Release when it has
# no configuration yet). Built on every run so that figures never come from a stale binary.
build_bench() {
    local dir=$1 target=$2
    if [ ! -f "$dir/CMakeCache.txt" ]; then
        cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
    fi
    cmake --build "$dir" --target "$target" -j"$BUILD_JOBS" >/dev/null
}

# Wine and the MinGW-w64 cross compiler, for the Windows suites: sets WINE and WINESERVER.
find_wine() {
    WINE=$(command -v wine64 || true)
    [ -n "$WINE" ] || { [ -x /usr/lib/wine/wine64 ] && WINE=/usr/lib/wine/wine64; } || true
    WINESERVER=$(command -v wineserver || true)
    [ -n "$WINESERVER" ] || { [ -x /usr/lib/wine/wineserver ] && WINESERVER=/usr/lib/wine/wineserver; } || true
    command -v x86_64-w64-mingw32-g++-posix >/dev/null && [ -n "$WINE" ] && [ -n "$WINESERVER" ]
}

# Finds or installs Wine and the cross compiler. Without them and without root, says
# "skipped" and why, and returns 2 so the suite can end successfully.
ensure_wine() {
    local packages=(g++-mingw-w64-x86-64 wine64)
    find_wine && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "skipped: the MinGW-w64 cross compiler or Wine is missing" \
             "(install ${packages[*]}, or run this as root to have it installed)"
        return 2
    fi
    ensure_packages cmake "${packages[@]}"
    find_wine || { echo "Wine or the cross compiler is still missing after installing" >&2; return 1; }
}

# A private, headless Wine prefix in $1 (created once): no display (a message box would
# wait for a click), no debug chatter, no offer to install Mono or Gecko.
init_wine_prefix() {
    export WINEPREFIX=$1 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    unset DISPLAY WAYLAND_DISPLAY
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "Creating the Wine prefix $WINEPREFIX"
        mkdir -p "$WINEPREFIX"
        timeout 300 "$WINE" wineboot --init >"$WINEPREFIX.log" 2>&1 \
            || { cat "$WINEPREFIX.log" >&2; echo "wineboot failed" >&2; return 1; }
        # As on Windows, a leading "." does not hide a name; only the hidden attribute does.
        timeout 60 "$WINE" reg add 'HKCU\Software\Wine' /v ShowDotFiles /d Y /f >/dev/null
    fi
}

# Ends every Wine process of the current prefix.
stop_wine() {
    timeout 30 "$WINESERVER" -w 2>/dev/null || "$WINESERVER" -k 2>/dev/null || true
}

# Configures the Windows build of the whole project in $1 against the cached static Qt in $2
# (CTest programs run under Wine through cmake/wine-emulator.sh, prefix $1/wineprefix).
configure_windows_build() {
    local dir=$1 qt=$2
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release \
          -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" \
          -DCMAKE_PREFIX_PATH="$qt" -DQT_HOST_PATH=/usr \
          -DQT_HOST_PATH_CMAKE_DIR="$QT_HOST_CMAKE_DIR" \
          -DQUILLMOOR_BUILD_BENCHMARKS=OFF \
          -DCMAKE_CROSSCOMPILING_EMULATOR="$PWD/cmake/wine-emulator.sh;$PWD/$dir/wineprefix" \
          >/dev/null
}
