#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The CalvornTest developers
# interproc among many names that are no window: on a private session bus,
# one connection takes N window names that answer Describe late (1.9 s) or
# never (tests/support's interproc_nametaker), a window joins beside them,
# and `interproc send` by caption and by handle and `interproc list` are
# timed, with what they print.
#
#   bench/crowded_bus.sh [--names N] [--describe late|never] [--interproc PATH] [BUILD_DIR]
#
# Defaults: 10000 names, late, BUILD_DIR build, the interproc built there.
set -euo pipefail

BENCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build_dir="$(dirname "$BENCH_DIR")/build"
names=10000
describe=late
interproc=
while [ $# -gt 0 ]; do
    case "$1" in
    --names) names=$2; shift ;;
    --describe) describe=$2; shift ;;
    --interproc) interproc=$2; shift ;;
    -h | --help) sed -n '3,10s/^# \{0,1\}//p' "$0"; exit 0 ;;
    -*) echo "unknown option: $1" >&2; exit 2 ;;
    *) build_dir=$1 ;;
    esac
    shift
done
interproc=${interproc:-$build_dir/messaging/cli/interproc}
support=$build_dir/tests/support

if [ -z "${CROWDED_BUS_INSIDE:-}" ]; then
    CROWDED_BUS_INSIDE=1 exec dbus-run-session -- "$0" --names "$names" --describe "$describe" \
        --interproc "$interproc" "$build_dir"
fi
export QT_QPA_PLATFORM=offscreen
work=$(mktemp -d)
mkfifo "$work/in"
sleep infinity >"$work/in" &
holder=$!
trap 'kill $holder 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT

wait_for() { # file, word
    for _ in $(seq 600); do grep -q "$2" "$1" && return 0; sleep 0.1; done
    echo "no $2 in $1" >&2; exit 1
}
"$support/interproc_nametaker" "$names" "$describe" <"$work/in" >"$work/names" &
wait_for "$work/names" READY
"$support/interproc_peer" "Crowded Window" --ack --skip-self <"$work/in" >"$work/window" &
wait_for "$work/window" READY
handle=$(sed -n 's/^READY //p' "$work/window")
echo "$(cut -d' ' -f3 "$work/names") names ($describe) and window $handle"

timed() { # label, command...
    local label=$1 start end status=0
    shift
    start=$(date +%s%N)
    "$@" >"$work/out" 2>"$work/err" || status=$?
    end=$(date +%s%N)
    printf '%-16s status %d, %5d ms, %d lines out: %s | err: %s\n' "$label" "$status" \
        $(((end - start) / 1000000)) "$(wc -l <"$work/out")" "$(head -c 80 "$work/out" | head -1)" \
        "$(head -c 160 "$work/err" | head -1)"
}
timed "send --caption" "$interproc" send --caption "Crowded Window" --text hi
timed "send --handle" "$interproc" send --handle "$handle" --text hi
timed "list" "$interproc" list
