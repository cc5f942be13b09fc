#!/usr/bin/env bash
# Builds build-sanitize/ with AddressSanitizer, UndefinedBehaviorSanitizer and
# GCC's coverage counters, runs there the tests that run quadforge's own code
# (unit, end-to-end and desktops), and prints the line and branch coverage of
# src/; fails on any sanitizer report, and on a line or branch never run.
setup_groups=(build headless tests)
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

sanitize_dir=${build_dir}-sanitize
cmake -S "$root_dir" -B "$sanitize_dir" -DBUILD_TESTING=ON -DQUADFORGE_WERROR=ON \
    -DQUADFORGE_SANITIZE=ON -DQUADFORGE_COVERAGE=ON
cmake --build "$sanitize_dir" -j "$(nproc)"
# The counters of this run alone.
find "$sanitize_dir" -name '*.gcda' -delete
run_ctest "$sanitize_dir" -L 'e2e|unit|coverage'
# CTest shows a passing test's output only in its log.
cat "$sanitize_dir/coverage/report.txt" 2>/dev/null || true
