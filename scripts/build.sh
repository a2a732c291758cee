#!/usr/bin/env bash
# Configures and builds into build/ (or $TERMIVA_BUILD_DIR). Extra arguments go to cmake.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${TERMIVA_BUILD_DIR:-build}
cmake -S . -B "$dir" -G Ninja -DTERMIVA_WERROR="${TERMIVA_WERROR:-OFF}" "$@" >/dev/null
cmake --build "$dir" -j"${TERMIVA_JOBS:-2}"
