#!/usr/bin/env bash
# Cross-builds for Windows (scripts/build-windows.sh) and runs the Windows tests under Wine,
# headless, in a Wine prefix made afresh for this run (build-win/wine). Extra arguments go to
# ctest (e.g. -R Codec).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build-windows.sh
dir=${TERMIVA_WIN_BUILD_DIR:-build-win}
prefix=${TERMIVA_WINEPREFIX:-$(realpath -m "$dir/wine")}
# A prefix left by an earlier run may hold its registry keys, COM links and data folders.
if [ -d "$prefix" ]; then
  WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
  rm -rf "$prefix"
fi
export TERMIVA_WINEPREFIX=$prefix
# Made once, before ctest starts tests side by side.
scripts/wine-run.sh cmd /c exit 0 >/dev/null 2>&1 || true
status=0
ctest --test-dir "$dir" --output-on-failure -j2 --timeout 300 -LE com_pair "$@" || status=$?
# The serial tests, alone, inside two Wine COM ports joined by a socat pty pair
# (TERMIVA_WINE_COM_PAIR=0 leaves them out).
if [ "${TERMIVA_WINE_COM_PAIR:-1}" = 1 ]; then
  WINEPREFIX="$prefix" tests/support/wine_com_pair.sh 41 42 \
    ctest --test-dir "$dir" --output-on-failure -j1 --timeout 300 -L com_pair "$@" || status=$?
fi
WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
exit $status
