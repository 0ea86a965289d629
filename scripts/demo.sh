#!/usr/bin/env bash
# Builds the project and runs the stand-in service with two demo users, alice
# and bob, who are contacts of each other. Stays in the foreground until
# Ctrl-C; the data (users, relay queues, keys) is kept between runs.
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
echo "wivora-server data folder: $data"
echo "clients reach it with the machine settings service/domain, service/port and service/accountsite"
echo "(defaults 127.0.0.1, 2004 and http://127.0.0.1:8080). Ctrl-C stops it."
exec build/server/wivora-server --demo --data "$data" "${args[@]}"
