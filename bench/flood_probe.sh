#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The CalvornTest developers
# Floods one party on a private session bus with bench/flood_probe and prints
# what it cost the others (see flood_probe.cpp):
#
#   bench/flood_probe.sh BIN_DIR window|watch bus <text bytes> <seconds> [senders]
#   bench/flood_probe.sh BIN_DIR window|watch acks <calls> <seconds>
#   bench/flood_probe.sh BIN_DIR window|watch channel <calls>
#
# BIN_DIR holds flood_probe; the window is BIN_DIR/../app/CalvornTest (on
# Qt's offscreen platform), watch BIN_DIR/../messaging/cli/interproc watch.
set -euo pipefail
bin_dir=$(cd "$1" && pwd)
party=$2
shift 2
build=$(dirname "$bin_dir")
tmp=$(mktemp -d)
trap 'kill $party_pid $daemon_pid 2>/dev/null || true; rm -rf "$tmp"' EXIT
dbus-daemon --session --fork --print-address=3 --print-pid=4 3>"$tmp/address" 4>"$tmp/pid"
daemon_pid=$(cat "$tmp/pid")
export DBUS_SESSION_BUS_ADDRESS=$(cat "$tmp/address")
# Direct channels listen in a private runtime directory.
mkdir -m 700 "$tmp/run"
export XDG_RUNTIME_DIR="$tmp/run"
unset DISPLAY WAYLAND_DISPLAY
case "$party" in
window) QT_QPA_PLATFORM=offscreen "$build/app/CalvornTest" >"$tmp/party.log" 2>&1 & ;;
watch) "$build/messaging/cli/interproc" watch --no-ack >/dev/null 2>"$tmp/party.log" & ;;
*) echo "party: window or watch" >&2; exit 2 ;;
esac
party_pid=$!
sleep 1
"$bin_dir/flood_probe" "$1" "$party_pid" "$daemon_pid" "${@:2}"
echo "party's warnings: $(grep -c . "$tmp/party.log" || true) lines; last: $(tail -n 1 "$tmp/party.log")"
