#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The CalvornTest developers
"""journal-sink.py SOCKET: listens on the datagram socket SOCKET and throws
away what arrives.

dbus-broker-launch logs to the systemd journal's socket and gives up when it
cannot open it. On a machine without systemd (a container, a CI runner) this
stands in for the journal while private dbus-broker buses run. It ends by
itself, removing SOCKET, once no dbus-broker has run for a while."""

import os
import select
import socket
import sys
import time

IDLE_SECONDS = 30


def broker_running():
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open(f"/proc/{pid}/stat", encoding="ascii", errors="replace") as stat:
                # "pid (comm) state ...": a zombie no longer runs.
                name, _, rest = stat.read().partition("(")[2].rpartition(")")
                if name.startswith("dbus-broker") and rest.split()[0] != "Z":
                    return True
        except OSError:
            pass
    return False


def main():
    path = sys.argv[1]
    os.makedirs(os.path.dirname(path), exist_ok=True)
    sink = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass
    sink.bind(path)
    os.chmod(path, 0o666)
    last_seen = time.monotonic()
    try:
        while True:
            readable, _, _ = select.select([sink], [], [], 5)
            if readable:
                sink.recv(1 << 17)
            if broker_running():
                last_seen = time.monotonic()
            elif time.monotonic() - last_seen > IDLE_SECONDS:
                break
    finally:
        os.unlink(path)


if __name__ == "__main__":
    main()
