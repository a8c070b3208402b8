// Sending: picks the addressees of a payload from the directory, lets the
// owner skip any through WindowCheck, and hands the payload to each as an
// asynchronous call, made by the endpoint's SendThread, whose failure is
// reported, never waited for. A text that travels in a sealed memfd is
// written there on a worker thread; the calls of later sends wait behind
// it, so that every receiver gets the payloads in the order of the sends.
// Each call goes over the bus or a direct channel, as the channel router
// says.
#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QVariant>

#include <deque>
#include <memory>

class InterProcEndpointPrivate;
class QDBusError;
struct WindowInfo;

class Outbox : public QObject
{
    Q_OBJECT

public:
    struct Outgoing
    {
        QVariant target;
        qint32 method = 0;
        qint32 longData = 0;
        QString stringData;
        QString senderName;
    };

    explicit Outbox(InterProcEndpointPrivate *endpoint);

    // Sends now when the directory is ready (returns the number of windows
    // addressed), or holds the payload back until it is (returns -1).
    int send(Outgoing payload);
    // Sends what was held back, in order.
    void sendHeldBack();

private:
    struct Queued;
    using QueuedPtr = std::shared_ptr<Queued>;

    int sendNow(const Outgoing &payload);
    // Queues a send whose text goes in a sealed memfd; false when it cannot.
    bool sendSealed(const Outgoing &payload, const QueuedPtr &queued);
    // Makes the calls of every send at the head of the queue whose text is ready.
    void issueReady();
    void issue(const Queued &queued);
    void reportUndelivered(qint32 handle, const QString &caption, const QString &reason);
    // Why a delivery failed, for the user; elapsedMs since the call went out.
    QString failureReason(const QDBusError &error, qint64 elapsedMs, bool direct);
    bool nothingSent(const QString &why);

    InterProcEndpointPrivate *m_endpoint;
    QList<Outgoing> m_heldBack;    // sent before the directory was loaded
    std::deque<QueuedPtr> m_queue; // sends whose calls are not made yet, in order
};
