#!/usr/bin/env bash
# A newcomer's first run, measured: in a fresh Debian root (no display,
# nothing installed, a fresh clone of main), `bash scripts/run.sh` on a
# terminal until build/quadforge.png is saved, then Esc. Prints the packages
# it installed, what they took to download, the seconds from the command to
# the first picture, and quadforge's exit status. With --minimum it measures
# instead the floor made by hand: the packages running needs, the quadforge
# target alone, then the same virtual display. Without --minimum it then runs
# the command again, everything in place, and prints the seconds to
# quadforge's first line. As root (scripts/fresh-root.sh).
# Usage: bash bench/first-run.sh [--minimum] [SUITE]   (default: bookworm)
set -euo pipefail

root_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
mode=run
[ "${1:-}" = --minimum ] && mode=minimum && shift
suite=${1:-bookworm}
source "$root_dir/scripts/fresh-root.sh"

minimum="apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
--no-install-recommends g++ cmake make pkg-config freeglut3-dev libglew-dev libgl-dev \
libgl1-mesa-dri xvfb xauth python3 libx11-6 libxtst6 \
&& cmake -S . -B build -DBUILD_TESTING=OFF && cmake --build build -j \$(nproc) --target quadforge \
&& python3 scripts/headless.py build/quadforge.png build/quadforge"
command="bash scripts/run.sh"
[ "$mode" = minimum ] && command=$minimum

installed() { in_root dpkg-query -W -f='${db:Status-Abbrev}\n' | grep -c '^ii'; }
downloaded() { find "$work/var/cache/apt/archives" -name '*.deb' -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }'; }

open_root "$suite" "first-$mode" "$(git -C "$root_dir" rev-parse --short main)"
packages_before=$(installed) bytes_before=$(downloaded)
log=$cache/first-$mode.log keys=$cache/first-$mode.keys

# Runs the command on a terminal until its log shows the pattern, then types
# Esc; sets seconds (command to pattern) and status.
seconds=0 status=0
run_until() {
    rm -f "$log" "$keys"
    mkfifo "$keys"
    # The terminal is script's; its input comes from the fifo, held open here.
    script -qefc "chroot $work /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin \
LANG=C.UTF-8 TERM=xterm bash -c 'cd /root/quadforge && $command'" "$log" <"$keys" >/dev/null &
    local runner=$! start=$EPOCHREALTIME
    exec 3>"$keys"
    until grep -q -- "$1" "$log" 2>/dev/null; do
        kill -0 "$runner" 2>/dev/null || { tail -n 30 "$log" >&2; echo "The run ended early." >&2; exit 1; }
        sleep 0.05
    done
    seconds=$(awk "BEGIN { print $EPOCHREALTIME - $start }")
    # The picture is saved after the first frame; Esc then.
    until grep -q "Saved the window" "$log"; do sleep 0.05; done
    printf '\033' >&3
    status=0
    wait "$runner" || status=$?
    exec 3>&-
}

run_until "Saved the window"
printf '%s %s: %d packages installed, %.1f MiB downloaded, first picture after %.0f s, exit status %d\n' \
    "$suite" "$mode" $(($(installed) - packages_before)) \
    "$(awk "BEGIN { print ($(downloaded) - $bytes_before) / 1048576 }")" "$seconds" "$status"
[ "$mode" = run ] || exit 0
# Everything is in place now: quadforge's first line is its report's rule.
run_until "^$(printf -- '-%.0s' {1..64})"
printf '%s again: quadforge'"'"'s first line after %.2f s, exit status %d\n' "$suite" "$seconds" "$status"
