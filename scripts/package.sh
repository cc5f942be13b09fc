#!/usr/bin/env bash
# Builds the Debian package of this tree into build/package/, checks it with
# lintian (an error or a warning fails) and prints the .deb's path last.
setup_groups=(build package)
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
# The build's own needs, from debian/control.
dpkg-checkbuilddeps "$root_dir/debian/control" 2>/dev/null || apt_get build-dep "$root_dir"

version=$(sed -n 's/^project(quadforge VERSION \([0-9.]*\) .*/\1/p' "$root_dir/CMakeLists.txt")
changelog=$(dpkg-parsechangelog -l "$root_dir/debian/changelog" -S Version)
if [ "$version" != "$changelog" ]; then
    echo "Version mismatch: CMakeLists.txt says $version, debian/changelog $changelog." >&2
    exit 1
fi

package_dir=$build_dir/package
source_dir=$package_dir/quadforge-$version
rm -rf "$package_dir"
mkdir -p "$source_dir"
tar -C "$root_dir" --exclude=./.git --exclude='./build*' -cf - . | tar -C "$source_dir" -xf -
# With Debian's own compiler, the one Build-Depends names, whatever CC and CXX say.
if ! (cd "$source_dir" && env -u CC -u CXX dpkg-buildpackage -b -us -uc) \
    >"$package_dir/build.log" 2>&1; then
    tail -n 40 "$package_dir/build.log" >&2
    echo "dpkg-buildpackage failed; the whole log: $package_dir/build.log" >&2
    exit 1
fi
changes=("$package_dir"/quadforge_"${version}"_*.changes)
lintian --fail-on error,warning --info "${changes[0]}" >&2
echo "$package_dir/quadforge_${version}_$(dpkg --print-architecture).deb"
