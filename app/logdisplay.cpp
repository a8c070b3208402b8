// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "logdisplay.h"

#include <algorithm>

namespace LogDisplay {

namespace {

bool isBreak(char16_t c)
{
    return c == u'\n' || c == u'\r' || c == 0x2028 || c == 0x2029 || c == 0xFDD0 || c == 0xFDD1;
}

// Line breaks are tested first; tab is shown as it is.
bool isControl(char16_t c)
{
    return (c < 0x20 && c != u'\t') || c == 0x7F;
}

QChar picture(char16_t c)
{
    return c == 0x7F ? QChar(0x2421) : QChar(char16_t(0x2400 + c));
}

} // namespace

QString marker(qsizetype length)
{
    return QStringLiteral("[\u2026 %1 more characters, kept for copying]").arg(length);
}

QChar fromPicture(QChar shown)
{
    const char16_t c = shown.unicode();
    if (c >= 0x2400 && c < 0x2420)
        return QChar(char16_t(c - 0x2400));
    return c == 0x2421 ? QChar(char16_t(0x7F)) : shown;
}

QList<Run> runsOf(const QStringList &pieces)
{
    QList<Run> runs;
    const QString ownLineBreak = QStringLiteral("\n");
    for (qsizetype p = 0; p < pieces.size(); ++p) {
        const QString &s = pieces[p];
        const bool received = p % 2 == 1;
        const char16_t *d = reinterpret_cast<const char16_t *>(s.utf16());
        const qsizetype n = s.size();
        const qsizetype firstRun = runs.size();
        qsizetype i = 0;
        qsizetype textStart = 0; // plain text from here on is not in a run yet
        qsizetype shown = 0;
        qsizetype lines = 0;
        qsizetype lineChars = 0;
        auto flushText = [&] {
            if (i > textStart)
                runs.append({Run::Text, s.sliced(textStart, i - textStart), {}, 0, 0});
            textStart = i;
        };
        auto hideUntil = [&](qsizetype end) {
            flushText();
            runs.append({Run::Hidden, marker(end - i), s, i, end - i});
            i = textStart = end;
        };
        // A low surrogate stays with its high one.
        auto mayCut = [&] {
            return !QChar::isLowSurrogate(d[i]);
        };

        while (i < n) {
            const char16_t c = d[i];
            if ((shown >= MaxChars || lines >= MaxLines || runs.size() - firstRun >= MaxRuns) &&
                mayCut()) {
                hideUntil(n);
                break;
            }
            if (isBreak(c)) {
                flushText();
                const qsizetype length = c == u'\r' && i + 1 < n && d[i + 1] == u'\n' ? 2 : 1;
                if (received)
                    runs.append({Run::Break, {}, s, i, length});
                else
                    runs.append({Run::Break, {}, ownLineBreak, 0, 1});
                i = textStart = i + length;
                ++lines;
                lineChars = 0;
                continue;
            }
            if (lineChars >= MaxLineChars && mayCut()) {
                // The rest of the line; where its end is too far to look
                // for, the rest of the piece.
                const qsizetype limit = std::min(n, i + MaxScanChars);
                qsizetype end = i;
                while (end < limit && !isBreak(d[end]))
                    ++end;
                hideUntil(end == limit ? n : end);
                continue;
            }
            if (isControl(c)) {
                flushText();
                if (runs.isEmpty() || runs.last().kind != Run::Controls)
                    runs.append({Run::Controls, {}, {}, 0, 0});
                runs.last().shown.append(picture(c));
                textStart = i + 1;
            }
            ++i;
            ++shown;
            ++lineChars;
        }
        flushText();
    }
    return runs;
}

} // namespace LogDisplay
