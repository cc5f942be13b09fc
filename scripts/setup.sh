#!/usr/bin/env bash
# Installs the Debian packages quadforge and its tests need, and gives the
# scripts that source it (run, test, package, benchmark) the build into build/.
set -euo pipefail

root_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${QUADFORGE_BUILD_DIR:-$root_dir/build}

packages=(
    g++ cmake make pkg-config
    freeglut3-dev libglew-dev libgl-dev libgl1-mesa-dri
    xvfb xauth libx11-6 libxtst6 xdotool
    python3 libgtest-dev
    clang-format clang-tidy gnuplot-nox groff-base
    dpkg-dev debhelper fakeroot lintian
)
# The sanitizer build with Clang needs its runtime, which clang only recommends.
case "${CXX:-}" in
    *clang*) packages+=(clang libclang-rt-dev) ;;
esac

# apt-get as root, through sudo otherwise.
apt_get() {
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -y -qq --no-install-recommends "$@"
}

install_missing_packages() {
    if ! command -v apt-get >/dev/null || ! command -v dpkg-query >/dev/null; then
        echo "No apt-get here: install these packages (or your system's own) by hand: ${packages[*]}" >&2
        exit 1
    fi
    local missing=()
    local package
    for package in "${packages[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; then
            missing+=("$package")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    apt_get update
    apt_get install "${missing[@]}"
}

build_quadforge() {
    cmake -S "$root_dir" -B "$build_dir" "$@"
    cmake --build "$build_dir" -j "$(nproc)"
}

# A script that needs fewer packages names them in setup_packages first.
[ -n "${setup_packages+x}" ] && packages=("${setup_packages[@]}")
install_missing_packages
