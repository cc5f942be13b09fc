#!/usr/bin/env bash
# Installs the Debian packages a script needs, by purpose, and gives the
# scripts that source it (run, test, package, Windows, benchmark) the build in
# build/. A script names its groups in setup_groups before sourcing this file;
# the default is build and run only.
set -euo pipefail

root_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${QUADFORGE_BUILD_DIR:-$root_dir/build}

# Building and running quadforge on a display.
group_build=(g++ cmake make pkg-config freeglut3-dev libglew-dev libgl-dev libgl1-mesa-dri)
# A virtual display, and the harness that drives quadforge on it: Python's
# standard library with Xlib and XTEST through ctypes.
group_headless=(xvfb python3 libx11-6 libxtst6)
# The test suite beyond what it shares with the groups above: GoogleTest, the
# style checks, coverage, the manual page's rendering, the desktops (KWin
# frames windows with Breeze's decoration; Mutter and KWin want a session
# bus; xhost lets the tests into the XWayland of a KWin run as another
# user), and xdotool, with which the package's own test finds the window.
group_tests=(libgtest-dev clang-format clang-tidy gcovr groff-base openbox weston xwayland
    mutter kwin-wayland kwin-style-breeze dbus x11-xserver-utils xdotool)
# Debian 11's KWin has its virtual output in a package of its own.
if [ "$(. /etc/os-release && echo "${VERSION_ID:-}")" = 11 ]; then
    group_tests+=(kwin-wayland-backend-virtual)
fi
group_package=(dpkg-dev debhelper fakeroot lintian)
group_windows=(cmake make xz-utils python3 g++-mingw-w64-x86-64-posix)
group_bench=(gnuplot-nox)
# The sanitizer build with Clang needs its runtime, which clang only recommends.
case "${CXX:-}" in
    *clang*) group_build+=(clang libclang-rt-dev) ;;
esac

# apt-get as root, through sudo otherwise.
apt_get() {
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -y -qq --no-install-recommends "$@"
}

# Installs the packages of the groups named that are not installed yet; with
# all of them in place it asks dpkg once and apt not at all.
install_groups() {
    local packages=() group package
    for group in "$@"; do
        local -n members=group_$group
        packages+=("${members[@]}")
    done
    if ! command -v apt-get >/dev/null || ! command -v dpkg-query >/dev/null; then
        echo "No apt-get here: install these packages (or your system's own) by hand: ${packages[*]}" >&2
        exit 1
    fi
    local installed missing=()
    installed=" $(dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' "${packages[@]}" \
        2>/dev/null | awk '$1 == "ii" { printf "%s ", $2 }' || true)"
    for package in $(printf '%s\n' "${packages[@]}" | sort -u); do
        [[ $installed == *" $package "* ]] || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    apt_get update
    apt_get install "${missing[@]}"
}

# Configures build/ with the options given, unless it was configured before:
# a build/ that another script made (the tests', say) is kept as it is.
configure_once() {
    [ -f "$build_dir/CMakeCache.txt" ] || cmake -S "$root_dir" -B "$build_dir" "$@"
}

# Runs ctest in a build folder (older ctest has no --test-dir) and fails when
# it ran no test, or fewer than the folder's suite holds. Its callers install
# every desktop first, so a desktop that cannot start fails its test rather
# than skipping it.
run_ctest() {
    local dir=$1
    shift
    local listed ran
    listed=$(cd "$dir" && ctest -N "$@" | sed -n 's/^Total Tests: //p')
    (cd "$dir" && QUADFORGE_DESKTOPS_REQUIRED=1 ctest --output-on-failure -j "$(nproc)" "$@") |
        tee "$dir/ctest.log"
    ran=$(sed -n 's/.* tests failed out of \([0-9]*\)$/\1/p' "$dir/ctest.log")
    if [ -z "$listed" ] || [ "$listed" -eq 0 ] || [ "${ran:-0}" -ne "$listed" ]; then
        echo "Test run failed: ctest ran ${ran:-0} of the ${listed:-0} tests in $dir." >&2
        return 1
    fi
}

# Builds the targets given in build/, or all of them.
build_targets() {
    cmake --build "$build_dir" -j "$(nproc)" ${1+--target "$@"}
}

install_groups "${setup_groups[@]:-build}"
