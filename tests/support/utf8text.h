// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The texts that tests and benchmarks send, with or without Qt: exactly as
// many bytes of valid UTF-8 as asked for.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

#ifdef QT_CORE_LIB
#include <QByteArray>
#endif

namespace TestSupport {

// One line of typical text: mostly ASCII, with a two-, a three- and a
// four-byte character and CR LF.
inline constexpr std::string_view TypicalLine =
    "LongData = 42, StringData = caf\xC3\xA9 5\xE2\x82\xAC \xF0\x9F\x98\x80 and some more text\r\n";
static_assert(TypicalLine.size() == 64);

// Characters one to four bytes long, CR LF and NUL.
inline constexpr std::string_view EveryKindOfCharacter{
    "Ab\r\n\xC3\xA9\xE2\x82\xAC\0\xF0\x9F\x98\x80", 14};

// Fills dst with exactly `bytes` bytes of valid UTF-8: the pattern repeated
// whole, then 'z' to make up the rest.
inline void fillUtf8(char *dst, size_t bytes, std::string_view pattern = TypicalLine)
{
    size_t done = 0;
    for (; done + pattern.size() <= bytes; done += pattern.size())
        std::memcpy(dst + done, pattern.data(), pattern.size());
    std::memset(dst + done, 'z', bytes - done);
}

#ifdef QT_CORE_LIB
inline QByteArray utf8Text(qint64 bytes, std::string_view pattern = EveryKindOfCharacter)
{
    QByteArray text(qsizetype(bytes), Qt::Uninitialized);
    fillUtf8(text.data(), size_t(bytes), pattern);
    return text;
}
#endif

} // namespace TestSupport
