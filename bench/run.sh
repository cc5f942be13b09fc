#!/usr/bin/env bash
# Builds quadforge and the benchmark's helpers, runs the benchmark, plots the scaling.
# Usage: bash bench/run.sh [--quick] [--display]
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/setup.sh"
cmake -S "$root_dir" -B "$build_dir"
cmake --build "$build_dir" -j "$(nproc)" --target quadforge quadforge_baseline quadforge_frame_counter
python3 "$root_dir/bench/bench.py" --build-dir "$build_dir" "$@"
gnuplot -e "data='$build_dir/bench'" "$root_dir/bench/plot.gp" >"$build_dir/bench/bench.png"
echo "plot: $build_dir/bench/bench.png"
