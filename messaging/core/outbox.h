// Sending: picks the addressees of a payload from the directory, lets the
// owner skip any through WindowCheck, and hands the payload to each as an
// asynchronous call whose failure is reported, never waited for.
#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QVariant>

class InterProcEndpointPrivate;
class QDBusError;
class QDBusPendingCall;
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
    int sendNow(const Outgoing &payload);
    int sendSealed(const Outgoing &payload, const QList<WindowInfo> &addressees);
    void watchDelivery(const QDBusPendingCall &call, const WindowInfo &window);
    // Why a delivery failed, for the user; elapsedMs since the call went out.
    QString failureReason(const QDBusError &error, qint64 elapsedMs);
    int nothingSent(const QString &why);

    InterProcEndpointPrivate *m_endpoint;
    QList<Outgoing> m_heldBack; // sent before the directory was loaded
};
