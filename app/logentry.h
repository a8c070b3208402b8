// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The texts of the received-data log. The acknowledgement's text and when
// to answer are InterProc's (InterProc/interprocconventions.h).
#pragma once

#include <QString>
#include <QStringList>

// The log entry for one received payload, as the pieces whose concatenation
// it is, so that a long text or sender name is shared rather than copied:
// the pieces at odd positions are what was received (the sender name, the
// text), the others the entry's own words. Lines end with CR LF: the sender
// line, "LongData = n" unless n is 0, "StringData = text" unless the text is
// empty, and a row of 63 asterisks.
QStringList logEntryPieces(const QString &senderName, qint32 longData, const QString &stringData);
