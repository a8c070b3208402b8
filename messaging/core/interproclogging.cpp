// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "interproclogging.h"

Q_LOGGING_CATEGORY(lcInterProc, "calvorn.interproc", QtWarningMsg)
