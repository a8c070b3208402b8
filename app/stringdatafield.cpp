// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "stringdatafield.h"

#include "typedkey.h"

#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QMouseEvent>

#include <limits>
#include <utility>

StringDataField::StringDataField(QLineEdit *edit) : QObject(edit), m_edit(edit)
{
    edit->setMaxLength(std::numeric_limits<int>::max());
    edit->installEventFilter(this);
    // Once the user changes the emptied field, Undo is the line edit's again.
    connect(edit, &QLineEdit::textEdited, this, [this] { m_released.reset(); });
}

QString StringDataField::text() const
{
    return m_held ? *m_held : m_edit->text();
}

bool StringDataField::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_edit)
        return false;

    switch (event->type()) {
    case QEvent::KeyPress: {
        const auto &key = *static_cast<QKeyEvent *>(event);
        if (m_held)
            return heldKeyPress(key);
        if (key.matches(QKeySequence::Undo) && m_released && m_edit->text().isEmpty()) {
            hold(*std::exchange(m_released, std::nullopt));
            return true;
        }
        return key.matches(QKeySequence::Paste) && paste(QClipboard::Clipboard);
    }
    case QEvent::ContextMenu:
        showContextMenu(static_cast<QContextMenuEvent *>(event)->globalPos());
        return true;
    case QEvent::MouseButtonRelease: {
        // On X11 the middle button pastes the selection at the caret, which
        // the press has put under the mouse.
        const auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() != Qt::MiddleButton ||
            !QGuiApplication::clipboard()->supportsSelection() ||
            !m_edit->rect().contains(mouse->position().toPoint()))
            return false;
        m_edit->deselect();
        return paste(QClipboard::Selection);
    }
    default:
        return false;
    }
}

bool StringDataField::paste(QClipboard::Mode mode)
{
    const QString pasted = QGuiApplication::clipboard()->text(mode);
    if (m_held) {
        // The held text is replaced as a whole, as if it were selected.
        if (pasted.size() > ShowLimit) {
            hold(pasted);
        } else if (!pasted.isEmpty()) {
            release();
            m_edit->insert(pasted);
        }
        return true;
    }
    const qsizetype start =
        m_edit->hasSelectedText() ? m_edit->selectionStart() : m_edit->cursorPosition();
    const qsizetype replaced = m_edit->selectionLength();
    if (m_edit->text().size() - replaced + pasted.size() <= ShowLimit)
        return false;
    QString whole = m_edit->text();
    hold(whole.replace(start, replaced, pasted));
    return true;
}

bool StringDataField::heldKeyPress(const QKeyEvent &key)
{
    if (key.matches(QKeySequence::Paste))
        return paste(QClipboard::Clipboard);
    if (key.matches(QKeySequence::Copy)) {
        copyHeld();
        return true;
    }
    if (key.matches(QKeySequence::Cut)) {
        copyHeld();
        release();
        return true;
    }
    if (key.key() == Qt::Key_Delete || key.key() == Qt::Key_Backspace) {
        release();
        return true;
    }
    // A typed character replaces the held text; the line edit, editable
    // again, types it.
    if (typesCharacters(key))
        release();
    return false; // moving the caret in the read-only line edit changes nothing
}

void StringDataField::hold(const QString &text)
{
    m_held = text;
    m_edit->setReadOnly(true);
    m_edit->setText(QStringLiteral("[%1 of text, kept whole: Delete clears it]")
                        .arg(QLocale().formattedDataSize(text.toUtf8().size())));
    m_edit->setCursorPosition(0);
    m_edit->setToolTip(QStringLiteral("The pasted text is too long to show here. It is kept and "
                                      "sent exactly as pasted. Delete or Backspace clears it, "
                                      "typing or pasting replaces it, Ctrl+C copies it."));
}

void StringDataField::release()
{
    m_released = std::exchange(m_held, std::nullopt);
    // setText, unlike clear, also forgets the line edit's undo steps: they
    // hold only the size marker, which undo would bring back as text.
    m_edit->setText(QString());
    m_edit->setReadOnly(false);
    m_edit->setToolTip(QString());
}

void StringDataField::copyHeld() const
{
    QGuiApplication::clipboard()->setText(*m_held);
}

void StringDataField::showContextMenu(const QPoint &globalPos)
{
    QMenu *menu = nullptr;
    const auto pasteAction = [this] {
        if (!paste(QClipboard::Clipboard))
            m_edit->paste();
    };
    if (m_held) {
        // The line edit's own menu would copy what it shows instead.
        menu = new QMenu(m_edit);
        connect(menu->addAction(QLineEdit::tr("&Copy")), &QAction::triggered, this,
                &StringDataField::copyHeld);
        QAction *paste = menu->addAction(QLineEdit::tr("&Paste"));
        paste->setEnabled(!QGuiApplication::clipboard()->text().isEmpty());
        connect(paste, &QAction::triggered, this, pasteAction);
        connect(menu->addAction(QLineEdit::tr("Delete")), &QAction::triggered, this,
                &StringDataField::release);
    } else {
        // The line edit's own menu, with its Paste going through paste().
        // Qt connects that item to the slot by its name; the item whose
        // connection goes (by name or, should Qt change it, by member) is it.
        menu = m_edit->createStandardContextMenu();
        for (QAction *action : menu->actions()) {
            if (disconnect(action, SIGNAL(triggered()), m_edit, SLOT(paste())) ||
                disconnect(action, &QAction::triggered, m_edit, &QLineEdit::paste))
                connect(action, &QAction::triggered, this, pasteAction);
        }
    }
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(globalPos);
}
