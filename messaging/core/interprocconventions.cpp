// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "interprocconventions.h"

namespace {
const QString ackPrefix = QStringLiteral("OK from ");
} // namespace

namespace InterProcConventions {

bool isAcknowledgement(QStringView stringData)
{
    return stringData.startsWith(ackPrefix, Qt::CaseSensitive);
}

QString acknowledgementText(const QString &caption)
{
    return ackPrefix + u'"' + caption + u'"';
}

void skipOwnWindow(qint32 ownHandle, qint32 windowHandle, bool &skip)
{
    if (windowHandle == ownHandle)
        skip = true;
}

} // namespace InterProcConventions
