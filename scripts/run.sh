#!/usr/bin/env bash
# Sets up, builds and runs quadforge from the project root, on the user's
# display, or on a virtual one when there is none. Arguments go to quadforge.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
build_quadforge
cd "$root_dir"

if [ -z "${DISPLAY:-}" ]; then
    echo "No display found: running quadforge on a virtual display (Xvfb)."
    exec xvfb-run -a -s "-screen 0 1280x1024x24" "$build_dir/quadforge" "$@"
fi
exec "$build_dir/quadforge" "$@"
