#!/usr/bin/env bash
# Fresh Debian root file systems for the release matrix and the first-run
# benchmark, sourced by both. As root; needs debootstrap and Debian's archive
# (debootstrap's own default, or DEBIAN_MIRROR). A release's minimal root is
# made once and cached; each run works on a copy, removed afterwards.

[ "$(id -u)" -eq 0 ] || { echo "Fresh roots need root (debootstrap, chroot, mounts)." >&2; exit 1; }
command -v debootstrap >/dev/null || apt-get install -y -qq debootstrap
cache=${QUADFORGE_MATRIX_CACHE:-/var/cache/quadforge-matrix}
mirror=${DEBIAN_MIRROR:-}
mkdir -p "$cache"
cache=$(cd "$cache" && pwd -P)

work=""
# Ends every process whose root is the work copy, then unmounts it; the copy
# is removed only when nothing is mounted in it any more.
release_root() {
    [ -n "$work" ] && [ -d "$work" ] || return 0
    local signal pid
    for signal in TERM KILL; do
        for pid in /proc/[0-9]*; do
            [ "$(readlink "$pid/root" 2>/dev/null)" = "$work" ] && kill -"$signal" "${pid#/proc/}" 2>/dev/null
        done
        sleep 1
    done
    local mount
    for mount in dev/pts dev sys proc var/cache/apt/archives; do
        mountpoint -q "$work/$mount" && umount "$work/$mount"
    done
    if grep -q " $work/" /proc/mounts; then
        echo "Still mounted under $work; left in place." >&2
        return 1
    fi
    rm -rf --one-file-system "$work"
    work=""
}
trap release_root EXIT

base_root() {
    local suite=$1 base=$cache/$1.base
    if [ ! -e "$base/.complete" ]; then
        rm -rf --one-file-system "$base"
        debootstrap --variant=minbase "$suite" "$base" ${mirror:+"$mirror"} \
            >"$cache/$suite.debootstrap.log" 2>&1
        touch "$base/.complete"
    fi
    echo "$base"
}

# Makes $work, a copy of the release's root named NAME, with /proc, /sys and
# /dev, and a fresh clone of this project's COMMIT in /root/quadforge. With
# --apt-cache, downloads go to the release's cache shared between runs.
# Usage: open_root SUITE NAME COMMIT [--apt-cache]
open_root() {
    local suite=$1 name=$2 commit=$3 base
    base=$(base_root "$suite")
    release_root
    work=$cache/work-$name
    release_root
    work=$cache/work-$name
    cp -a "$base" "$work"
    cp /etc/resolv.conf "$work/etc/resolv.conf"
    if [ "${4:-}" = --apt-cache ]; then
        mkdir -p "$cache/$suite.apt/partial"
        mount --bind "$cache/$suite.apt" "$work/var/cache/apt/archives"
    fi
    mount -t proc proc "$work/proc"
    mount -t sysfs sys "$work/sys"
    mount --bind /dev "$work/dev"
    mount -t devpts -o newinstance devpts "$work/dev/pts"
    git clone -q "$root_dir" "$work/root/quadforge"
    git -C "$work/root/quadforge" checkout -q --detach "$commit"
}

# Runs a command in $work as a new user's login would: a clean environment,
# in the clone. Extra NAME=VALUE words before the command go to its environment.
in_root() {
    chroot "$work" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin \
        LANG=C.UTF-8 "$@"
}
