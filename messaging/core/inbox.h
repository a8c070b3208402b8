// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The payloads that have arrived for an endpoint and wait for its owner:
// handed over one at a time from the owner's event loop, never inside a
// previous handler, and in slices short enough to keep the owner responsive.
// Each call is answered as its payload is handed over, so that a sender
// never counts as delivered a payload that an endpoint ending (or killed)
// never raised; what still waits here is no sender's delivered payload.
#pragma once

#include "busconnection.h"

#include <QObject>
#include <QPointer>
#include <QQueue>
#include <QString>

class InterProcEndpoint;

struct Payload
{
    qint32 senderHandle = 0;
    QString senderName;
    qint32 longData = 0;
    QString stringData;
};

class Inbox : public QObject
{
    Q_OBJECT

public:
    // DataArrival is raised on owner.
    Inbox(InterProcEndpoint *owner, QObject *parent);

    // Queues a payload; DataArrival follows from the event loop, and the
    // call (null when it wants no answer) is answered on `connection` just
    // before.
    void enqueue(Payload payload, const BusMessage &call, BusConnection *connection);

    // What may wait here at once: past either bound a program slower than
    // its senders has new payloads refused rather than its memory grow
    // without end. Only texts that came inside their call count towards
    // the bytes; Admission lets large texts from memfds in one at a time.
    static constexpr qsizetype MaxWaiting = 65536;
    static constexpr qint64 MaxWaitingTextBytes = qint64(64) * 1024 * 1024;
    bool isFull() const
    {
        return m_queue.size() >= MaxWaiting || m_textBytes >= MaxWaitingTextBytes;
    }

private:
    void scheduleDispatch();
    void dispatch();

    struct Entry
    {
        Payload payload;
        BusMessage call;
        QPointer<BusConnection> connection;
        qint64 textBytes = 0; // counted towards MaxWaitingTextBytes
    };

    InterProcEndpoint *m_owner;
    QQueue<Entry> m_queue;
    qint64 m_textBytes = 0;
    bool m_scheduled = false;
    bool m_dispatching = false;
};
