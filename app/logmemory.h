// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// How much memory the received-data log may take. Other programs decide
// what arrives, so the log has a fixed budget: what is shown and what it
// keeps in memory for copying are counted against it, large hidden texts
// go to a file of their own (see KeptTextFile) with a budget of its own,
// and past either the oldest lines are dropped, with a marker in the log
// and a line on standard error.
#pragma once

#include <QtGlobal>

namespace LogMemory {

// An eighth of the machine's memory, at least 64 MiB and at most 512 MiB;
// CALVORN_LOG_MEMORY_MIB (a whole number of MiB, at least 1) sets it
// instead.
qint64 budgetBytes();

// What the file of hidden texts may hold: four times the memory budget.
qint64 fileBudgetBytes(qint64 memoryBudget);

// Estimates of what the log costs, measured with a flood of short entries
// and of long lines: a line (a block with its layout) and a character shown
// (its UTF-16 unit and its share of the layout).
inline constexpr qint64 BytesPerLine = 640;
inline constexpr qint64 BytesPerChar = 4;
// A hidden text kept in memory: its UTF-16 units and its bookkeeping.
inline constexpr qint64 BytesPerHidden = 256;

} // namespace LogMemory
