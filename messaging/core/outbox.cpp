#include "outbox.h"

#include "buscontract.h"
#include "channelrouter.h"
#include "foreigntext.h"
#include "interprocendpoint.h"
#include "interprocendpoint_p.h"
#include "offthread.h"
#include "payloadtext.h"
#include "sendthread.h"
#include "windowdirectory.h"

#include <QDBusUnixFileDescriptor>
#include <QStringEncoder>

using namespace BusContract;

namespace {
const QString DeliverUtf8 = QStringLiteral("DeliverUtf8");
const QString DeliverSealed = QStringLiteral("DeliverSealed");
} // namespace

Outbox::Outbox(InterProcEndpointPrivate *endpoint) : QObject(endpoint), m_endpoint(endpoint)
{
    connect(endpoint->sender, &SendThread::answered, this,
            [this](const SendThread::Outcome &outcome) {
                const bool direct = !outcome.channel.isEmpty();
                if (!direct)
                    m_endpoint->channels->busDeliveryAnswered(outcome.owner);
                if (!outcome.error.isValid()) {
                    emit m_endpoint->q->delivered(outcome.handle, outcome.caption);
                    return;
                }
                if (direct)
                    m_endpoint->channels->directDeliveryFailed(outcome.owner);
                reportUndelivered(outcome.handle, outcome.caption,
                                  failureReason(outcome.error, outcome.elapsedMs, direct));
            });
}

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

bool Outbox::nothingSent(const QString &why)
{
    m_endpoint->reportFailure(QStringLiteral("Nothing was sent: %1").arg(why));
    return false;
}

// One send's payload and addressees, from Send until its calls are made.
struct Outbox::Queued
{
    QList<WindowInfo> addressees;
    QString senderName;
    qint32 longData = 0;
    bool ready = false;
    bool sealed = false;
    QByteArray utf8;              // a text that travels inside the message
    QDBusUnixFileDescriptor text; // or one in a sealed memfd
    qint64 size = 0;
    QString error; // why the text cannot be sent; then it goes to nobody
};

namespace {

struct SealedText
{
    QDBusUnixFileDescriptor fd;
    qint64 size = 0;
    QString error;
};

// bytes is the exact size as UTF-8, or a lower bound for it.
QString tooLarge(qint64 bytes, bool exact)
{
    return QStringLiteral("StringData takes %1 bytes%2 as UTF-8; at most %3 bytes can be sent")
        .arg(bytes)
        .arg(exact ? QString() : QStringLiteral(" or more"))
        .arg(MaxTextBytes);
}

// Runs on a worker thread.
SealedText sealText(const QString &text)
{
    SealedText sealed;
    PayloadText::UniqueFd fd =
        PayloadText::createSealedMemfd(QStringView(text), &sealed.size, &sealed.error);
    if (fd.isValid() && sealed.size > MaxTextBytes)
        sealed.error = tooLarge(sealed.size, true);
    else if (fd.isValid())
        sealed.fd.giveFileDescriptor(fd.release());
    return sealed;
}

} // namespace

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
    const int count = int(addressees.size());
    auto queued = std::make_shared<Queued>();
    queued->addressees = std::move(addressees);
    queued->senderName = payload.senderName;
    queued->longData = payload.longData;

    // Short texts travel inside the message. Each UTF-16 unit takes at least
    // one byte of UTF-8, so a longer text cannot be short enough.
    if (payload.stringData.size() <= InlineTextLimit) {
        // The same encoder as for large texts, so that a lone surrogate
        // becomes U+FFFD whatever the length of the text.
        QStringEncoder encoder(QStringEncoder::Utf8, QStringEncoder::Flag::Stateless);
        queued->utf8 = encoder.encode(payload.stringData);
        if (queued->utf8.size() <= InlineTextLimit) {
            queued->ready = true;
            m_queue.push_back(std::move(queued));
            issueReady();
            return count;
        }
        queued->utf8.clear();
    }
    return sendSealed(payload, queued) ? count : 0;
}

bool Outbox::sendSealed(const Outgoing &payload, const QueuedPtr &queued)
{
    if (!(m_endpoint->connection.connectionCapabilities() &
          QDBusConnection::UnixFileDescriptorPassing))
        return nothingSent(QStringLiteral("the session bus connection cannot pass file "
                                          "descriptors, which texts over %1 bytes need.")
                               .arg(InlineTextLimit));
    const QString &text = payload.stringData;
    if (text.size() > MaxTextBytes)
        return nothingSent(tooLarge(text.size(), false) + QLatin1Char('.'));

    // Encoding up to hundreds of MiB takes far too long for the owner's
    // thread. The worker reads its own reference to the text, which the
    // owner may change meanwhile; later sends queue up behind this one.
    queued->sealed = true;
    m_queue.push_back(queued);
    runOffThread(
        this, [text] { return sealText(text); },
        [this, queued](const SealedText &sealed) {
            queued->text = sealed.fd;
            queued->size = sealed.size;
            queued->error = sealed.error;
            queued->ready = true;
            issueReady();
        });
    return true;
}

void Outbox::issueReady()
{
    while (!m_queue.empty() && m_queue.front()->ready) {
        const QueuedPtr next = std::move(m_queue.front());
        m_queue.pop_front();
        issue(*next);
    }
}

void Outbox::issue(const Queued &queued)
{
    for (const WindowInfo &window : queued.addressees) {
        if (!queued.error.isEmpty()) {
            reportUndelivered(window.handle, window.caption, queued.error);
            continue;
        }
        SendThread::Delivery delivery;
        delivery.service = window.owner;
        delivery.channel = m_endpoint->channels->route(window);
        delivery.senderHandle = m_endpoint->handle;
        delivery.senderName = queued.senderName;
        delivery.longData = queued.longData;
        if (queued.sealed) {
            // One sealed copy serves every receiver: each reads it through
            // its own mapping, never through the shared file offset.
            delivery.method = DeliverSealed;
            delivery.text = QVariant::fromValue(queued.text);
            delivery.size = QVariant::fromValue(qulonglong(queued.size));
        } else {
            delivery.method = DeliverUtf8;
            delivery.text = queued.utf8;
        }
        m_endpoint->sender->call(delivery, window.handle, window.caption);
    }
}

void Outbox::reportUndelivered(qint32 handle, const QString &caption, const QString &reason)
{
    emit m_endpoint->q->deliveryFailed(handle, caption, reason);
    m_endpoint->reportFailure(
        QStringLiteral("A payload was not delivered to \"%1\" (window %2): %3.")
            .arg(caption)
            .arg(handle)
            .arg(reason));
}

QString Outbox::failureReason(const QDBusError &error, qint64 elapsedMs, bool direct)
{
    // A direct channel closes when the window's end of it goes away; the
    // bus connection is not concerned.
    if (direct && error.type() == QDBusError::Disconnected && m_endpoint->connection.isConnected())
        return QStringLiteral("the window went away before it took the payload");
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
        return ForeignText::remoteError(error);
    }
}
