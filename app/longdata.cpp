// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "longdata.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <system_error>

bool isLongDataKey(QChar c)
{
    return c.unicode() < 32 || c == u'-' || (c >= u'0' && c <= u'9');
}

QString admittedLongDataKeys(QStringView typed)
{
    QString admitted;
    for (const QChar c : typed) {
        if (isLongDataKey(c))
            admitted.append(c);
    }
    return admitted;
}

namespace {

// The parts of the number at the start of a text.
struct LeadingNumber
{
    bool negative = false;
    std::string intDigits;
    std::string fracDigits;
    long long exponent = 0; // saturates far beyond any double's range
};

// Walks the text with the ignored blanks skipped.
class Reader
{
public:
    explicit Reader(QStringView text) : m_text(text) { skipBlanks(); }

    char16_t peek() const { return m_at < m_text.size() ? m_text[m_at].unicode() : u'\0'; }
    void next()
    {
        ++m_at;
        skipBlanks();
    }
    bool take(char16_t c)
    {
        if (peek() != c)
            return false;
        next();
        return true;
    }
    bool atDigit() const { return peek() >= u'0' && peek() <= u'9'; }
    std::string digits()
    {
        std::string out;
        while (atDigit()) {
            out.push_back(char(peek()));
            next();
        }
        return out;
    }

private:
    void skipBlanks()
    {
        while (m_at < m_text.size() &&
               (m_text[m_at] == u' ' || m_text[m_at] == u'\t' || m_text[m_at] == u'\n'))
            ++m_at;
    }

    QStringView m_text;
    qsizetype m_at = 0;
};

std::optional<LeadingNumber> readLeadingNumber(QStringView text)
{
    Reader r(text);
    LeadingNumber n;
    if (!r.take(u'+'))
        n.negative = r.take(u'-');
    n.intDigits = r.digits();
    if (r.take(u'.'))
        n.fracDigits = r.digits();
    if (n.intDigits.empty() && n.fracDigits.empty())
        return std::nullopt;

    // An exponent counts only with at least one digit: "1e" reads 1.
    if (r.peek() == u'E' || r.peek() == u'e') {
        Reader probe = r;
        probe.next();
        bool negativeExp = false;
        if (!probe.take(u'+'))
            negativeExp = probe.take(u'-');
        if (probe.atDigit()) {
            constexpr long long cap = 1'000'000'000;
            for (const char d : probe.digits())
                n.exponent = std::min(cap, n.exponent * 10 + (d - '0'));
            if (negativeExp)
                n.exponent = -n.exponent;
        }
    }
    return n;
}

// Power of ten of the leading significant digit; only meaningful for a
// non-zero number.
long long decimalMagnitude(const LeadingNumber &n)
{
    const std::string all = n.intDigits + n.fracDigits;
    const auto firstNonZero = static_cast<long long>(all.find_first_not_of('0'));
    return static_cast<long long>(n.intDigits.size()) - firstNonZero - 1 + n.exponent;
}

} // namespace

std::optional<qint32> parseLongData(QStringView text)
{
    const std::optional<LeadingNumber> n = readLeadingNumber(text);
    if (!n)
        return 0;

    // from_chars is independent of the C locale, which Qt sets from the user's.
    const std::string ascii = (n->intDigits.empty() ? "0" : n->intDigits) + '.' + n->fracDigits +
                              'e' + std::to_string(n->exponent);
    double value = 0;
    const auto result = std::from_chars(ascii.data(), ascii.data() + ascii.size(), value);
    if (result.ec == std::errc::result_out_of_range)
        return decimalMagnitude(*n) < 0 ? std::optional<qint32>(0) : std::nullopt;
    if (result.ec != std::errc())
        return 0;
    if (n->negative)
        value = -value;

    const double rounded = std::nearbyint(value); // default mode: halves to even
    if (!std::isfinite(rounded) || rounded < double(std::numeric_limits<qint32>::min()) ||
        rounded > double(std::numeric_limits<qint32>::max()))
        return std::nullopt;
    return static_cast<qint32>(rounded);
}
