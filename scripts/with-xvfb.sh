#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The CalvornTest developers
# with-xvfb.sh COMMAND [ARG...]: runs COMMAND on a private virtual X display
# (Xvfb, 1280x1024, 24 bits) and ends the display afterwards, returning
# COMMAND's status. The server picks a free display number itself
# (-displayfd): `xvfb-run -a` looks for a free number before starting the
# server, so tests started at the same moment can pick the same one, and one
# of them then runs on the other's display.
set -euo pipefail

if ! command -v Xvfb >/dev/null 2>&1; then
    echo "Xvfb is missing; install it with: apt-get install xvfb" >&2
    exit 1
fi

numberfile=$(mktemp)
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$numberfile" >/dev/null 2>&1 &
server=$!
trap 'kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; rm -f "$numberfile"' EXIT

# Xvfb writes the number and a line break once it accepts connections.
number=""
for _ in $(seq 200); do
    if [ "$(wc -l <"$numberfile")" -ge 1 ]; then
        number=$(head -n1 "$numberfile")
        break
    fi
    if ! kill -0 "$server" 2>/dev/null; then
        break
    fi
    sleep 0.05
done
if [ -z "$number" ]; then
    echo "Xvfb did not start" >&2
    exit 1
fi

export DISPLAY=":$number"
status=0
"$@" || status=$?
exit "$status"
