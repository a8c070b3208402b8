// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// Fuzzes the LongData number rule with arbitrary text. Besides surviving any
// input, parseLongData must agree with a plain digit-by-digit reading for the
// characters the key filter admits, ignore blanks wherever they stand, stop
// at a character that cannot continue a number, and treat signs symmetrically.
#include "fuzzcheck.h"
#include "longdata.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>

namespace {

bool isBlank(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\n';
}

// The reading of a text made only of digits and "-": an optional "-", then
// the digits up to the next "-"; no digits read 0.
std::optional<qint32> digitsReference(QStringView text)
{
    constexpr qint64 beyondRange = qint64(std::numeric_limits<qint32>::max()) + 2;
    qsizetype at = 0;
    const bool negative = at < text.size() && text[at] == u'-';
    if (negative)
        ++at;
    qint64 magnitude = 0;
    for (; at < text.size() && text[at] != u'-'; ++at) {
        if (magnitude < beyondRange)
            magnitude = magnitude * 10 + (text[at].unicode() - u'0');
    }
    const qint64 value = negative ? -magnitude : magnitude;
    if (value < std::numeric_limits<qint32>::min() || value > std::numeric_limits<qint32>::max())
        return std::nullopt;
    return qint32(value);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const std::optional<qint32> result = parseLongData(text);

    // Blanks are ignored wherever they stand: none at all, or one between
    // every two characters and at both ends, read the same.
    QString unblanked;
    QString spaced;
    static const char16_t blanks[] = {u' ', u'\t', u'\n'};
    for (qsizetype i = 0; i < text.size(); ++i) {
        spaced.append(QChar(blanks[i % 3]));
        spaced.append(text[i]);
        if (!isBlank(text[i]))
            unblanked.append(text[i]);
    }
    spaced.append(u' ');
    FUZZ_CHECK(parseLongData(unblanked) == result);
    FUZZ_CHECK(parseLongData(spaced) == result);

    // Reading stops at a character that cannot continue a number.
    FUZZ_CHECK(parseLongData(text + u'#') == result);

    // What the key filter lets through reads as an optional "-" and digits.
    QString keyed;
    bool onlyKeyedAndBlanks = true;
    for (const QChar c : text) {
        if (c == u'-' || (c >= u'0' && c <= u'9'))
            keyed.append(c);
        else if (!isBlank(c))
            onlyKeyedAndBlanks = false;
    }
    FUZZ_CHECK(parseLongData(keyed) == digitsReference(keyed));
    if (onlyKeyedAndBlanks)
        FUZZ_CHECK(result == digitsReference(keyed));

    // An unsigned number reads the same with "+", and negated with "-"; a
    // magnitude just past the range fits again as the smallest value.
    if (!unblanked.isEmpty() &&
        (unblanked[0] == u'.' || (unblanked[0] >= u'0' && unblanked[0] <= u'9'))) {
        const std::optional<qint32> plus = parseLongData(u'+' + unblanked);
        const std::optional<qint32> minus = parseLongData(u'-' + unblanked);
        FUZZ_CHECK(plus == result);
        if (result)
            FUZZ_CHECK(*result >= 0 && minus == -*result);
        else
            FUZZ_CHECK(!minus || *minus == std::numeric_limits<qint32>::min());
    }
    return 0;
}
