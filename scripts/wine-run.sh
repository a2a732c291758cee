#!/usr/bin/env bash
# Runs a Windows program of the cross build under Wine, headless and quiet: the emulator CMake
# and ctest start the Windows tests with. The Wine prefix belongs to the tests
# ($TERMIVA_WINEPREFIX, default build-win/wine), made on first use; the program folder is on
# Wine's DLL search path, so a test executable outside it finds the libraries and the mingw
# runtime.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TERMIVA_WIN_BUILD_DIR:-$root/build-win}
export WINEPREFIX=${TERMIVA_WINEPREFIX:-$build/wine}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export WINEPATH="$(winepath -w "$build/termiva" 2>/dev/null || echo "Z:${build//\//\\}\\termiva")"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  # Two tests starting together must not both make the prefix.
  flock "$WINEPREFIX/.made" wineboot -i >/dev/null 2>&1 || true
fi
exec wine "$@"
