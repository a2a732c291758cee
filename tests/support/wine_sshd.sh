#!/usr/bin/env bash
# Test-only: a real OpenSSH server on this machine for the Windows tests under Wine, which
# cannot start it themselves. Generates a host key and a client key in a folder of its own,
# starts sshd on a free loopback port, runs the command with
# TERMIVA_TEST_SSHD="port;user;client key as a Windows path", then stops sshd and removes the
# folder. Without sshd or ssh-keygen the command runs without the variable (those tests skip).
# Usage: wine_sshd.sh command...
set -euo pipefail
sshd=$(command -v sshd || echo /usr/sbin/sshd)
keygen=$(command -v ssh-keygen || echo /usr/bin/ssh-keygen)
if [[ ! -x $sshd || ! -x $keygen ]]; then
  echo "wine_sshd.sh: no sshd/ssh-keygen; the SSH tests will skip" >&2
  exec "$@"
fi
dir=$(mktemp -d)
pid=
cleanup() {
  [[ -n $pid ]] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT
"$keygen" -q -t ed25519 -N "" -C termiva-test -f "$dir/host_ed25519"
"$keygen" -q -t ed25519 -N "" -C termiva-test -f "$dir/client_ed25519"
cp "$dir/client_ed25519.pub" "$dir/authorized_keys"
mkdir -p /run/sshd 2>/dev/null || true
user=$(id -un)
# A port taken meanwhile makes sshd exit at once: then another is tried.
for _ in 1 2 3 4 5; do
  port=$((20000 + RANDOM % 40000))
  cat >"$dir/sshd_config" <<CONF
Port $port
ListenAddress 127.0.0.1
HostKey $dir/host_ed25519
PidFile $dir/sshd.pid
AuthorizedKeysFile $dir/authorized_keys
StrictModes no
UsePAM no
PermitRootLogin yes
PubkeyAuthentication yes
PasswordAuthentication no
KbdInteractiveAuthentication no
AllowTcpForwarding yes
PrintMotd no
UseDNS no
CONF
  "$sshd" -D -e -f "$dir/sshd_config" </dev/null >>"$dir/sshd.log" 2>&1 &
  pid=$!
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break 2
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  pid=
done
[[ -n $pid ]] || { echo "wine_sshd.sh: sshd did not start:" >&2; cat "$dir/sshd.log" >&2; exit 1; }
key="Z:${dir//\//\\}\\client_ed25519"
TERMIVA_TEST_SSHD="$port;$user;$key" "$@"
