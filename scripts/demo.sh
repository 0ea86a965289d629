#!/usr/bin/env bash
# Builds the project, runs the stand-in service with two demo users, alice and
# bob (contacts of each other), and a client without windows logged in as each
# of them, every client with folders of its own. Stays in the foreground until
# Ctrl-C, which logs both clients out and then stops the service. The data
# (users, relay queues, keys, the clients' folders) is kept between runs.
#
#   scripts/demo.sh [--data DIR] [any other wivora-server option]
set -euo pipefail
cd "$(dirname "$0")/.."

data="${XDG_DATA_HOME:-$HOME/.local/share}/wivora-demo"
args=()
while (($#)); do
  case "$1" in
    --data) data="$2"; shift 2 ;;
    *) args+=("$1"); shift ;;
  esac
done

scripts/setup.sh
mkdir -p "$data"
server_log="$data/server.log"
pids=()

# Stops everything started so far and exits with $1 (0 by default).
stop_all() {
  trap - INT TERM
  echo "stopping: the clients log out, then the service stops"
  # Clients first, so that they log out from a running service.
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill -TERM "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
  exit "${1:-0}"
}
trap 'stop_all 0' INT TERM

# Each program runs in a session of its own, so Ctrl-C reaches only this
# script, which stops them in order.
setsid build/server/wivora-server --demo --data "$data" "${args[@]}" >"$server_log" 2>&1 &
pids+=($!)
for _ in $(seq 300); do
  grep -q '^listening tcp' "$server_log" && break
  kill -0 "${pids[0]}" 2>/dev/null || { cat "$server_log"; exit 1; }
  sleep 0.1
done
grep -q '^listening tcp' "$server_log" || { cat "$server_log"; echo "wivora-server did not start" >&2; stop_all 1; }
grep -E '^(listening|demo user)' "$server_log"
echo "wivora-server data folder: $data (its output: $server_log)"

# Where the clients find the service: the addresses it announced.
tcp=$(sed -n 's/^listening tcp \(.*\):\([0-9]*\)$/\1 \2/p' "$server_log" | head -n 1)
host=${tcp% *}
port=${tcp#* }
http_port=$(sed -n 's/^listening http .*:\([0-9]*\)$/\1/p' "$server_log" | head -n 1)
site="http://$host:${http_port:-8080}"

# Rewrites the [service] section of a client's machine settings and keeps the
# rest; the service's key is pinned from its data folder.
write_service_settings() {
  local file=$1
  mkdir -p "$(dirname "$file")"
  touch "$file"
  awk '/^\[/ { skip = ($0 == "[service]") } !skip' "$file" >"$file.new"
  printf '[service]\ndomain=%s\nport=%s\naccountsite=%s\npublicsite=%s\nserverkeyfile=%s\n' \
    "$host" "$port" "$site" "$site" "$data/server_public.pem" >>"$file.new"
  mv "$file.new" "$file"
  chmod 600 "$file"
}

start_client() {
  local user=$1 password=$2
  local home="$data/clients/$user"
  mkdir -p "$home/data/wivora/plugins" "$home/tmp"
  write_service_settings "$home/config/wivora/wivoraclient.ini"
  # The plug-ins of this build, when there are any.
  find build/plugins -name 'lib*.so' -exec cp -f {} "$home/data/wivora/plugins/" \; 2>/dev/null || true
  XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config" TMPDIR="$home/tmp" \
    WIVORA_USER="$user" WIVORA_PASSWORD="$password" \
    setsid build/core/headless/wivora-headless 2>>"$home/client.log" \
    > >(trap '' INT; sed -u "s/^/[$user] /") &
  pids+=($!)
  echo "client $user: folders in $home (diagnostics: $home/client.log)"
}

started=0
while read -r user password; do
  if [[ $password == "(made"* ]]; then
    echo "client $user: not started, its password was not kept (the user was made by adduser)"
    continue
  fi
  start_client "$user" "$password"
  started=$((started + 1))
done < <(sed -n 's/^demo user \([^ ]*\) \(.*\)$/\1 \2/p' "$server_log")

echo "$started client(s) without windows started; Ctrl-C stops the clients and the service."
wait
