#!/usr/bin/env bash
# Sets up, builds and runs quadforge from the project root, on the user's
# display, or on a virtual one when there is none (scripts/headless.py).
# Installs and builds only what that run needs; a build/ made before, by the
# tests say, is used as it is. Arguments go to quadforge.
if [ -n "${DISPLAY:-}" ]; then
    setup_groups=(build)
    targets=(quadforge)
else
    # The driver probe tells the virtual display which context to ask for.
    setup_groups=(build headless)
    targets=(quadforge gl_probe)
fi
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
configure_once -DBUILD_TESTING=OFF
build_targets "${targets[@]}"
cd "$root_dir"

# Without a display: a virtual one, keys from this terminal, the window saved
# as a PNG after its first frame and after each rebuild.
if [ -z "${DISPLAY:-}" ]; then
    if [ -n "${WAYLAND_DISPLAY:-}" ]; then
        echo "quadforge is an X11 program, and this Wayland session offers no X server" \
            "(XWayland): it runs on a virtual display instead."
    fi
    GL_PROBE=$build_dir/tests/gl_probe exec python3 "$root_dir/scripts/headless.py" \
        "${build_dir#"$root_dir"/}/quadforge.png" "$build_dir/quadforge" "$@"
fi
exec "$build_dir/quadforge" "$@"
