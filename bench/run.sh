#!/usr/bin/env bash
# Builds quadforge, its baseline and the driver probe, then runs the benchmark
# (results and plot in build/bench/) or, with --soak, the soak check.
# Usage: bash bench/run.sh [--quick | --soak [--presses N]]
setup_groups=(build headless bench)
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/setup.sh"
configure_once -DBUILD_TESTING=OFF
build_targets quadforge quadforge_baseline gl_probe
PYTHONDONTWRITEBYTECODE=1 python3 "$root_dir/bench/bench.py" --build-dir "$build_dir" "$@"
