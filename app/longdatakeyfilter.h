// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// Lets only the LongData characters (see isLongDataKey) be typed into a line
// edit. Keys that edit rather than type (Delete, Backspace, arrows, Home and
// End, shortcuts) and pasted or dropped text pass untouched.
#pragma once

#include <QObject>

class QLineEdit;

class LongDataKeyFilter : public QObject
{
    Q_OBJECT
public:
    // Filters edit's typed characters for as long as both live.
    explicit LongDataKeyFilter(QLineEdit *edit);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QLineEdit *m_edit;
};
