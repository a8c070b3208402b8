// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The text that `send --text-file` sends, from a file or standard input.
#pragma once

#include <QString>

#include <optional>

// Reads the file, or standard input for "-", on a worker thread while the
// caller's event loop keeps running (a slow pipe holds up nothing else).
// The bytes must be UTF-8 and at most InterProcEndpoint::maxTextBytes();
// they become the text exactly, NUL and a leading byte order mark included.
// nullopt, with *error set, when the file cannot be read or is not such a
// text.
std::optional<QString> readTextFile(const QString &path, QString *error);
