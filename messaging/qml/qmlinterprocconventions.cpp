// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "qmlinterprocconventions.h"

#include <InterProc/interprocconventions.h>

bool QmlInterProcConventions::isAcknowledgement(const QString &stringData) const
{
    return InterProcConventions::isAcknowledgement(stringData);
}

QString QmlInterProcConventions::acknowledgementText(const QString &caption) const
{
    return InterProcConventions::acknowledgementText(caption);
}
