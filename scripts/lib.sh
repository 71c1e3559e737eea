# Shared by the scripts: package checks and the build.
# shellcheck shell=bash

# The Debian packages every build needs.
BASE_PACKAGES=(cmake g++ make qt6-base-dev)

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

# Configures and builds the project into the directory $1 with any further cmake options.
build_project() {
    local dir=$1
    shift
    cmake -S . -B "$dir" "$@" >/dev/null
    cmake --build "$dir" -j"$(nproc)"
}

# Builds the benchmark target $2 in the build directory $1 (configured as Release when it has
# no configuration yet). Built on every run so that figures never come from a stale binary.
build_bench() {
    local dir=$1 target=$2
    if [ ! -f "$dir/CMakeCache.txt" ]; then
        cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
    fi
    cmake --build "$dir" --target "$target" -j2 >/dev/null
}
