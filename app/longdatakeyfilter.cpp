// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "longdatakeyfilter.h"

#include "longdata.h"
#include "typedkey.h"

#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLineEdit>

LongDataKeyFilter::LongDataKeyFilter(QLineEdit *edit) : QObject(edit), m_edit(edit)
{
    edit->installEventFilter(this);
}

bool LongDataKeyFilter::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_edit)
        return false;

    if (event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if (!typesCharacters(*key))
            return false;
        const QString typed = key->text();
        const QString admitted = admittedLongDataKeys(typed);
        if (admitted == typed)
            return false;
        // A key that types several characters keeps those that are admitted.
        if (!admitted.isEmpty())
            m_edit->insert(admitted);
        return true;
    }

    // Characters composed by an input method are typed characters too.
    if (event->type() == QEvent::InputMethod) {
        auto *im = static_cast<QInputMethodEvent *>(event);
        const QString admitted = admittedLongDataKeys(im->commitString());
        if (admitted != im->commitString())
            im->setCommitString(admitted, im->replacementStart(), im->replacementLength());
    }
    return false;
}
