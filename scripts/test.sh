#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite. Every test
# gets a private session bus of its own (dbus-run-session) and runs offscreen
# or on a private virtual display (Xvfb), never on the user's desktop.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_packages
build -DBUILD_TESTING=ON
say "Running the tests"
# The user's own bus and display are kept away from the tests.
cd "$BUILD_DIR"
env -u DBUS_SESSION_BUS_ADDRESS -u DISPLAY -u WAYLAND_DISPLAY \
    ctest --output-on-failure -j"$(nproc)" "$@"
