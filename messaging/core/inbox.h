// The payloads that have arrived for an endpoint and wait for its owner:
// handed over one at a time from the owner's event loop, never inside a
// previous handler, and in slices short enough to keep the owner responsive.
#pragma once

#include <QObject>
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

    // Queues a payload; DataArrival follows from the event loop.
    void enqueue(Payload payload);

private:
    void scheduleDispatch();
    void dispatch();

    InterProcEndpoint *m_owner;
    QQueue<Payload> m_queue;
    bool m_scheduled = false;
    bool m_dispatching = false;
};
