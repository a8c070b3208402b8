#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The CalvornTest developers
# with-window-manager.sh COMMAND [ARG...]: runs COMMAND on the current X
# display under openbox, a real window manager, as on a desktop: windows get
# title bars with their caption and icon, and closing a window activates the
# one it belongs to. A bare Xvfb has none of that. Ends openbox afterwards
# and returns COMMAND's status.
set -euo pipefail

if ! command -v openbox >/dev/null 2>&1; then
    echo "openbox is missing; install it with: apt-get install openbox" >&2
    exit 1
fi
if xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"; then
    echo "display $DISPLAY already has a window manager" >&2
    exit 1
fi

# Its notes (a missing menu file and the like) are shown only if it fails.
notes=$(mktemp)
openbox --sm-disable >"$notes" 2>&1 &
wm=$!
trap 'kill "$wm" 2>/dev/null || true; rm -f "$notes"' EXIT

# openbox marks the root window once it manages the display; on a loaded
# machine that can take a while.
ready=0
for _ in $(seq 300); do
    if xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"; then
        ready=1
        break
    fi
    kill -0 "$wm" 2>/dev/null || break
    sleep 0.1
done
if [ "$ready" -ne 1 ]; then
    echo "openbox did not start on display $DISPLAY; it said:" >&2
    cat "$notes" >&2
    exit 1
fi

status=0
"$@" || status=$?
exit "$status"
