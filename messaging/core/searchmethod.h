// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// How a send matches its target against the parties on the bus, as the
// directory and the outbox take it: the values of the public
// InterProcEndpoint::SearchMethod (interprocendpoint.cpp checks that they
// stay the same).
#pragma once

#include <QtGlobal>

namespace SearchMethod {
inline constexpr qint32 ExactCaption = 0;
inline constexpr qint32 CaptionPrefix = 1;
inline constexpr qint32 WindowHandle = 2;
} // namespace SearchMethod
