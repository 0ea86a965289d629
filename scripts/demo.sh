#!/usr/bin/env bash
# Builds the project, runs the stand-in service with two demo users, alice and
# bob (contacts of each other), and the program's window logged in as each of
# them (remembered credentials), every client with folders of its own. With no
# display set, the windows open on a virtual one (Xvfb). --headless starts
# clients without windows instead. Stays in the foreground until Ctrl-C or
# SIGTERM, which log both clients out and then stop the service. The data (users, relay
# queues, keys, the clients' folders) is kept between runs.
#
#   scripts/demo.sh [--headless] [--data DIR] [any other wivora-server option]
set -euo pipefail
cd "$(dirname "$0")/.."

data="${XDG_DATA_HOME:-$HOME/.local/share}/wivora-demo"
headless=0
args=()
while (($#)); do
  case "$1" in
    --data) data="$2"; shift 2 ;;
    --headless) headless=1; shift ;;
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

# The windows need a display: a virtual one when none is set.
start_display() {
  ((headless)) && return
  [[ -n ${DISPLAY:-} ]] && return
  local number=99
  while [[ -e /tmp/.X11-unix/X$number || -e /tmp/.X$number-lock ]]; do number=$((number + 1)); done
  mkdir -p "$data/xvfb"
  setsid Xvfb ":$number" -screen 0 1280x800x24 -fbdir "$data/xvfb" >"$data/xvfb/xvfb.log" 2>&1 &
  pids+=($!)
  export DISPLAY=":$number"
  for _ in $(seq 50); do [[ -e /tmp/.X11-unix/X$number ]] && break; sleep 0.1; done
  echo "no display was set: the windows are on the virtual display $DISPLAY"
  echo "  look at them with a VNC server on it (x11vnc -display $DISPLAY), or open its picture,"
  echo "  $data/xvfb/Xvfb_screen0, with an XWD viewer (xwud -in FILE)"
}

# "Remember me" with the user's name and password: the window logs in by itself.
write_remembered_login() {
  local file=$1 user=$2 password=$3
  awk '/^\[/ { skip = ($0 == "[settings]") } !skip' "$file" >"$file.new"
  printf '[settings]\nrememberMe=true\nusername=%s\npassword=%s\n' "$user" "$password" >>"$file.new"
  mv "$file.new" "$file"
  chmod 600 "$file"
}

start_client() {
  local user=$1 password=$2
  local home="$data/clients/$user"
  local settings="$home/config/wivora/wivoraclient.ini"
  mkdir -p "$home/data/wivora/plugins" "$home/tmp"
  write_service_settings "$settings"
  # The plug-ins of this build, when there are any.
  find build/plugins -name 'lib*.so' -exec cp -f {} "$home/data/wivora/plugins/" \; 2>/dev/null || true
  # The filter that names each line ignores the signals that stop the demo
  # (also when they reach the whole group), so the clients' "logged out"
  # lines still show.
  local program=(build/core/headless/wivora-headless)
  if ((!headless)); then
    write_remembered_login "$settings" "$user" "$password"
    program=(build/core/Wivora)
  fi
  XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config" TMPDIR="$home/tmp" \
    WIVORA_USER="$user" WIVORA_PASSWORD="$password" \
    setsid "${program[@]}" 2>>"$home/client.log" \
    > >(trap '' INT TERM; sed -u "s/^/[$user] /") &
  pids+=($!)
  echo "client $user: folders in $home (diagnostics: $home/client.log)"
}

start_display

started=0
while read -r user password; do
  if [[ $password == "(made"* ]]; then
    echo "client $user: not started, its password was not kept (the user was made by adduser)"
    continue
  fi
  start_client "$user" "$password"
  started=$((started + 1))
done < <(sed -n 's/^demo user \([^ ]*\) \(.*\)$/\1 \2/p' "$server_log")

if ((headless)); then
  echo "$started client(s) without windows started; Ctrl-C stops the clients and the service."
else
  echo "$started windowed client(s) started (minimised: bring one up from the task bar or tray); Ctrl-C stops the clients and the service."
fi
wait
