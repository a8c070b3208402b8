// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#pragma once

#include <QLoggingCategory>

// Diagnostics of the messaging component; quiet unless enabled with
// QT_LOGGING_RULES="calvorn.interproc.debug=true".
Q_DECLARE_LOGGING_CATEGORY(lcInterProc)
