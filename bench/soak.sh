#!/usr/bin/env bash
# Builds quadforge and presses 's' a thousand times on it; non-zero exit on a lost rebuild or a leak.
# Usage: bash bench/soak.sh [--presses N] [--display]
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/setup.sh"
cmake -S "$root_dir" -B "$build_dir"
cmake --build "$build_dir" -j "$(nproc)" --target quadforge
python3 "$root_dir/bench/soak.py" --build-dir "$build_dir" "$@"
