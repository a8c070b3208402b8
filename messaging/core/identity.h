// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// What an endpoint is known by on the bus. The endpoint owns it; the parts
// that answer for it (the bus object) or send in its name (the outbox) read
// it.
#pragma once

#include <QString>

struct Identity
{
    qint32 handle = 0;
    QString caption; // as sent on the bus
};
