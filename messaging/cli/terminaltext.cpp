// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "terminaltext.h"

namespace {

bool needsEscape(char16_t u)
{
    return u < 0x20 || (u >= 0x7f && u <= 0x9f) || u == 0x061c // Arabic letter mark
           || u == 0x200e || u == 0x200f                       // LRM, RLM
           || u == 0x2028 || u == 0x2029                       // line, paragraph separator
           || (u >= 0x202a && u <= 0x202e)                     // embeddings, overrides
           || (u >= 0x2066 && u <= 0x2069);                    // isolates
}

} // namespace

void TerminalText::appendEscaped(QString &out, QStringView text, Quotes quotes)
{
    static const char hex[] = "0123456789abcdef";
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        switch (u) {
        case u'"':
            out += quotes == Quotes::Escaped ? QLatin1String("\\\"") : QLatin1String("\"");
            break;
        case u'\\':
            out += QLatin1String("\\\\");
            break;
        case u'\b':
            out += QLatin1String("\\b");
            break;
        case u'\f':
            out += QLatin1String("\\f");
            break;
        case u'\n':
            out += QLatin1String("\\n");
            break;
        case u'\r':
            out += QLatin1String("\\r");
            break;
        case u'\t':
            out += QLatin1String("\\t");
            break;
        default:
            if (needsEscape(u)) {
                out += QLatin1String("\\u");
                for (int shift = 12; shift >= 0; shift -= 4)
                    out += QLatin1Char(hex[(u >> shift) & 0xf]);
            } else {
                out += c;
            }
        }
    }
}

QString TerminalText::escaped(QStringView text, Quotes quotes)
{
    QString out;
    out.reserve(text.size());
    appendEscaped(out, text, quotes);
    return out;
}
