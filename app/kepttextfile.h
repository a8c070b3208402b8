// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// A file outside the process's memory for the hidden parts of large
// received texts: the log shows a few thousand characters of a text of
// 128 MiB and keeps the rest here for copying. The file is unlinked from
// the start (nothing stays behind) and sparse: runs of NUL cost nothing,
// and a dropped text gives its room back.
#pragma once

#include <QString>
#include <QStringView>

class KeptTextFile
{
public:
    // Where a text is: offset in bytes, length in UTF-16 units.
    struct Span
    {
        qint64 offset = -1;
        qint64 length = 0;
    };

    KeptTextFile();
    ~KeptTextFile();
    KeptTextFile(const KeptTextFile &) = delete;
    KeptTextFile &operator=(const KeptTextFile &) = delete;

    bool isOpen() const { return m_fd >= 0; }

    // Room for a text of `length` UTF-16 units, on the owner's thread.
    Span reserve(qint64 length);
    // Writes the text into its room, on any thread, leaving pieces that are
    // all NUL as holes; returns the bytes it stored, or -1 when it could
    // not write.
    qint64 write(const Span &span, QStringView text) const;
    // The text back into `to` (room for span.length units), on any thread;
    // false when it cannot be read.
    bool read(const Span &span, QChar *to) const;
    // Gives the room of a text back.
    void release(const Span &span) const;

private:
    int m_fd = -1;
    qint64 m_end = 0;
};
