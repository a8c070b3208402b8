// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The command's own party on the session bus.
#pragma once

#include <InterProc/interprocendpoint.h>

#include <memory>

// Joins the session bus with this caption and waits until the endpoint
// knows the parties already there. Null, with *error set, when there is no
// session bus or it went away meanwhile.
std::unique_ptr<InterProcEndpoint> joinBus(const QString &caption, QString *error);
