// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The QML singleton InterProcConventions: the windows' acknowledgement rule
// of InterProc/interprocconventions.h for QML code. An endpoint does not
// acknowledge by itself; a QML program that answers as a window does uses
// these rather than writing the rule out a second time.
#pragma once

#include <QObject>
#include <QString>
#include <QtQml/qqmlregistration.h>

class QmlInterProcConventions : public QObject
{
    Q_OBJECT
    QML_NAMED_ELEMENT(InterProcConventions)
    QML_SINGLETON

public:
    using QObject::QObject;

    // Whether a received text is an acknowledgement, which is never answered.
    Q_INVOKABLE bool isAcknowledgement(const QString &stringData) const;
    // The acknowledgement naming its sender by caption: OK from "<caption>".
    Q_INVOKABLE QString acknowledgementText(const QString &caption) const;
};
