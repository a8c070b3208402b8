#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The CalvornTest developers
# Installs what is missing, builds, and starts the program.
# On a desktop (a display and a session bus) it starts one copy there; start
# more with build/app/CalvornTest. On a machine with neither it starts a
# private session bus and a virtual display with a window manager, runs a
# server and two clients that exchange payloads, and saves a screenshot.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_packages
build
PROGRAM="$BUILD_DIR/app/CalvornTest"

has_session_bus() {
    [ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ] || [ -S "/run/user/$(id -u)/bus" ]
}

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && has_session_bus; then
    say "Starting $PROGRAM on your desktop"
    exec "$PROGRAM"
fi

say "No desktop here (display or session bus missing): starting a private session bus"
say "and a virtual display, and showing three copies exchanging payloads there."
export DEMO_SHOT="${DEMO_SHOT:-$BUILD_DIR/demo/calvorn-demo.png}"
mkdir -p "$(dirname "$DEMO_SHOT")"
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    # Qt wants a private runtime folder; a console session may have none.
    export XDG_RUNTIME_DIR="$BUILD_DIR/demo/runtime"
    mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
fi
env -u DBUS_SESSION_BUS_ADDRESS -u WAYLAND_DISPLAY \
    xvfb-run -a -s "-screen 0 1024x768x24" \
    dbus-run-session -- "$ROOT/scripts/with-window-manager.sh" "$ROOT/scripts/demo.sh" "$PROGRAM"
say "Screenshot saved: $DEMO_SHOT"
