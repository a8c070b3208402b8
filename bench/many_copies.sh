#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The CalvornTest developers
# Starts many copies of the program's role decision at the same moment on a
# private session bus, round after round, and prints how many rounds ended
# with exactly one server (and that server the owner of the program's name).
#
#   bench/many_copies.sh [--copies N] [--rounds N] [BUILD_DIR]    (default: build)
#   bench/many_copies.sh [--copies N] [--rounds N] --helper PATH
#
# The copies are tests/app's calvorn_role_helper, built in BUILD_DIR if it is
# missing there; defaults are 100 copies and 20 rounds.
set -euo pipefail

BENCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(dirname "$BENCH_DIR")

copies=100
rounds=20
helper=
build_dir="$ROOT/build"
while [ $# -gt 0 ]; do
    case "$1" in
    --copies) copies=$2; shift ;;
    --rounds) rounds=$2; shift ;;
    --helper) helper=$2; shift ;;
    -h | --help) sed -n '2,10s/^# \{0,1\}//p' "$0"; exit 0 ;;
    -*) echo "unknown option: $1" >&2; exit 2 ;;
    *) build_dir=$1 ;;
    esac
    shift
done

# Inside the private bus: the rounds themselves.
if [ "${MANY_COPIES_PRIVATE_BUS:-}" = 1 ]; then
    work=$(mktemp -d)
    pids=()
    # shellcheck disable=SC2317  # called by the trap
    cleanup() {
        for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
        rm -rf "$work"
    }
    trap cleanup EXIT
    name=org.calvorn.CalvornTest
    owner_pid() {
        dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
            org.freedesktop.DBus.GetConnectionUnixProcessID "string:$name" 2>/dev/null |
            awk '/uint32/ {print $2}'
    }
    now_ms() { date +%s%3N; }
    good=0
    for ((round = 1; round <= rounds; round++)); do
        pids=()
        for ((i = 0; i < copies; i++)); do
            mkfifo "$work/in$i"
            # Opened for reading and writing, so that neither side waits for
            # the other to open it.
            "$helper" <>"$work/in$i" >"$work/out$i" 2>&1 &
            pids+=($!)
        done
        # Every copy has loaded and waits for its first line.
        for pid in "${pids[@]}"; do
            until [ "$(readlink "/proc/$pid/exe" 2>/dev/null)" = "$helper" ] &&
                grep -q pipe_read "/proc/$pid/wchan" 2>/dev/null; do
                kill -0 "$pid" 2>/dev/null || break
                sleep 0.01
            done
        done
        start=$(now_ms)
        for ((i = 0; i < copies; i++)); do echo go >"$work/in$i"; done
        servers=0 clients=0 server_pid=
        for ((i = 0; i < copies; i++)); do
            until [ "$(wc -l <"$work/out$i")" -ge 1 ]; do
                kill -0 "${pids[$i]}" 2>/dev/null || break
                sleep 0.01
            done
            case "$(head -n1 "$work/out$i")" in
            server) servers=$((servers + 1)) server_pid=${pids[$i]} ;;
            client) clients=$((clients + 1)) ;;
            *) echo "round $round, copy $i: $(head -n1 "$work/out$i")" >&2 ;;
            esac
        done
        elapsed=$(($(now_ms) - start))
        owner=$(owner_pid)
        verdict="FAILED"
        if [ "$servers" = 1 ] && [ "$clients" = $((copies - 1)) ] && [ "$owner" = "$server_pid" ]; then
            verdict="ok"
            good=$((good + 1))
        fi
        printf 'round %2d: %d server, %d clients, answers read %d ms after the go, owner %s: %s\n' \
            "$round" "$servers" "$clients" "$elapsed" \
            "$([ "$owner" = "$server_pid" ] && echo "is the server" || echo "is ${owner:-nobody}")" \
            "$verdict"
        # The second line ends every copy; then the name must be free again.
        for ((i = 0; i < copies; i++)); do echo end >"$work/in$i"; done
        wait "${pids[@]}" 2>/dev/null || true
        pids=()
        rm -f "$work"/in* "$work"/out*
        while [ -n "$(owner_pid)" ]; do sleep 0.01; done
    done
    echo "$good of $rounds rounds of $copies copies had exactly one server"
    [ "$good" = "$rounds" ]
    exit
fi

if [ -z "$helper" ]; then
    helper="$build_dir/tests/app/calvorn_role_helper"
    if [ ! -x "$helper" ]; then
        generator=()
        [ -f "$build_dir/CMakeCache.txt" ] || generator=(-G Ninja)
        cmake -S "$ROOT" -B "$build_dir" "${generator[@]}" -DBUILD_TESTING=ON >/dev/null
        cmake --build "$build_dir" --target calvorn_role_helper
    fi
fi
helper=$(readlink -f "$helper")

echo "$copies copies at once, $rounds rounds, load $(cut -d' ' -f1-3 /proc/loadavg)"
env -u DISPLAY -u WAYLAND_DISPLAY MANY_COPIES_PRIVATE_BUS=1 \
    dbus-run-session -- "$0" --copies "$copies" --rounds "$rounds" --helper "$helper" \
    2> >(grep -v 'Failed to set fd limit' >&2)
