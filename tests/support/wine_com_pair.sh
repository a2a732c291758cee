#!/usr/bin/env bash
# Test-only: two Wine COM ports joined like a null-modem cable. Starts socat with a pty
# pair, links ${WINEPREFIX:-~/.wine}/dosdevices/comA and comB to its two ends, runs the
# command with TERMIVA_TEST_COM_PAIR="COMA,COMB", then removes the links and stops socat.
# Usage: wine_com_pair.sh A B command...   (A, B: port numbers, e.g. 41 42)
set -euo pipefail
a=$1 b=$2
shift 2
prefix=${WINEPREFIX:-$HOME/.wine}
dir=$(mktemp -d)
socat -d "pty,raw,echo=0,link=$dir/a" "pty,raw,echo=0,link=$dir/b" &
socat_pid=$!
cleanup() {
  rm -f "$prefix/dosdevices/com$a" "$prefix/dosdevices/com$b"
  kill "$socat_pid" 2>/dev/null || true
  wait "$socat_pid" 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT
for _ in $(seq 100); do
  [[ -e $dir/a && -e $dir/b ]] && break
  sleep 0.05
done
[[ -e $dir/a && -e $dir/b ]] || { echo "socat made no pty pair" >&2; exit 1; }
mkdir -p "$prefix/dosdevices"
ln -sfn "$(readlink -f "$dir/a")" "$prefix/dosdevices/com$a"
ln -sfn "$(readlink -f "$dir/b")" "$prefix/dosdevices/com$b"
TERMIVA_TEST_COM_PAIR="COM$a,COM$b" "$@"
