// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "failurelist.h"

#include <algorithm>

void FailureList::add(const QString &message)
{
    const QString line = oneLine(message);
    if (m_lines.contains(line))
        return;
    if (m_lines.size() == MaxShown) {
        m_lines.removeFirst();
        ++m_folded;
    }
    m_lines.append(line);
}

void FailureList::clear()
{
    m_lines.clear();
    m_folded = 0;
}

QString FailureList::text() const
{
    QStringList shown;
    if (m_folded > 0)
        shown.append(m_folded == 1
                         ? QStringLiteral("(1 earlier failure is not shown.)")
                         : QStringLiteral("(%1 earlier failures are not shown.)").arg(m_folded));
    shown.append(m_lines);
    return shown.join(u'\n');
}

QString FailureList::oneLine(const QString &message)
{
    // Only the characters that can be shown are looked at.
    const qsizetype kept = std::min(message.size(), MaxLineLength);
    QString line = message.left(kept);
    for (QChar &c : line) {
        if (c.category() == QChar::Other_Control || c == QChar::LineSeparator ||
            c == QChar::ParagraphSeparator)
            c = u' ';
    }
    if (kept < message.size()) {
        if (line.back().isHighSurrogate())
            line.chop(1);
        line += QStringLiteral("… [%1 more characters]").arg(message.size() - line.size());
    }
    return line;
}
