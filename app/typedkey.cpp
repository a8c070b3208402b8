// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "typedkey.h"

#include <QKeyEvent>

#include <algorithm>

bool typesCharacters(const QKeyEvent &key)
{
    if (key.modifiers() & (Qt::ControlModifier | Qt::MetaModifier))
        return false;
    const QString text = key.text();
    return std::any_of(text.cbegin(), text.cend(),
                       [](QChar c) { return c.category() != QChar::Other_Control; });
}
