// The bus messages an endpoint sends itself: its Deliver* calls to other
// windows and the replies to the calls it took. A thread of the endpoint's
// own builds and sends them, in the order they were handed over, and
// watches the calls for their answers, so that under a flood the owner's
// thread neither marshals messages nor keeps an object per call; the
// outcomes come back to the owner's thread in batches. The few messages of
// a quiet moment are sent at once from the owner's thread, without the
// detour.
#pragma once

#include <QAtomicInt>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QThread>
#include <QTimer>
#include <QVariant>

#include <vector>

class SendThread : public QObject
{
    Q_OBJECT

public:
    SendThread(const QDBusConnection &connection, QObject *parent);
    ~SendThread() override;

    // A payload for another window, whose Deliver* call the thread builds.
    struct Delivery
    {
        QString service; // the unique name of the window's connection
        QString channel; // the direct channel's connection name, or empty for the bus
        QString method;
        qint32 senderHandle = 0;
        QString senderName;
        qint32 longData = 0;
        QVariant text;
        QVariant size; // for a text in a sealed memfd only
    };

    // How a call to a window ended.
    struct Outcome
    {
        qint32 handle = 0;
        QString caption;
        QString owner;    // Delivery::service
        QString channel;  // Delivery::channel
        QDBusError error; // not valid on success
        qint64 elapsedMs = 0;
    };

    // Calls the window; the outcome comes back as answered().
    void call(const Delivery &delivery, qint32 handle, const QString &caption);
    // The answer to a call this endpoint took, on the connection it came on.
    void reply(const QDBusMessage &call, const QDBusConnection &connection);
    void send(const QDBusMessage &message, const QDBusConnection &connection);

    // Sends everything handed over and stops the thread; what comes later
    // is sent at once from the caller's thread and never reported.
    void finish();

signals:
    // Raised on the owner's thread.
    void answered(const SendThread::Outcome &outcome);

private:
    struct Item
    {
        enum Kind { Call, Reply, Send };
        Kind kind = Send;
        QDBusMessage message;                  // a reply, or the call to answer
        QDBusConnection connection{QString()}; // for a reply or a message
        Delivery delivery;
        qint32 handle = 0;
        QString caption;
    };
    class Worker;

    void queue(Item item);
    void handOver();
    void takeOutcomes();
    void tell(const Outcome &outcome);

    QDBusConnection m_connection;
    QString m_connectionName;
    QString m_ownName; // the connection's unique name
    QThread m_thread;
    Worker *m_worker = nullptr;
    // Handed over once the owner's event loop runs again: one wake-up of
    // the thread for every payload of a slice, not one each.
    std::vector<Item> m_queued;
    QTimer m_handOver;
    QAtomicInt m_inWorker; // handed over, not sent yet
    int m_sentAtOnce = 0;  // in this pass of the owner's event loop

    QMutex m_outcomesLock;
    std::vector<Outcome> m_outcomes; // guarded by m_outcomesLock
};
