// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The commands of interproc. Each reads the program's whole command line
// (its own name is the first argument after the program) and returns the
// exit status.
#pragma once

#include <QStringList>

int runList(const QStringList &arguments);
int runSend(const QStringList &arguments);
int runWatch(const QStringList &arguments);
