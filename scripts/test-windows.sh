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
# One wineserver for the whole run: left to itself it exits a few seconds after its last
# program, and a test starting in that moment can fail before its first line.
WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
WINEPREFIX="$prefix" wineserver -p
status=0
# Inside a real OpenSSH server on this machine for the SSH-2 tests (tests/support/wine_sshd.sh).
tests/support/wine_sshd.sh \
  ctest --test-dir "$dir" --output-on-failure -j2 --timeout 300 -LE com_pair "$@" || status=$?
# The serial tests, alone, inside two Wine COM ports joined by a socat pty pair
# (TERMIVA_WINE_COM_PAIR=0 leaves them out).
if [ "${TERMIVA_WINE_COM_PAIR:-1}" = 1 ]; then
  WINEPREFIX="$prefix" tests/support/wine_com_pair.sh 41 42 \
    ctest --test-dir "$dir" --output-on-failure -j1 --timeout 300 -L com_pair "$@" || status=$?
fi
# The Linux build's integration tests driving termiva-host.exe under Wine against this
# machine's peers: the ones Wine can run (WINE_HOST_TESTS; TERMIVA_WINE_HOST=0 leaves them
# out, and they need the Linux build in build/ or $TERMIVA_BUILD_DIR). File names the tests
# send are translated to Wine's Z: drive by the test support only.
linux=${TERMIVA_BUILD_DIR:-build}
WINE_HOST_TESTS='^(RawTab|HostStores|LocalShell|StreamTab|TelnetTab|TelnetSerialTab|RloginTab|SupdupTab|Ssh1Tab|SshHostTab|SftpHostTab|XferOverTcp|AssistantHost)\.'
# Serial tabs on Wine COM ports the test support links to socat ptys: one at a time, like the
# serial tests above.
WINE_HOST_SERIAL_TESTS='^(SerialTab|EspTab)\.'
if [ "${TERMIVA_WINE_HOST:-1}" = 1 ] && [ -f "$linux/CTestTestfile.cmake" ]; then
  export TERMIVA_HOST_COMMAND="$(pwd)/scripts/wine-run.sh $(realpath "$dir")/termiva/termiva-host.exe"
  export TERMIVA_HOST_PATHS=wine TERMIVA_WIN_BUILD_DIR="$(realpath "$dir")"
  ctest --test-dir "$linux" --output-on-failure -j2 --timeout 300 -R "$WINE_HOST_TESTS" \
    || status=$?
  ctest --test-dir "$linux" --output-on-failure -j1 --timeout 300 -R "$WINE_HOST_SERIAL_TESTS" \
    || status=$?
fi
WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
exit $status
