#!/usr/bin/env bash
# Cross-builds Termiva for 64-bit Windows with mingw-w64 into build-win/ (or
# $TERMIVA_WIN_BUILD_DIR). The program folder is build-win/termiva/, laid out like the Linux one;
# zip that folder to take it to a Windows machine. Extra arguments go to cmake.
# The Windows libraries Debian has no mingw package of are built once into build-win/deps/.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${TERMIVA_WIN_BUILD_DIR:-build-win}
scripts/windows-deps.sh "$dir"
cmake -S . -B "$dir" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$(pwd)/cmake/mingw-w64-x86_64.cmake" \
  -DTERMIVA_WIN_DEPS="$(realpath -m "$dir/deps/prefix")" \
  -DCMAKE_CROSSCOMPILING_EMULATOR="$(pwd)/scripts/wine-run.sh" \
  -DTERMIVA_WERROR="${TERMIVA_WERROR:-OFF}" "$@" >/dev/null
cmake --build "$dir" -j"${TERMIVA_JOBS:-2}"
