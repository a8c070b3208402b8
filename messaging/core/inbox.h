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

private:
    void scheduleDispatch();
    void dispatch();

    struct Entry
    {
        Payload payload;
        BusMessage call;
        QPointer<BusConnection> connection;
    };

    InterProcEndpoint *m_owner;
    QQueue<Entry> m_queue;
    bool m_scheduled = false;
    bool m_dispatching = false;
};
