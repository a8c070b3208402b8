// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// Ctrl+C and the like end a long-running command cleanly, through its event
// loop, instead of killing it in the middle of a line.
#pragma once

// From now on SIGINT, SIGTERM and SIGHUP make QCoreApplication::exec()
// return 0. Call before anything starts a thread (the bus connection does),
// so that every thread leaves these signals to the event loop.
void quitOnStopSignals();
// Whether one of them came: a nested event loop (waiting to join the bus)
// returns on it too, and the command then ends instead of starting exec().
bool stopRequested();
