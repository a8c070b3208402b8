#include "outbox.h"

#include "buscontract.h"
#include "interproc_proxy.h"
#include "interprocendpoint.h"
#include "interprocendpoint_p.h"
#include "payloadtext.h"
#include "windowdirectory.h"

#include <QDBusPendingCallWatcher>
#include <QElapsedTimer>
#include <QStringEncoder>

using namespace BusContract;

Outbox::Outbox(InterProcEndpointPrivate *endpoint) : QObject(endpoint), m_endpoint(endpoint)
{}

int Outbox::send(Outgoing payload)
{
    if (!m_endpoint->directory->isReady()) {
        m_heldBack.append(std::move(payload));
        return -1;
    }
    return sendNow(payload);
}

void Outbox::sendHeldBack()
{
    const QList<Outgoing> heldBack = std::exchange(m_heldBack, {});
    for (const Outgoing &payload : heldBack)
        sendNow(payload);
}

int Outbox::nothingSent(const QString &why)
{
    m_endpoint->reportFailure(QStringLiteral("Nothing was sent: %1").arg(why));
    return 0;
}

int Outbox::sendNow(const Outgoing &payload)
{
    QList<WindowInfo> addressees;
    for (const WindowInfo &window : m_endpoint->directory->match(payload.method, payload.target)) {
        bool skip = false;
        emit m_endpoint->q->WindowCheck(window.handle, window.caption, skip);
        if (!skip)
            addressees.append(window);
    }
    if (addressees.isEmpty())
        return 0;

    // Short texts travel inside the message. Each UTF-16 unit takes at least
    // one byte of UTF-8, so a longer text cannot be short enough.
    if (payload.stringData.size() <= InlineTextLimit) {
        // The same encoder as for large texts, so that a lone surrogate
        // becomes U+FFFD whatever the length of the text.
        QStringEncoder encoder(QStringEncoder::Utf8, QStringEncoder::Flag::Stateless);
        const QByteArray utf8 = encoder.encode(payload.stringData);
        if (utf8.size() <= InlineTextLimit) {
            for (const WindowInfo &window : addressees)
                watchDelivery(window.proxy->DeliverUtf8(m_endpoint->handle, payload.senderName,
                                                        payload.longData, utf8),
                              window);
            return int(addressees.size());
        }
    }
    return sendSealed(payload, addressees);
}

int Outbox::sendSealed(const Outgoing &payload, const QList<WindowInfo> &addressees)
{
    if (!(m_endpoint->connection.connectionCapabilities() &
          QDBusConnection::UnixFileDescriptorPassing))
        return nothingSent(QStringLiteral("the session bus connection cannot pass file "
                                          "descriptors, which texts over %1 bytes need.")
                               .arg(InlineTextLimit));
    auto tooLarge = [this](qint64 bytes) {
        return nothingSent(QStringLiteral("StringData takes %1 bytes or more as UTF-8; at most "
                                          "%2 bytes can be sent.")
                               .arg(bytes)
                               .arg(MaxTextBytes));
    };
    const QString &text = payload.stringData;
    if (text.size() > MaxTextBytes)
        return tooLarge(text.size());
    QString error;
    qint64 size = 0;
    PayloadText::UniqueFd fd = PayloadText::createSealedMemfd(QStringView(text), &size, &error);
    if (!fd.isValid())
        return nothingSent(error);
    if (size > MaxTextBytes)
        return tooLarge(size);
    // One sealed copy serves every receiver: each reads it through its own
    // mapping, never through the shared file offset.
    const QDBusUnixFileDescriptor shared(fd.get());
    for (const WindowInfo &window : addressees)
        watchDelivery(window.proxy->DeliverSealed(m_endpoint->handle, payload.senderName,
                                                  payload.longData, shared, qulonglong(size)),
                      window);
    return int(addressees.size());
}

void Outbox::watchDelivery(const QDBusPendingCall &call, const WindowInfo &window)
{
    auto *watcher = new QDBusPendingCallWatcher(call, this);
    const qint32 handle = window.handle;
    const QString caption = window.caption;
    QElapsedTimer sent;
    sent.start();
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, handle, caption, sent](QDBusPendingCallWatcher *w) {
                w->deleteLater();
                if (!w->isError()) {
                    emit m_endpoint->q->delivered(handle, caption);
                    return;
                }
                const QString reason = failureReason(w->error(), sent.elapsed());
                emit m_endpoint->q->deliveryFailed(handle, caption, reason);
                m_endpoint->reportFailure(
                    QStringLiteral("A payload was not delivered to \"%1\" (window %2): %3.")
                        .arg(caption)
                        .arg(handle)
                        .arg(reason));
            });
}

QString Outbox::failureReason(const QDBusError &error, qint64 elapsedMs)
{
    switch (error.type()) {
    case QDBusError::NoReply:
        // The bus gives the same error when the window's connection closes
        // (it ended or was killed) before it answered.
        if (elapsedMs < DeliveryTimeoutMs - 1000)
            return QStringLiteral("the window went away before it took the payload");
        [[fallthrough]];
    case QDBusError::Timeout:
    case QDBusError::TimedOut:
        // The call stays queued for the window: a frozen window still takes
        // it once it runs again.
        return QStringLiteral("it has not taken the payload within %1 seconds; it is busy or "
                              "stopped and gets the payload if it runs again")
            .arg(DeliveryTimeoutMs / 1000);
    case QDBusError::ServiceUnknown:
    case QDBusError::UnknownObject:
        return QStringLiteral("the window is gone");
    case QDBusError::Disconnected:
        QMetaObject::invokeMethod(
            m_endpoint, [endpoint = m_endpoint] { endpoint->checkConnection(); },
            Qt::QueuedConnection);
        return QStringLiteral("the session bus connection is lost");
    default:
        return error.message();
    }
}
