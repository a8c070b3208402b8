// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// Lets the StringData line edit take a text of any length. A line edit lays
// out its whole text on every change and every repaint: with a million
// characters each key takes a quarter of a second and a repaint one and a
// half, with 16 MiB a paste takes ten seconds and a repaint twenty. So a
// paste that would make the text longer than ShowLimit characters is held
// here, whole, instead: the line edit then only says how large the text is
// and is read-only. Delete or Backspace gives the empty field back (Undo
// right after brings the held text back), typing or a new paste replaces
// the text, and Copy copies it. Nothing is ever cut:
// the line edit's own maximum length is lifted for what it still takes in
// other ways (drops, input methods).
#pragma once

#include <QClipboard>
#include <QObject>
#include <QString>

#include <optional>

class QKeyEvent;
class QLineEdit;
class QPoint;

class StringDataField : public QObject
{
    Q_OBJECT
public:
    // Longest text that the line edit keeps itself: Qt's default maximum
    // length of a line edit.
    static constexpr int ShowLimit = 32767;

    // Looks after edit for as long as both live.
    explicit StringDataField(QLineEdit *edit);

    // The field's text as the user gave it: the held text, or else the line
    // edit's.
    QString text() const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // Pastes the clipboard's text in place of the selection, holding the
    // result if it is too long to show. False when the line edit may paste
    // it itself.
    bool paste(QClipboard::Mode mode);
    bool heldKeyPress(const QKeyEvent &key);
    void hold(const QString &text);
    void release();
    void copyHeld() const;
    void showContextMenu(const QPoint &globalPos);

    QLineEdit *m_edit;
    std::optional<QString> m_held;
    std::optional<QString> m_released; // the held text, while Undo can bring it back
};
