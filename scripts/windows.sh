#!/usr/bin/env bash
# Cross-builds quadforge.exe for 64-bit Windows with MinGW-w64, against
# freeglut and GLEW built as static libraries from the upstream sources in
# Debian's own source packages, and packs
# build/windows/quadforge-<version>-win64.zip. Prints the zip's path, relative
# to the project root, last. Downloads and builds are kept under
# build/windows/ for the next run.
setup_groups=(windows)
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

version=$(sed -n 's/^project(quadforge VERSION \([0-9.]*\) .*/\1/p' "$root_dir/CMakeLists.txt")
# Times in the zip are the last commit's, as Debian's tools take theirs.
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$root_dir" log -1 --format=%ct 2>/dev/null || echo 315532800)}
export SOURCE_DATE_EPOCH
windows_dir=$build_dir/windows
toolchain=$root_dir/cmake/x86_64-w64-mingw32.cmake
deps=$windows_dir/deps
mkdir -p "$windows_dir"

# apt-get with a configuration of its own: deb-src entries for the machine's
# Debian archives, and its own lists and downloads. The system's is untouched.
private_apt() {
    local apt=$windows_dir/apt
    "$@" -o Dir::Etc::SourceList="$apt/sources.list" -o Dir::Etc::SourceParts="$apt/parts" \
        -o Dir::State::Lists="$apt/lists" -o Dir::Cache::Archives="$apt/archives" \
        -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache= -o APT::Sandbox::User=root
}

fetch_sources() {
    local keyring=/usr/share/keyrings/debian-archive-keyring.gpg signed=""
    mkdir -p "$windows_dir"/apt/{lists/partial,archives/partial,parts}
    [ -f "$keyring" ] && signed="[signed-by=$keyring] "
    apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' \
        'Created-By: Packages' 'Origin: Debian' | sort -u | sed "s|^|deb-src $signed|" \
        >"$windows_dir/apt/sources.list.new"
    if [ ! -s "$windows_dir/apt/sources.list.new" ]; then
        echo "No Debian archive in this machine's apt sources: no freeglut or GLEW sources." >&2
        exit 1
    fi
    mv "$windows_dir/apt/sources.list.new" "$windows_dir/apt/sources.list"
    private_apt apt-get -qq update
    rm -rf "$windows_dir/sources"
    mkdir -p "$windows_dir/sources"
    # The upstream tarballs alone: Debian's patches to these two concern its
    # own shared libraries and ports, not a static build for Windows.
    (cd "$windows_dir/sources" && private_apt apt-get -qq source --tar-only freeglut glew \
        && for tarball in *.orig.tar.*; do tar -xf "$tarball"; done) >/dev/null
}

# Static libraries and headers under deps/, made once per pair of source versions.
build_libraries() {
    local freeglut glew
    freeglut=$(echo "$windows_dir"/sources/freeglut-*/)
    glew=$(echo "$windows_dir"/sources/glew-*/)
    local stamp=$deps/.built-from
    local sources="$(basename "$freeglut") $(basename "$glew")"
    [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$sources" ] && return 0
    rm -rf "$deps" "$windows_dir/freeglut" "$windows_dir/glew"
    # GLEW's build asks for CMake 2.8.12, which CMake 4 no longer emulates.
    local common=(-DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release
        -DCMAKE_INSTALL_PREFIX="$deps" -DCMAKE_POLICY_VERSION_MINIMUM=3.5)
    # As libglut.a, a name CMake's FindGLUT looks for.
    cmake -S "$freeglut" -B "$windows_dir/freeglut" "${common[@]}" \
        -DFREEGLUT_BUILD_SHARED_LIBS=OFF -DFREEGLUT_BUILD_STATIC_LIBS=ON \
        -DFREEGLUT_BUILD_DEMOS=OFF -DFREEGLUT_REPLACE_GLUT=ON >/dev/null
    cmake --build "$windows_dir/freeglut" -j "$(nproc)" >/dev/null
    cmake --install "$windows_dir/freeglut" >/dev/null
    # GLEW's own CMake build: src/glew.c with GLEW_STATIC, and a package
    # configuration that hands GLEW_STATIC on to its users.
    cmake -S "$glew/build/cmake" -B "$windows_dir/glew" "${common[@]}" \
        -DBUILD_SHARED_LIBS=OFF -DBUILD_UTILS=OFF >/dev/null
    cmake --build "$windows_dir/glew" -j "$(nproc)" >/dev/null
    cmake --install "$windows_dir/glew" >/dev/null
    echo "$sources" >"$stamp"
}

build_program() {
    cmake -S "$root_dir" -B "$windows_dir/quadforge" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_FIND_ROOT_PATH="$deps" -DCMAKE_BUILD_TYPE=Release \
        -DQUADFORGE_WERROR=ON -DBUILD_TESTING=ON >/dev/null
    cmake --build "$windows_dir/quadforge" -j "$(nproc)"
}

# The folder a Windows user unzips: the program beside the files it reads.
pack() {
    local name=quadforge-$version-win64
    local folder=$windows_dir/$name
    rm -rf "$folder" "$windows_dir/$name.zip"
    mkdir -p "$folder"
    cp "$windows_dir/quadforge/quadforge.exe" "$folder/"
    cp -r "$root_dir/resources" "$root_dir/examples" "$folder/"
    cp "$root_dir/docs/windows/README.txt" "$folder/README.txt"
    cp "$root_dir/LICENSE" "$folder/LICENSE.txt"
    cp "$windows_dir"/sources/freeglut-*/COPYING "$folder/LICENSE-freeglut.txt"
    cp "$windows_dir"/sources/glew-*/LICENSE.txt "$folder/LICENSE-GLEW.txt"
    # Text files with Windows line ends, as Notepad writes them.
    find "$folder" -name '*.txt' -o -name 'full_screen_quad.*' | while read -r file; do
        sed -i 's/\r*$/\r/' "$file"
    done
    (cd "$windows_dir" && python3 - "$name" <<'PACK'
import os
import sys
import time
import zipfile

# The same bytes from the same files: entries in path order, times from
# SOURCE_DATE_EPOCH, permissions fixed, nothing of the machine or the moment.
folder = sys.argv[1]
stamp = time.gmtime(int(os.environ["SOURCE_DATE_EPOCH"]))[:6]
paths = [folder + "/"]
for top, dirs, files in os.walk(folder):
    paths += [os.path.join(top, name) + "/" for name in dirs]
    paths += [os.path.join(top, name) for name in files]
with zipfile.ZipFile(folder + ".zip", "w") as archive:
    for path in sorted(paths):
        entry = zipfile.ZipInfo(path, date_time=stamp)
        entry.create_system = 3  # Unix, whose permission bits follow
        if path.endswith("/"):
            entry.external_attr = (0o40755 << 16) | 0x10
            archive.writestr(entry, b"")
            continue
        mode = 0o755 if path.endswith(".exe") else 0o644
        entry.external_attr = (0o100000 | mode) << 16
        entry.compress_type = zipfile.ZIP_DEFLATED
        with open(path, "rb") as file:
            archive.writestr(entry, file.read(), compresslevel=9)
PACK
    )
    echo "${windows_dir#"$root_dir"/}/$name.zip"
}

fetch_sources
build_libraries
build_program
pack
