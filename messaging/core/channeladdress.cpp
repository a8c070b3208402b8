// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "channeladdress.h"

#include <cstring>

namespace ChannelAddress {

namespace {
constexpr QByteArrayView Prefix = "unix:path=";
constexpr QByteArrayView NameStart = "calvorn-interproc-";
constexpr QByteArrayView NameEnd = ".socket";
constexpr qsizetype RandomHexDigits = 16;

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool isOptionallyEscaped(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           (c != '\0' && std::strchr("-_/.\\*", c));
}

// The value of one address key, escapes decoded; nullopt when it holds a
// byte the syntax wants escaped (',' and ';' among them) or a malformed
// escape.
std::optional<QByteArray> unescape(QByteArrayView value)
{
    QByteArray out;
    out.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (c == '%') {
            if (i + 2 >= value.size())
                return std::nullopt;
            const int high = hexValue(value[i + 1]);
            const int low = hexValue(value[i + 2]);
            if (high < 0 || low < 0)
                return std::nullopt;
            out += char(high * 16 + low);
            i += 2;
        } else if (isOptionallyEscaped(c)) {
            out += c;
        } else {
            return std::nullopt;
        }
    }
    return out;
}

bool isSocketName(QByteArrayView name)
{
    if (name.size() != NameStart.size() + RandomHexDigits + NameEnd.size() ||
        !name.startsWith(NameStart) || !name.endsWith(NameEnd))
        return false;
    for (char c : name.sliced(NameStart.size(), RandomHexDigits)) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}
} // namespace

QByteArray socketName(QByteArrayView random)
{
    return NameStart.toByteArray() + random.toByteArray().toHex() + NameEnd.toByteArray();
}

QByteArray forSocket(QByteArrayView path)
{
    QByteArray address = Prefix.toByteArray();
    for (char c : path) {
        if (isOptionallyEscaped(c))
            address += c;
        else
            address += '%' + QByteArray::number(uchar(c), 16).rightJustified(2, '0');
    }
    return address;
}

std::optional<Offer> readOffer(QByteArrayView address, QByteArrayView token,
                               QByteArrayView runtimeDir)
{
    if (token.size() != TokenBytes || runtimeDir.isEmpty() || !address.startsWith(Prefix))
        return std::nullopt;
    // Escaped ',' and ';' would have been refused by unescape: one key, one
    // address.
    const std::optional<QByteArray> path = unescape(address.sliced(Prefix.size()));
    if (!path)
        return std::nullopt;
    const QByteArrayView dir = runtimeDir.endsWith('/') ? runtimeDir.chopped(1) : runtimeDir;
    if (dir.isEmpty() || dir.front() != '/' || path->size() <= dir.size() + 1 ||
        !path->startsWith(dir) || path->at(dir.size()) != '/' ||
        !isSocketName(QByteArrayView(*path).sliced(dir.size() + 1)))
        return std::nullopt;
    return Offer{*path, token.toByteArray()};
}

} // namespace ChannelAddress
