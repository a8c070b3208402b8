// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// What the window's error box shows: the latest failures, one line each, and
// how many older ones it folded away. Failure texts carry what other
// processes said (their captions, their error messages), so neither the
// number of lines nor the length of one grows with what they send.
#pragma once

#include <QString>
#include <QStringList>

class FailureList
{
public:
    // Failures shown at most; older ones are counted.
    static constexpr int MaxShown = 8;
    // Characters shown of one failure; the rest is marked.
    static constexpr qsizetype MaxLineLength = 600;

    // Adds a failure as the latest, unless it is shown already.
    void add(const QString &message);
    void clear();
    bool isEmpty() const { return m_lines.isEmpty(); }
    qint64 folded() const { return m_folded; }

    // The box's text: the count of the folded failures, if any, then the
    // latest failures, oldest first, one a line.
    QString text() const;

    // message on one line, line breaks and other control characters as
    // blanks, cut to MaxLineLength with the cut marked.
    static QString oneLine(const QString &message);

private:
    QStringList m_lines;
    qint64 m_folded = 0;
};
