#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite through CTest, with compiler
# warnings as errors, and the end-to-end suites once more against the Windows
# build under Wine; then builds again with AddressSanitizer,
# UndefinedBehaviorSanitizer and coverage counters into build-sanitize/, runs
# the unit and end-to-end tests on that build and checks that they ran every
# line and branch of src/ (scripts/coverage.sh). CC and CXX choose the
# compiler (e.g. clang, clang++).
setup_groups=(build headless tests package bench)
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

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

bash "$root_dir/scripts/coverage.sh"
