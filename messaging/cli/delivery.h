// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// What `interproc send` does once it has its payload: sends it, follows it
// to every window addressed, and stays to take their acknowledgements.
#pragma once

#include <InterProc/interprocendpoint.h>

#include <QString>

class CommandLine;

struct Address
{
    qint32 method = InterProcEndpoint::ExactCaption;
    QVariant target;
    QString nobody; // what to say when nothing matches
    QString wanted; // by caption: what no window was found with, as "the caption \"x\""
};

// Sends longData and text to address and waits until every window addressed
// has taken the payload or failed to; names each failure on standard error
// and prints how many took it. Returns the exit status.
int deliver(const CommandLine &commandLine, InterProcEndpoint &endpoint, const Address &address,
            qint32 longData, const QString &text);
