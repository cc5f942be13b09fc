#!/usr/bin/env bash
# Makes every file of a release of the commit checked out (HEAD) in
# build/release/: the source tarball, the Windows zip, a Debian package for
# each of Debian 11, 12 and 13, each built in a fresh root of that release
# (scripts/fresh-root.sh, the matrix's cache), and SHA256SUMS over them. The
# same commit gives the same bytes on every run, wherever the clone is. As
# root; fails, saying which file, when one cannot be made. Prints the
# folder's path last. Logs: build/release-logs/.
set -euo pipefail

root_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root_dir/scripts/fresh-root.sh"
build_dir=${QUADFORGE_BUILD_DIR:-$root_dir/build}
release_dir=$build_dir/release
logs=$build_dir/release-logs
version=$(sed -n 's/^project(quadforge VERSION \([0-9.]*\) .*/\1/p' "$root_dir/CMakeLists.txt")
commit=$(git -C "$root_dir" rev-parse HEAD)
# Every time stamp of the release is the commit's.
SOURCE_DATE_EPOCH=$(git -C "$root_dir" log -1 --format=%ct "$commit")
export SOURCE_DATE_EPOCH
declare -A releases=([bullseye]=11 [bookworm]=12 [trixie]=13)

# Runs a step with its output in its log; on failure names the file it was
# making and shows the end of the log.
make_file() {
    local name=$1 log=$logs/$1.log
    shift
    echo "Making $name ..." >&2
    if ! "$@" >"$log" 2>&1; then
        tail -n 30 "$log" >&2
        echo "Release failed: $name could not be made (the whole log: $log)." >&2
        exit 1
    fi
}

# Each step returns non-zero at its first failure: a step runs as a
# condition, where set -e does not stop it.
source_tarball() {
    git -C "$root_dir" archive --format=tar.gz --prefix="quadforge-$version/" \
        -o "$release_dir/quadforge-$version.tar.gz" "$commit"
}

# From a clean clone of the commit, not the working tree, with the libraries
# built afresh: nothing of this checkout's state goes in.
windows_zip() {
    local work=$build_dir/release-windows
    rm -rf "$work" &&
        git clone -q "$root_dir" "$work/quadforge" &&
        git -C "$work/quadforge" checkout -q --detach "$commit" &&
        QUADFORGE_BUILD_DIR=$work/build bash "$work/quadforge/scripts/windows.sh" &&
        cp "$work/build/windows/quadforge-$version-win64.zip" "$release_dir/" &&
        rm -rf "$work"
}

# The package of one release, built by scripts/package.sh in a fresh root.
debian_package() {
    local suite=$1 built
    open_root "$suite" "release-$suite" "$commit" --apt-cache &&
        built=$(in_root bash -c 'cd /root/quadforge && bash scripts/package.sh' | tail -n 1) &&
        [ -f "$work$built" ] &&
        cp "$work$built" "$release_dir/quadforge_${version}_debian${releases[$suite]}_amd64.deb" &&
        release_root
}

rm -rf "$release_dir" "$logs"
mkdir -p "$release_dir" "$logs"
make_file "quadforge-$version.tar.gz" source_tarball
make_file "quadforge-$version-win64.zip" windows_zip
for suite in bullseye bookworm trixie; do
    make_file "quadforge_${version}_debian${releases[$suite]}_amd64.deb" debian_package "$suite"
done
(cd "$release_dir" && LC_ALL=C sha256sum -- *.tar.gz *.zip *.deb >SHA256SUMS)
cat "$release_dir/SHA256SUMS" >&2
echo "$release_dir"
