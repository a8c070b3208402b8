# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The CalvornTest developers
# Shared by run.sh and test.sh: installs what is missing and builds.
# shellcheck shell=bash

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$ROOT/build}"

# Debian 12 packages needed to build, run and test.
PACKAGES=(
    g++ cmake ninja-build pkg-config
    qt6-base-dev qt6-base-dev-tools libgl-dev
    qt6-declarative-dev qml-qt6 qml6-module-qtqml qml6-module-qtqml-models
    qml6-module-qtqml-workerscript qml6-module-qtquick qml6-module-qtquick-window
    qml6-module-qtquick-controls qml6-module-qtquick-templates qml6-module-qtquick-layouts
    dbus-daemon dbus-broker systemd python3 libglib2.0-bin libsystemd-dev
    xvfb xauth openbox xdotool xclip imagemagick x11-utils fonts-dejavu-core
    clang-14 libclang-rt-14-dev
    dpkg-dev file lintian
    bubblewrap xdg-dbus-proxy libdbus-1-dev
    doxygen python3-gi
)

say() { printf '\033[1m==> %s\033[0m\n' "$*"; }

ensure_packages() {
    local missing=() pkg
    for pkg in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0

    local line="apt-get install -y --no-install-recommends ${missing[*]}"
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        if command -v sudo >/dev/null 2>&1 && { sudo -n true 2>/dev/null || [ -t 0 ]; }; then
            sudo=(sudo)
        else
            echo "These packages are missing: ${missing[*]}" >&2
            echo "Install them as root, then run this command again:" >&2
            echo "    apt-get update && $line" >&2
            exit 1
        fi
    fi
    say "Installing ${missing[*]}"
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${missing[@]}"
}

build() {
    build_in "$BUILD_DIR" "$@"
}

# build_in DIR [CMAKE_OPTION...]: configures and builds the project in DIR.
build_in() {
    local dir=$1
    shift
    say "Building in $dir"
    cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
    cmake --build "$dir" -j"$(nproc)"
}
