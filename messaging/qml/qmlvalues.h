// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// Checks of the values QML code assigns to the InterProcEndpoint type's
// properties. QML converts numbers to int without a word (2.5 becomes 2,
// 2^40 becomes 0), so the properties take any value and these checks decide,
// in place of a silent conversion, whether it is one the property can hold.
#pragma once

#include <QString>
#include <QVariant>

#include <optional>

namespace QmlValues {

// The value as a 32-bit signed number, when it is a number (not a text or a
// Boolean) without a fraction and within that range.
std::optional<qint32> wholeNumber(const QVariant &value);

// A value as a message names it: the text "abc", 2.5, true, undefined.
QString describe(const QVariant &value);

} // namespace QmlValues
