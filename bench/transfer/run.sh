#!/usr/bin/env bash
# Runs bench_transfer beside scp to a throw-away sshd on a free loopback port:
# installs the OpenSSH server when missing, makes host and client keys in a
# temporary folder and stops the server at the end. CI needs none of this.
set -euo pipefail
cd "$(dirname "$0")/../.."

missing=()
[[ -x /usr/sbin/sshd ]] || missing+=(openssh-server)
command -v rsync >/dev/null || missing+=(rsync)
command -v socat >/dev/null || missing+=(socat)
if ((${#missing[@]})); then
  if [[ $(id -u) -eq 0 ]]; then
    apt-get install -y -q "${missing[@]}" >/dev/null
  else
    sudo apt-get install -y -q "${missing[@]}" >/dev/null
  fi
fi

work=$(mktemp -d)
sshd_pid=
cleanup() {
  [[ -n $sshd_pid ]] && kill "$sshd_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

ssh-keygen -q -t ed25519 -N '' -f "$work/host_key"
ssh-keygen -q -t ed25519 -N '' -f "$work/client_key"
cp "$work/client_key.pub" "$work/authorized_keys"
chmod 600 "$work/authorized_keys"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat >"$work/sshd_config" <<CONF
Port $port
ListenAddress 127.0.0.1
HostKey $work/host_key
AuthorizedKeysFile $work/authorized_keys
PasswordAuthentication no
PidFile $work/sshd.pid
StrictModes no
UsePAM no
Subsystem sftp /usr/lib/openssh/sftp-server
CONF
mkdir -p /run/sshd 2>/dev/null || true
/usr/sbin/sshd -D -f "$work/sshd_config" &
sshd_pid=$!
sleep 1

export BENCH_SCP_PORT=$port BENCH_SCP_KEY=$work/client_key
scripts/bench.sh transfer "$@"
