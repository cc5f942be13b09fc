#!/usr/bin/env bash
# Builds quadforge, its baseline and the driver probe, then runs the benchmark
# (results and plot in build/bench/) or, with --soak, the soak check.
# Usage: bash bench/run.sh [--quick | --soak [--presses N]]
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/setup.sh"
cmake -S "$root_dir" -B "$build_dir" -DBUILD_TESTING=ON
cmake --build "$build_dir" -j "$(nproc)" --target quadforge quadforge_baseline gl_probe
PYTHONDONTWRITEBYTECODE=1 python3 "$root_dir/bench/bench.py" --build-dir "$build_dir" "$@"
