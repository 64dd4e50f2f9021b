# windows-deps.sh - the Windows build's own dependencies, cross-built once and cached under
# the build tree; sourced by scripts/windows-test.
#
#   build_windows_deps BUILD_DIR TOOLCHAIN_FILE
# leaves expat and GoogleTest installed under BUILD_DIR/deps/prefix (static libraries and
# their CMake package files) and prints nothing when they are there already. zlib is not
# built: Debian's libz-mingw-w64-dev has it.
#
# expat's source is Debian's copy of the upstream release, from Debian's source pool: the one
# download of the Windows build. The tarball is kept in BUILD_DIR/deps and checked against
# the pinned SHA-256 before every use, so a changed or damaged file never gets built.
# GoogleTest comes from Debian's googletest package (/usr/src/googletest).

ZEL_EXPAT_TARBALL=expat_2.5.0.orig.tar.gz
ZEL_EXPAT_URL=https://deb.debian.org/debian/pool/main/e/expat/$ZEL_EXPAT_TARBALL
ZEL_EXPAT_SHA256=ab00ee05c7067fd10a35c5d2a4922ebba746ddd50ff83b79c828da17bbdf1757
ZEL_EXPAT_DIR=libexpat-R_2_5_0/expat

# fetch_expat DEPS_DIR: the checked tarball in DEPS_DIR, fetched when missing or wrong.
fetch_expat() {
    local deps=$1 file=$1/$ZEL_EXPAT_TARBALL
    if [[ -f $file ]] && echo "$ZEL_EXPAT_SHA256  $file" | sha256sum -c --status; then
        return 0
    fi
    echo "windows-deps: fetching $ZEL_EXPAT_URL"
    rm -f "$file" "$file.part"
    curl -sSfL --retry 3 -o "$file.part" "$ZEL_EXPAT_URL" || {
        echo "windows-deps: cannot download $ZEL_EXPAT_URL" >&2
        return 1
    }
    if ! echo "$ZEL_EXPAT_SHA256  $file.part" | sha256sum -c --status; then
        echo "windows-deps: $ZEL_EXPAT_TARBALL does not have the pinned SHA-256 $ZEL_EXPAT_SHA256" >&2
        rm -f "$file.part"
        return 1
    fi
    mv "$file.part" "$file"
}

build_windows_deps() {
    local build=$1 toolchain=$2
    local deps=$build/deps prefix=$build/deps/prefix
    mkdir -p "$deps"
    local common=(-G "Unix Makefiles" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release
                  -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_C_COMPILER_LAUNCHER=
                  -DCMAKE_CXX_COMPILER_LAUNCHER=)
    local jobs
    jobs=$(nproc 2>/dev/null || echo 2)

    if [[ ! -f $prefix/lib/cmake/expat-2.5.0/expat-config.cmake ]]; then
        fetch_expat "$deps" || return 1
        rm -rf "$deps/expat-src" "$deps/expat-build"
        mkdir -p "$deps/expat-src"
        tar -xzf "$deps/$ZEL_EXPAT_TARBALL" -C "$deps/expat-src" "$ZEL_EXPAT_DIR"
        # Only the library: no tools, examples, tests or documentation to build.
        cmake -S "$deps/expat-src/$ZEL_EXPAT_DIR" -B "$deps/expat-build" "${common[@]}" \
            -DEXPAT_SHARED_LIBS=OFF -DEXPAT_BUILD_TOOLS=OFF -DEXPAT_BUILD_EXAMPLES=OFF \
            -DEXPAT_BUILD_TESTS=OFF -DEXPAT_BUILD_DOCS=OFF -DEXPAT_BUILD_PKGCONFIG=OFF \
            >"$deps/expat-configure.log" || { cat "$deps/expat-configure.log"; return 1; }
        cmake --build "$deps/expat-build" -j "$jobs" --target install >"$deps/expat-build.log" ||
            { tail -40 "$deps/expat-build.log"; return 1; }
    fi

    if [[ ! -f $prefix/lib/cmake/GTest/GTestConfig.cmake ]]; then
        rm -rf "$deps/gtest-build"
        cmake -S /usr/src/googletest -B "$deps/gtest-build" "${common[@]}" \
            -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON -Dgtest_force_shared_crt=ON \
            >"$deps/gtest-configure.log" || { cat "$deps/gtest-configure.log"; return 1; }
        cmake --build "$deps/gtest-build" -j "$jobs" --target install >"$deps/gtest-build.log" ||
            { tail -40 "$deps/gtest-build.log"; return 1; }
    fi
}
