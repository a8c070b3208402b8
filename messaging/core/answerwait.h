// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// InterProcEndpoint::awaitAnswers: a wait, on the endpoint's own bus
// connection, until parties have answered what the endpoint delivered to
// them. It asks each of them to describe itself and then the endpoint
// itself; the last reply means everything they sent before their replies
// has been taken.
#pragma once

#include <QList>
#include <QObject>
#include <QPointer>

#include <functional>

class BusConnection;

class AnswerWait : public QObject
{
    Q_OBJECT

public:
    // Starts a wait that ends with done (in context's thread, from the event
    // loop, unless context is gone; without a context, on parent's thread)
    // and deletes itself. bus may be null (an
    // endpoint that never connected): done then follows at once. The wait
    // is a child of parent, which ends it unheard when destroyed.
    static void start(BusConnection *bus, qint32 ownHandle, const QList<qint32> &handles,
                      QObject *parent, QObject *context, std::function<void()> done);

private:
    AnswerWait(BusConnection *bus, qint32 ownHandle, QObject *parent, QObject *context,
               std::function<void()> done);
    void ask(qint32 handle, std::function<void()> then);
    void askSelf();
    void finish();

    BusConnection *m_bus;
    qint32 m_ownHandle;
    QPointer<QObject> m_context;
    std::function<void()> m_done;
    qsizetype m_asking = 0; // parties whose reply is still to come
};
