// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The one form of direct channel address an endpoint offers and takes: a
// single unix:path= address of a socket named as endpoints name theirs,
// directly in the user's private runtime directory. What another window
// offers is read here, with nothing but bytes in and out, before any of it
// reaches a socket: an address with a second transport, another key, or a
// path anywhere else is no offer at all.
#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <optional>

namespace ChannelAddress {

inline constexpr int TokenBytes = 16;

// The file name of a listening socket, for 8 random bytes.
QByteArray socketName(QByteArrayView random);
// The D-Bus address of a socket at path, escaped as the address syntax
// wants.
QByteArray forSocket(QByteArrayView path);

struct Offer
{
    QByteArray socketPath;
    QByteArray token;
};

// Reads the answer to OpenDirectChannel: the socket path when address is
// exactly "unix:path=<runtimeDir>/<socketName>" (escapes decoded, no other
// key, no second address) and the token has TokenBytes bytes; nullopt
// otherwise, also when runtimeDir is empty.
std::optional<Offer> readOffer(QByteArrayView address, QByteArrayView token,
                               QByteArrayView runtimeDir);

} // namespace ChannelAddress
