// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// Fuzzes the reading of a direct channel offer: an address and a token as
// another window answers OpenDirectChannel. The input is the address up to
// the first newline and the token after it. An offer is taken only as the
// one socket path it can be (in the runtime directory, named as endpoints
// name their sockets, free of every other key and address), and the
// address an endpoint makes for any path is read back as that path exactly
// when the path has that form.
#include "channeladdress.h"
#include "fuzzcheck.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>

namespace {

const QByteArray RuntimeDir = "/run/user/1000";

bool isOwnForm(const QByteArray &path)
{
    const QByteArray start = RuntimeDir + "/calvorn-interproc-";
    if (!path.startsWith(start) || !path.endsWith(".socket") ||
        path.size() != start.size() + 16 + 7)
        return false;
    for (char c : path.mid(start.size(), 16)) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    const qsizetype newline = input.indexOf('\n');
    const QByteArray address = newline < 0 ? input : input.left(newline);
    const QByteArray token = newline < 0 ? QByteArray() : input.mid(newline + 1);

    const std::optional<ChannelAddress::Offer> offer =
        ChannelAddress::readOffer(address, token, RuntimeDir);
    if (offer) {
        FUZZ_CHECK(offer->token == token && token.size() == ChannelAddress::TokenBytes);
        FUZZ_CHECK(isOwnForm(offer->socketPath));
        // One address of one key: nothing an address could add survives.
        FUZZ_CHECK(address.startsWith("unix:path=") && !address.contains(';') &&
                   !address.contains(','));
        FUZZ_CHECK(!offer->socketPath.contains('\0'));
        // The same path as an endpoint writes it reads back the same.
        FUZZ_CHECK(ChannelAddress::readOffer(ChannelAddress::forSocket(offer->socketPath), token,
                                             RuntimeDir)
                       ->socketPath == offer->socketPath);
    }
    // No runtime directory: nothing is taken.
    FUZZ_CHECK(!ChannelAddress::readOffer(address, token, {}));

    // Any bytes as a path: the address made for it is taken exactly when
    // the path has the one form, and as that path.
    const QByteArray made = ChannelAddress::forSocket(address);
    const std::optional<ChannelAddress::Offer> back =
        ChannelAddress::readOffer(made, QByteArray(ChannelAddress::TokenBytes, 't'), RuntimeDir);
    FUZZ_CHECK(back.has_value() == isOwnForm(address));
    if (back)
        FUZZ_CHECK(back->socketPath == address);
    FUZZ_CHECK(!made.contains(';') && !made.contains(','));

    // The socket names it makes are of that form.
    if (size >= 8) {
        const QByteArray name = ChannelAddress::socketName(input.left(8));
        FUZZ_CHECK(isOwnForm(RuntimeDir + '/' + name));
    }
    return 0;
}
