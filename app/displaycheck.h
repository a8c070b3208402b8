// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// Asks the X display that Qt is about to open whether it answers at all.
// Qt's own connection waits for the display's first answer without end, so
// a display that takes the connection and then says nothing (a stopped or
// hung X server, a dead forwarded display) would hang the program at start
// without a word.
#pragma once

#include <QString>

namespace DisplayCheck {

// How long the display has to answer the start of a connection.
inline constexpr int AnswerWithinMs = 10000;

// Connects to the X display in DISPLAY, when Qt is going to use one, and
// sends the opening of the X11 connection setup. Returns false only when
// the display took no connection or gave no answer within AnswerWithinMs;
// a display that answers anything (also a refusal), one that cannot be
// reached at all, and other window systems are left to Qt.
bool displayAnswers(int withinMs = AnswerWithinMs);

// The window-system settings the program was given, for messages.
QString settings();

} // namespace DisplayCheck
