// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// Signing on to the session bus one answer at a time.
//
// sd-bus writes its whole authentication (AUTH, NEGOTIATE_UNIX_FD, BEGIN)
// before the bus has answered anything. A bus daemon takes that, but the
// D-Bus proxy of a sandbox (xdg-dbus-proxy, as Flatpak runs it) drops such a
// connection. So this side connects the socket itself, authenticates with
// EXTERNAL and waits for each answer (OK, then AGREE_UNIX_FD) before it sends
// BEGIN, and only then hands the connection to sd-bus, which keeps it for
// the rest of its life. The cost is paid once, when a connection opens.
#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

#include <systemd/sd-bus.h>

namespace BusHandshake {

// What a program is told when the bus (or the D-Bus proxy of the sandbox it
// runs in) hangs up on it while it signs on.
QString closedWhileSigningOn();

// A connection that has authenticated and is ready for messages.
struct SignedOn
{
    int fd = -1;      // connected and authenticated, owned by whoever holds it
    QByteArray guid;  // the server's id, as it said with OK
    bool fds = false; // whether it takes descriptors
};

// The local socket of the first unix:path= or unix:abstract= entry of a
// D-Bus address (entries are tried in order), connected and signed on.
// nullopt with *error empty when the address names no local socket (the
// caller then leaves the address to sd-bus), or with *error set when it
// could not be reached or refused this side. Waits at most timeoutMs.
std::optional<SignedOn> signOn(const QByteArray &address, int timeoutMs, QString *error);

// Starts `bus` (new, a bus client, nothing started yet) on the connection
// signOn returned, which it takes over; *error set and false when that
// fails (the descriptor is then closed).
bool startOn(sd_bus *bus, SignedOn connection, QString *error);

} // namespace BusHandshake
