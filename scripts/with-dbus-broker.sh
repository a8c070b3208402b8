#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The CalvornTest developers
# with-dbus-broker.sh COMMAND [ARG...]: runs COMMAND on a private session bus
# served by dbus-broker, as dbus-run-session does with dbus-daemon. Desktops
# run either daemon, and they differ in limits, error names and timing, so
# the messaging and fault suites run on both. Ends the bus afterwards and
# returns COMMAND's status.
set -euo pipefail

for tool in dbus-broker-launch systemd-socket-activate python3; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "$tool is missing; install it with: apt-get install dbus-broker systemd python3" >&2
        exit 1
    fi
done

# The launcher logs to the journal and gives up without it. Where no journal
# listens (no systemd), a sink stands in; one serves all buses of a test run.
journal=/run/systemd/journal/socket
journal_listens() {
    python3 -c 'import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.connect(sys.argv[1])' "$journal" 2>/dev/null
}
if ! journal_listens; then
    sink="$(dirname "${BASH_SOURCE[0]}")/journal-sink.py"
    lock="${TMPDIR:-/tmp}/calvorn-journal-sink.lock"
    (
        flock 9
        if ! journal_listens; then
            setsid python3 "$sink" "$journal" </dev/null >/dev/null 2>&1 &
            for _ in $(seq 50); do
                journal_listens && break
                sleep 0.1
            done
        fi
    ) 9>"$lock"
    if ! journal_listens; then
        echo "cannot listen on $journal (dbus-broker-launch needs it; run as root or under systemd)" >&2
        exit 1
    fi
fi

dir=$(mktemp -d "${TMPDIR:-/tmp}/calvorn-broker.XXXXXX")
export XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$dir}"
export DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/bus"
# systemd-socket-activate listens at once and starts the launcher on the
# first connection, so the bus is there before COMMAND looks for it.
setsid systemd-socket-activate -E DBUS_SESSION_BUS_ADDRESS -E XDG_RUNTIME_DIR -E HOME \
    -l "$dir/bus" dbus-broker-launch --scope user >"$dir/log" 2>&1 &
broker=$!
cleanup() {
    kill -TERM -- "-$broker" 2>/dev/null || true
    wait "$broker" 2>/dev/null || true
    rm -rf "$dir"
}
trap cleanup EXIT
for _ in $(seq 100); do
    [ -S "$dir/bus" ] && break
    sleep 0.05
done
if [ ! -S "$dir/bus" ]; then
    echo "dbus-broker did not start:" >&2
    cat "$dir/log" >&2
    exit 1
fi

status=0
"$@" || status=$?
exit "$status"
