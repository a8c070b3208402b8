// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "logentry.h"

namespace {
const QString lineEnd = QStringLiteral("\r\n");
} // namespace

QStringList logEntryPieces(const QString &senderName, qint32 longData, const QString &stringData)
{
    QStringList pieces{QStringLiteral("Sender = "), senderName};
    QString own;
    if (longData != 0)
        own = lineEnd + QStringLiteral("LongData = ") + QString::number(longData);
    if (!stringData.isEmpty()) {
        pieces << own + lineEnd + QStringLiteral("StringData = ") << stringData;
        own.clear();
    }
    pieces.append(own + lineEnd + QString(63, u'*') + lineEnd);
    return pieces;
}
