// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "qmlvalues.h"

#include <QMetaType>

#include <cmath>
#include <limits>

namespace QmlValues {

namespace {
bool isNumber(const QVariant &value)
{
    switch (value.metaType().id()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Double:
    case QMetaType::Float:
        return true;
    default:
        return false;
    }
}
} // namespace

std::optional<qint32> wholeNumber(const QVariant &value)
{
    if (!isNumber(value))
        return std::nullopt;
    // Every 32-bit number and every integral type's value that matters here
    // is exact as a double; the range check below refuses the rest.
    const double number = value.toDouble();
    if (!std::isfinite(number) || std::trunc(number) != number ||
        number < double(std::numeric_limits<qint32>::min()) ||
        number > double(std::numeric_limits<qint32>::max()))
        return std::nullopt;
    return qint32(number);
}

QString describe(const QVariant &value)
{
    if (!value.isValid())
        return QStringLiteral("undefined");
    if (value.metaType().id() == QMetaType::Nullptr)
        return QStringLiteral("null");
    if (value.metaType().id() == QMetaType::QString) {
        // A message names a value; it need not repeat a whole pasted text.
        constexpr qsizetype Shown = 40;
        const QString text = value.toString();
        if (text.size() <= Shown)
            return QStringLiteral("the text \"%1\"").arg(text);
        // Never half a surrogate pair.
        const qsizetype cut = text.at(Shown - 1).isHighSurrogate() ? Shown - 1 : Shown;
        return QStringLiteral("the text \"%1…\" (%2 characters)")
            .arg(text.left(cut), QString::number(text.size()));
    }
    if (value.metaType().id() == QMetaType::Bool)
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    if (isNumber(value))
        return QString::number(value.toDouble(), 'g', 17);
    return QStringLiteral("a value of type %1").arg(QLatin1String(value.typeName()));
}

} // namespace QmlValues
