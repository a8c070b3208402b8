// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// Reading the LongData field: which typed characters it admits and how its
// text becomes the 32-bit number that is sent.
#pragma once

#include <QString>
#include <QStringView>

#include <optional>

// True for the characters that may be typed into the LongData field: control
// characters (Backspace and the like), "-" and the digits 0 to 9.
bool isLongDataKey(QChar c);

// The characters of typed that the field admits, in order.
QString admittedLongDataKeys(QStringView typed);

// Reads the number at the start of text and rounds it to a 32-bit integer.
// Blanks, tabs and line feeds are ignored wherever they stand; then come an
// optional sign, digits, an optional "." with more digits, and an optional
// exponent ("E" or "e", optional sign, at least one digit). Reading stops at
// the first character that cannot continue the number, and text without a
// number reads 0. Halves round to the even neighbour. Returns nullopt when the
// rounded value lies outside the 32-bit signed range.
std::optional<qint32> parseLongData(QStringView text);
