// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The command's own party on the session bus.
#pragma once

#include <InterProc/interprocendpoint.h>

#include <functional>
#include <memory>

// Joins the session bus with this caption and waits until the endpoint
// knows the parties already there. Null, with *error set, when there is no
// session bus or it went away meanwhile. prepare runs on the endpoint before
// the wait: others may send to it as soon as its name is on the bus, and a
// payload is raised while the wait runs.
std::unique_ptr<InterProcEndpoint>
joinBus(const QString &caption, QString *error,
        const std::function<void(InterProcEndpoint *)> &prepare = {});
