#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite through CTest, with compiler
# warnings as errors.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
build_quadforge -DBUILD_TESTING=ON -DQUADFORGE_WERROR=ON
ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)"
