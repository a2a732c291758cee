#!/usr/bin/env bash
# Builds the Windows libraries Debian ships no mingw package of, into build-win/deps/prefix:
#   libssh   from Debian's own source package (its Debian patches applied), on mingw libgcrypt
#            and zlib (packages libgcrypt-mingw-w64-dev, libz-mingw-w64-dev)
#   GoogleTest from the sources libgtest-dev ships in /usr/src/googletest (the Linux version)
#   nlohmann-json: header-only, its headers and CMake package copied from nlohmann-json3-dev
# Each piece is built once: a stamp names what was built, a second run with the same stamp
# does nothing. Usage: scripts/windows-deps.sh [build-win]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=${1:-build-win}
deps=$(realpath -m "$out/deps")
prefix=$deps/prefix
toolchain=$root/cmake/mingw-w64-x86_64.cmake
mkdir -p "$deps/src" "$prefix"

# The newest security revision's source is not always on the mirror; this one downloads.
LIBSSH_VERSION=0.10.6-0+deb12u2
# What the stamp records: a change of the build options below must change it too. The server
# part stays in: its message API is what a client sees a remote forward's connections with.
LIBSSH_BUILD="$LIBSSH_VERSION with-server"

built() { [ -f "$deps/$1.stamp" ] && [ "$(cat "$deps/$1.stamp")" = "$2" ]; }
stamp() { echo "$2" >"$deps/$1.stamp"; }

cross_cmake() {
  local src=$1 bin=$2
  shift 2
  cmake -S "$src" -B "$bin" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DTERMIVA_WIN_DEPS="$prefix" -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release -Wno-dev "$@" >/dev/null
  cmake --build "$bin" -j"${TERMIVA_JOBS:-2}" >/dev/null
  cmake --install "$bin" >/dev/null
}

if ! built libssh "$LIBSSH_BUILD"; then
  echo "windows-deps: libssh $LIBSSH_VERSION"
  rm -rf "$deps/src/libssh" "$deps/src/libssh-build"
  (cd "$deps/src" && apt-get source --download-only "libssh=$LIBSSH_VERSION" >/dev/null 2>&1) || {
    echo "windows-deps: cannot download libssh $LIBSSH_VERSION source (is a deb-src line configured? scripts/install-deps.sh adds it)" >&2
    exit 1
  }
  (cd "$deps/src" && dpkg-source -x --no-check "libssh_${LIBSSH_VERSION}.dsc" libssh >/dev/null)
  cross_cmake "$deps/src/libssh" "$deps/src/libssh-build" \
    -DWITH_GCRYPT=ON -DWITH_ZLIB=ON -DWITH_GSSAPI=OFF -DWITH_NACL=OFF -DWITH_PCAP=OFF \
    -DWITH_EXAMPLES=OFF -DWITH_SERVER=ON -DUNIT_TESTING=OFF -DWITH_SYMBOL_VERSIONING=OFF \
    -DBUILD_SHARED_LIBS=ON
  stamp libssh "$LIBSSH_BUILD"
fi

gtest_version=$(dpkg-query -W -f='${Version}' libgtest-dev)
if ! built googletest "$gtest_version"; then
  echo "windows-deps: GoogleTest $gtest_version"
  rm -rf "$deps/src/googletest-build"
  cross_cmake /usr/src/googletest "$deps/src/googletest-build" -DBUILD_GMOCK=ON -Dgtest_force_shared_crt=ON
  stamp googletest "$gtest_version"
fi

json_version=$(dpkg-query -W -f='${Version}' nlohmann-json3-dev)
if ! built nlohmann_json "$json_version"; then
  echo "windows-deps: nlohmann-json $json_version"
  mkdir -p "$prefix/include" "$prefix/share/cmake"
  cp -r /usr/include/nlohmann "$prefix/include/"
  cp -r /usr/share/cmake/nlohmann_json "$prefix/share/cmake/"
  stamp nlohmann_json "$json_version"
fi
