#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The CalvornTest developers
# Runs a server and two clients on the current display and session bus (run.sh
# gives it private ones, with a window manager), drives them as a user would
# with xdotool, and saves a screenshot to $DEMO_SHOT.
set -euo pipefail
PROGRAM="$1"
SHOT="${DEMO_SHOT:-calvorn-demo.png}"
export QT_QPA_PLATFORM=xcb

pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true' EXIT

# Prints the id of the first visible window whose title matches $1 and that
# is not among the ids in $2.
find_window() {
    local id
    for _ in $(seq 100); do
        for id in $(xdotool search --onlyvisible --name "$1" 2>/dev/null); do
            case " ${2:-} " in *" $id "*) ;; *) echo "$id"; return 0 ;; esac
        done
        sleep 0.1
    done
    echo "no window titled '$1' appeared" >&2
    return 1
}

# click WINDOW X Y: a real mouse click at X,Y inside WINDOW.
click() {
    xdotool windowactivate --sync "$1"
    xdotool mousemove --window "$1" "$2" "$3" click 1
    sleep 0.2
}

# send WINDOW NUMBER TEXT BUTTON_X: types both fields, presses a send button.
send() {
    click "$1" 100 17 && xdotool type --delay 15 -- "$2"
    click "$1" 200 41 && xdotool type --delay 15 -- "$3"
    click "$1" "$4" 76
}

"$PROGRAM" & pids+=($!)
server=$(find_window "^Calvorn Control Sample - Server App$")
# The server greets its user with a notice; close it.
notice=$(find_window "^Info$")
xdotool windowactivate --sync "$notice" key Return
# Room above each window for its title bar.
xdotool windowmove "$server" 10 30

"$PROGRAM" & pids+=($!)
client1=$(find_window "^Calvorn Control Sample - Client App - ")
xdotool windowmove "$client1" 440 30
sleep 1 # a later second gives the second client a caption of its own
"$PROGRAM" & pids+=($!)
client2=$(find_window "^Calvorn Control Sample - Client App - " "$client1")
xdotool windowmove "$client2" 10 350
sleep 0.5

echo "client 1 sends 42 and 'hello' to the server"
send "$client1" 42 hello 216
echo "the server sends 7 and 'hi all' to the clients"
send "$server" 7 "hi all" 336
echo "client 2 sends -5 and 'to the others' to the other clients"
send "$client2" -5 "to the others" 336
sleep 1.5

import -window root "$SHOT"
