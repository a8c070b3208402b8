// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "receivedbody.h"

#include <QtEndian>

#include <algorithm>
#include <cstdint>
#include <cstring>

// sd-bus keeps a message it has read from a socket whole, in one buffer, in
// the order of the wire: the fixed header of 16 bytes (byte order, type,
// flags, version, body size, serial, size of the header fields), the header
// fields, padding to 8 bytes, the body. The path, interface, member and
// destination it hands out point into the header fields (the sender may be
// one sd-bus sets itself). The
// characters of such a field lie at least 24 bytes past the start of the
// buffer (16 of the fixed header, and the field's code, signature and
// length before them), so the 16 bytes that begin 24 before the lowest of
// them are inside the buffer: where that field is the first, they are the
// fixed header. They are believed only where they agree with what sd-bus
// says of the message (type, serial); and the body is never read from where
// they place it, only its size taken, so a sender that forges them misleads
// nothing but the handling of its own message.

namespace {

struct Header
{
    const uchar *body = nullptr; // where the body begins, to compare only
    quint64 bodySize = 0;
    bool swapped = false; // the message's byte order is not this machine's
};

quint32 u32(const uchar *at, bool swapped)
{
    quint32 v = 0;
    std::memcpy(&v, at, sizeof v);
    return swapped ? qbswap(v) : v;
}

std::optional<Header> headerOf(sd_bus_message *m)
{
    uint8_t type = 0;
    uint64_t cookie = 0;
    if (sd_bus_message_get_type(m, &type) < 0 || sd_bus_message_get_cookie(m, &cookie) < 0)
        return std::nullopt;
    std::uintptr_t lowest = UINTPTR_MAX;
    for (const char *field : {sd_bus_message_get_path(m), sd_bus_message_get_interface(m),
                              sd_bus_message_get_member(m), sd_bus_message_get_destination(m)}) {
        if (field)
            lowest = std::min(lowest, reinterpret_cast<std::uintptr_t>(field));
    }
    if (lowest == UINTPTR_MAX || lowest < 24)
        return std::nullopt;
    const auto *header = reinterpret_cast<const uchar *>(lowest - 24);
    const uchar order = header[0];
    if ((order != 'l' && order != 'B') || header[1] != type || header[3] != 1)
        return std::nullopt;
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
    const bool swapped = order == 'B';
#else
    const bool swapped = order == 'l';
#endif
    const quint64 bodySize = u32(header + 4, swapped);
    const quint64 serial = u32(header + 8, swapped);
    const quint64 fields = u32(header + 12, swapped);
    // The lowest field's characters lie inside the fields.
    if (serial != cookie || fields <= 8)
        return std::nullopt;
    return Header{header + 16 + ((fields + 7) & ~quint64(7)), bodySize, swapped};
}

} // namespace

std::optional<quint64> ReceivedBody::stringAfterInt(sd_bus_message *m)
{
    // int32, then the string's length, its bytes and a NUL, and nothing
    // after them.
    const std::optional<Header> header = headerOf(m);
    if (!header || header->bodySize < 9)
        return std::nullopt;
    return header->bodySize - 9;
}

std::optional<quint64> ReceivedBody::deliverText(sd_bus_message *m, const char *senderName)
{
    // int32 sender handle, sender name (length, bytes, NUL), padding to 4,
    // int32 long data, text (length, bytes, NUL). The sender name that
    // sd-bus read, and the length before it, must be where the header puts
    // them.
    const std::optional<Header> header = headerOf(m);
    if (!header || !senderName)
        return std::nullopt;
    const quint64 nameLength = std::strlen(senderName);
    const auto *name = reinterpret_cast<const uchar *>(senderName);
    if (name != header->body + 8 || u32(name - 4, header->swapped) != nameLength)
        return std::nullopt;
    const quint64 textAt = ((8 + nameLength + 1 + 3) & ~quint64(3)) + 8;
    if (header->bodySize < textAt + 1)
        return std::nullopt;
    return header->bodySize - textAt - 1;
}
