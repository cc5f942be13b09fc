#!/usr/bin/env bash
# Sets up, builds and runs quadforge from the project root, on the user's
# display, or on a virtual one when there is none (scripts/headless.py).
# Arguments go to quadforge.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
build_quadforge
cd "$root_dir"

# Without a display: a virtual one, keys from this terminal, the window saved
# as a PNG after its first frame and after each rebuild.
if [ -z "${DISPLAY:-}" ]; then
    GL_PROBE=$build_dir/tests/gl_probe exec python3 "$root_dir/scripts/headless.py" \
        "${build_dir#"$root_dir"/}/quadforge.png" "$build_dir/quadforge" "$@"
fi
exec "$build_dir/quadforge" "$@"
