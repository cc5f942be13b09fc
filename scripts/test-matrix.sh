#!/usr/bin/env bash
# Runs the test command (bash scripts/test.sh) from a fresh clone of main in a
# fresh Debian root file system per release, and prints two tables: the
# Linux build, and the Windows build's tests under Wine. As root; needs
# debootstrap and Debian's archive (debootstrap's own default, or
# DEBIAN_MIRROR). Root file systems are made once and cached; each run works
# on a copy, removed afterwards.
# Usage: bash scripts/test-matrix.sh [SUITE:COMPILER ...]
#   default: bullseye:gcc bookworm:gcc bookworm:clang trixie:gcc
set -euo pipefail

root_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
runs=("$@")
[ ${#runs[@]} -gt 0 ] || runs=(bullseye:gcc bookworm:gcc bookworm:clang trixie:gcc)
declare -A release=([bullseye]=11 [bookworm]=12 [trixie]=13)
# Every run tests the main of the start, whatever is committed meanwhile.
commit=$(git -C "$root_dir" rev-parse --short main)
source "$root_dir/scripts/fresh-root.sh"

# A package's upstream version in a root: no epoch, no Debian revision.
package_version() {
    chroot "$1" dpkg-query -W -f='${Version}' "$2" 2>/dev/null | sed 's/^[0-9]*://; s/-[^-]*$//' || true
}

# Counts the lines of a CTest summary naming tests that match a pattern.
count_tests() {
    local count
    count=$(grep -cE "Test +#[0-9]+: ($2)" "$1" 2>/dev/null) || true
    echo "${count:-0}"
}

# The Wine leg's row: Wine, MinGW GCC and the freeglut and GLEW sources it
# was built from, and its CTest tests; or the reason it was skipped.
wine_row() {
    local work=$1 name=$2
    local repo=$work/root/quadforge wine gcc sources ran passed skipped reason
    wine=$(chroot "$work" wine --version 2>/dev/null | sed -n 's/^wine-\([^ ]*\).*/\1/p' || true)
    gcc=$(package_version "$work" g++-mingw-w64-x86-64-posix)
    sources=$(cat "$repo"/build/windows/deps/.built-from 2>/dev/null || true)
    ran=$(count_tests "$repo/build/ctest.log" 'e2e_wine')
    passed=$(count_tests "$repo/build/ctest.log" 'e2e_wine.* Passed')
    skipped=$(count_tests "$repo/build/ctest.log" 'e2e_wine.*Skipped')
    reason=$(sed -n 's/^QUADFORGE_WINDOWS_SKIP:STRING=//p' "$repo/build/CMakeCache.txt" \
        2>/dev/null || true)
    printf '| %s | %s | %s | %s | %d | %d (%d skipped) | %s |' "$name" "${wine:--}" \
        "${gcc:--}" "${sources:--}" "${ran:-0}" "$((${passed:-0} + ${skipped:-0}))" \
        "${skipped:-0}" "${reason:+skipped: $reason}"
}

# The desktops' row: Openbox, Weston, XWayland, Mutter and KWin, and the
# desktop tests of both builds (the sanitizer build's too) and of the Wine
# leg; the reasons for skips.
desktop_row() {
    local work=$1 name=$2
    local repo=$work/root/quadforge ran=0 passed=0 skipped=0 log reason
    for log in "$repo"/build*/ctest.log; do
        ran=$((ran + $(count_tests "$log" 'desktop_|e2e_wine_openbox')))
        passed=$((passed + $(count_tests "$log" '(desktop_|e2e_wine_openbox).* Passed')))
        skipped=$((skipped + $(count_tests "$log" '(desktop_|e2e_wine_openbox).*Skipped')))
    done
    reason=$(cat "$repo"/build*/Testing/Temporary/LastTest.log 2>/dev/null \
        | grep -oE "skipped ['\"](Weston|Mutter|KWin)[^'\"]*" | sort -u | paste -sd ';' || true)
    printf '| %s | %s | %s | %s | %s | %s | %d | %d (%d skipped) | %s |' "$name" \
        "$(package_version "$work" openbox)" "$(package_version "$work" weston)" \
        "$(package_version "$work" xwayland)" "$(package_version "$work" mutter)" \
        "$(package_version "$work" kwin-wayland)" "$ran" "$((passed + skipped))" "$skipped" \
        "$reason"
}

# Runs the test command in one fresh root; sets row, wine, desktop and status.
row="" wine="" desktop="" status=0
run_one() {
    local suite=$1 compiler=$2
    local log=$cache/$suite-$compiler.log compilers=()
    open_root "$suite" "$suite-$compiler" "$commit" --apt-cache
    [ "$compiler" = clang ] && compilers=(CC=clang CXX=clang++)

    local start=$SECONDS
    status=0
    in_root CI=true "${compilers[@]}" bash -c 'cd /root/quadforge && bash scripts/test.sh' \
        </dev/null >"$log" 2>&1 || status=$?
    local seconds=$((SECONDS - start))

    local versions=() cxx ran=0 failed=0 skipped=0 summary f t package
    for package in freeglut3-dev libglew-dev libgl1-mesa-dri cmake; do
        versions+=("$(package_version "$work" "$package")")
    done
    cxx=$(chroot "$work" "${compiler/gcc/g++}" --version 2>/dev/null | head -n 1 \
        | grep -oE '[0-9]+\.[0-9]+(\.[0-9]+)?' | head -n 1 || true)
    for summary in "$work"/root/quadforge/build*/ctest.log; do
        [ -f "$summary" ] || continue
        read -r f t < <(sed -n 's/.* \([0-9]*\) tests failed out of \([0-9]*\)$/\1 \2/p' \
            "$summary") || true
        ran=$((ran + ${t:-0})) failed=$((failed + ${f:-0}))
        skipped=$((skipped + $(grep -c '(Skipped)' "$summary" || true)))
    done
    wine=$(wine_row "$work" "${release[$suite]} $suite $compiler") || true
    desktop=$(desktop_row "$work" "${release[$suite]} $suite $compiler") || true
    release_root
    local result=passed
    [ "$status" -eq 0 ] || result="FAILED (status $status, $log)"
    row=$(printf '| %s %s | %s %s | %s | %s | %s | %s | %d | %d (%d skipped) | %d | %s |' \
        "${release[$suite]}" "$suite" "$compiler" "${cxx:-?}" "${versions[0]:-?}" \
        "${versions[1]:-?}" "${versions[2]:-?}" "${versions[3]:-?}" "$ran" "$((ran - failed))" \
        "$skipped" "$seconds" "$result")
}

# In a function called on its last line, so that bash has read all of the
# file before the runs start: an edit of it during a run changes nothing.
main() {
    local rows=() wine_rows=() desktop_rows=() failures=0 run
    for run in "${runs[@]}"; do
        echo "Testing ${run/:/ with } ..." >&2
        run_one "${run%%:*}" "${run##*:}"
        [ "$status" -eq 0 ] || failures=$((failures + 1))
        rows+=("$row")
        wine_rows+=("$wine")
        desktop_rows+=("$desktop")
        echo "$row" >&2
        echo "$wine" >&2
        echo "$desktop" >&2
    done
    echo "Matrix of main at $commit, $(date -u +%Y-%m-%d):"
    echo "| Debian | compiler | freeglut | GLEW | Mesa | CMake | tests run | passed | seconds | result |"
    echo "|---|---|---|---|---|---|---|---|---|---|"
    printf '%s\n' "${rows[@]}"
    echo
    echo "Under Wine (the Windows build; its tests are counted in the table above too):"
    echo "| Debian | Wine | MinGW GCC | sources | CTest tests | passed | note |"
    echo "|---|---|---|---|---|---|---|"
    printf '%s\n' "${wine_rows[@]}"
    echo
    echo "Desktops (their tests are counted in the tables above too):"
    echo "| Debian | Openbox | Weston | XWayland | Mutter | KWin | desktop tests | passed | note |"
    echo "|---|---|---|---|---|---|---|---|---|"
    printf '%s\n' "${desktop_rows[@]}"
    [ "$failures" -eq 0 ]
}
main; exit
