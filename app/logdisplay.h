// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// What the received-data log shows of a text: everything a reader can take
// in on screen, and in place of the rest (a line of a megabyte, a million
// lines) a marker that stands for it. The text itself stays whole: the runs
// keep what each one stands for, without copying it.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QStringView>

namespace LogDisplay {

// Longest line shown, in UTF-16 units; the rest of a longer line is hidden.
// Laying out a line without a blank takes time that grows with the square
// of its length (a 40,000-character one takes about 50 ms): 5,000 keeps the
// window's longest stall under a flood of such lines where it is with short
// ones (bench/window_bench longline).
inline constexpr qsizetype MaxLineChars = 5000;
// Most characters and lines shown of one piece of text (a sender name, a
// text); what follows is hidden behind one marker.
inline constexpr qsizetype MaxChars = 64 * 1024;
inline constexpr qsizetype MaxLines = 2000;
// Most runs of one piece: each costs the box about as much as a line, and
// text that alternates with control characters would make one a character.
inline constexpr qsizetype MaxRuns = 2 * MaxLines + 1000;
// How far a line that is too long is followed to find its end; a line that
// goes on further hides the rest of its piece.
inline constexpr qsizetype MaxScanChars = 4 * 1024 * 1024;

struct Run
{
    enum Kind {
        Text,     // shown as it is
        Controls, // control characters, shown as their pictures (U+2400 ...)
        Break,    // a line break, shown as one; original() is what it was
        Hidden,   // shown as a marker; original() is the text it stands for
    };
    Kind kind = Text;
    QString shown;
    // Holds the original of a Break or Hidden run; shared, never copied.
    QString source;
    qsizetype from = 0;
    qsizetype length = 0;

    QStringView original() const { return QStringView(source).mid(from, length); }
};

// The runs that show the concatenation of pieces. The pieces at odd
// positions came from elsewhere (a sender name, a text): each is shown up
// to the limits above, and its line breaks are kept as they are. Those at
// even positions are the log's own words, whose line breaks are the log's:
// a line feed. Line breaks are CR LF, LF, CR, U+2028, U+2029 and the two
// characters a text document takes for frame marks (U+FDD0, U+FDD1);
// control characters other than tab are shown as pictures.
QList<Run> runsOf(const QStringList &pieces);

// The marker that stands for `length` hidden characters.
QString marker(qsizetype length);

// The control character that a picture shows, or the character itself.
QChar fromPicture(QChar shown);

} // namespace LogDisplay
