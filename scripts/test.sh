#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite through CTest, with compiler
# warnings as errors; then builds again with AddressSanitizer and
# UndefinedBehaviorSanitizer into build-sanitize/ and runs the end-to-end
# tests on that build.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
build_quadforge -DBUILD_TESTING=ON -DQUADFORGE_WERROR=ON
ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)"

sanitize_dir=${build_dir}-sanitize
cmake -S "$root_dir" -B "$sanitize_dir" -DBUILD_TESTING=ON -DQUADFORGE_WERROR=ON \
    -DQUADFORGE_SANITIZE=ON
cmake --build "$sanitize_dir" -j "$(nproc)"
ctest --test-dir "$sanitize_dir" --output-on-failure -j "$(nproc)" -L e2e
