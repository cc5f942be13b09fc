#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite through CTest, with compiler
# warnings as errors, and the end-to-end suites once more against the Windows
# build under Wine; then builds again with AddressSanitizer and
# UndefinedBehaviorSanitizer into build-sanitize/ and runs the end-to-end
# tests on that build. CC and CXX choose the compiler (e.g. clang, clang++).
setup_groups=(build headless tests package bench)
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

# Runs ctest in a build folder (older ctest has no --test-dir) and fails when
# it ran no test, or fewer than the folder's suite holds.
run_ctest() {
    local dir=$1
    shift
    local listed ran
    listed=$(cd "$dir" && ctest -N "$@" | sed -n 's/^Total Tests: //p')
    (cd "$dir" && ctest --output-on-failure -j "$(nproc)" "$@") | tee "$dir/ctest.log"
    ran=$(sed -n 's/.* tests failed out of \([0-9]*\)$/\1/p' "$dir/ctest.log")
    if [ -z "$listed" ] || [ "$listed" -eq 0 ] || [ "${ran:-0}" -ne "$listed" ]; then
        echo "Test run failed: ctest ran ${ran:-0} of the ${listed:-0} tests in $dir." >&2
        return 1
    fi
}

# The Windows build, whose end-to-end tests run under Wine. freeglut's sources
# build for Windows with CMake from 3.0 on; Debian 11 has 2.8.1.
freeglut=$(dpkg-query -W -f='${Version}' freeglut3-dev)
if dpkg --compare-versions "$freeglut" ge 3; then
    group_wine=(wine wine64)
    install_groups wine
    bash "$root_dir/scripts/windows.sh"
    windows=(-DQUADFORGE_WINDOWS_DIR="$build_dir/windows" -DQUADFORGE_WINDOWS_SKIP=)
else
    windows=(-DQUADFORGE_WINDOWS_DIR=
        "-DQUADFORGE_WINDOWS_SKIP=freeglut ${freeglut%%-*}'s sources have no CMake build for Windows")
fi

cmake -S "$root_dir" -B "$build_dir" -DBUILD_TESTING=ON -DQUADFORGE_WERROR=ON "${windows[@]}"
build_targets
run_ctest "$build_dir"

sanitize_dir=${build_dir}-sanitize
cmake -S "$root_dir" -B "$sanitize_dir" -DBUILD_TESTING=ON -DQUADFORGE_WERROR=ON \
    -DQUADFORGE_SANITIZE=ON
cmake --build "$sanitize_dir" -j "$(nproc)"
run_ctest "$sanitize_dir" -L e2e
