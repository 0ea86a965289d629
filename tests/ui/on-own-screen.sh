#!/usr/bin/env bash
# on-own-screen.sh SCALE COMMAND...: runs COMMAND on a virtual X screen of its
# own, 1366×768, with Qt scaling its windows by SCALE. The server picks a free
# display itself (-displayfd), so tests side by side never meet.
set -euo pipefail
scale=$1
shift
folder=$(mktemp -d)
Xvfb -displayfd 3 -screen 0 1366x768x24 -nolisten tcp -nolisten unix \
  3>"$folder/display" >"$folder/xvfb.log" 2>&1 &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null; rm -rf "$folder"' EXIT
# The display number is written once the server accepts clients.
for _ in $(seq 600); do
  [[ -s $folder/display ]] && break
  kill -0 "$xvfb" 2>/dev/null || { cat "$folder/xvfb.log" >&2; exit 1; }
  sleep 0.1
done
[[ -s $folder/display ]] || { echo "Xvfb did not start" >&2; exit 1; }
DISPLAY=:$(head -n1 "$folder/display") QT_QPA_PLATFORM=xcb QT_SCALE_FACTOR=$scale "$@"
