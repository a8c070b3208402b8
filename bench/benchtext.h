// What every benchmark program shares, with or without Qt: a clock that all
// processes on the machine read alike, and the text that big transfers carry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>

namespace Bench {

// Nanoseconds on CLOCK_MONOTONIC: one process may compare its reading with
// another's.
inline int64_t nowNs()
{
    timespec ts = {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// One line of typical text: mostly ASCII, with a two-, a three- and a
// four-byte character and CR LF.
inline constexpr char TextLine[] =
    "LongData = 42, StringData = caf\xC3\xA9 5\xE2\x82\xAC \xF0\x9F\x98\x80 and some more text\r\n";
inline constexpr size_t TextLineBytes = sizeof TextLine - 1;
static_assert(TextLineBytes == 64);

// Fills dst with exactly `bytes` bytes of valid UTF-8: whole lines, then
// ASCII to make up the rest.
inline void fillText(char *dst, size_t bytes)
{
    size_t done = 0;
    for (; done + TextLineBytes <= bytes; done += TextLineBytes)
        std::memcpy(dst + done, TextLine, TextLineBytes);
    std::memset(dst + done, 'z', bytes - done);
}

} // namespace Bench
