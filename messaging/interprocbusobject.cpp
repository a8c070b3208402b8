#include "interprocbusobject.h"

#include "buscontract.h"
#include "interproc.h"
#include "interproc_adaptor.h"
#include "interproc_proxy.h"
#include "interproclogging.h"
#include "payloadtext.h"
#include "windowdirectory.h"

#include <QAtomicInt>
#include <QDBusConnectionInterface>
#include <QDBusPendingCallWatcher>
#include <QElapsedTimer>
#include <QEvent>
#include <QMessageBox>
#include <QRandomGenerator>
#include <QStringEncoder>
#include <QTimer>
#include <QWidget>

#include <limits>

using namespace BusContract;

namespace {
// Arrivals are handed to the window in slices of at most this long, so that
// a flood of payloads never stalls the window's own events.
constexpr qint64 DispatchSliceMs = 8;
constexpr int HandleAttempts = 32;
// How often the instance looks whether its bus connection still stands.
constexpr int ConnectionCheckMs = 1000;

QString nextConnectionName()
{
    static QAtomicInt counter;
    return QStringLiteral("calvorn-interproc-%1").arg(counter.fetchAndAddRelaxed(1));
}

// D-Bus strings cannot hold NUL; a caption is sent with U+FFFD in its place.
QString busSafe(QString text)
{
    return text.replace(QChar(u'\0'), QChar(QChar::ReplacementCharacter));
}
} // namespace

InterProcBusObject::InterProcBusObject(InterProc *q, QWidget *host)
    : q(q), m_window(host ? host->window() : nullptr), m_connectionName(nextConnectionName()),
      m_connection(QString())
{
    if (m_window) {
        m_caption = busSafe(m_window->windowTitle());
        m_window->installEventFilter(this);
    }
    connectToBus();
}

InterProcBusObject::~InterProcBusObject()
{
    if (m_window)
        m_window->removeEventFilter(this);
    if (m_connection.isConnected()) {
        m_connection.unregisterObject(QLatin1String(ObjectPath));
        if (m_handle > 0)
            m_connection.interface()->unregisterService(serviceForHandle(m_handle));
    }
    delete m_directory;
    m_connection = QDBusConnection(QString());
    QDBusConnection::disconnectFromBus(m_connectionName);
}

void InterProcBusObject::connectToBus()
{
    // A connection of its own: its unique name identifies this window alone,
    // which is what receivers check a sender's handle against.
    m_connection = QDBusConnection::connectToBus(QDBusConnection::SessionBus, m_connectionName);
    if (!m_connection.isConnected()) {
        const QDBusError error = m_connection.lastError();
        m_error = QStringLiteral("Cannot connect to the D-Bus session bus: %1")
                      .arg(error.isValid() ? error.message()
                                           : QStringLiteral("no session bus address is set"));
        return;
    }

    new InterProcAdaptor(this);
    // Exported before the name is taken, so that whoever sees the name can
    // call the object at once.
    if (!m_connection.registerObject(QLatin1String(ObjectPath), this,
                                     QDBusConnection::ExportAdaptors)) {
        m_error = QStringLiteral("Cannot export the messaging object on the session bus.");
        return;
    }
    if (!claimHandle())
        return;

    m_directory = new WindowDirectory(m_connection, this);
    connect(m_directory, &WindowDirectory::ready, this, &InterProcBusObject::sendDeferred);
    m_directory->start(m_handle, m_caption);
    m_connected = true;
    emit CaptionChanged(m_handle, m_caption);

    // QtDBus has no signal for a lost connection (the bus daemon ended);
    // failed calls tell at once, and this check tells an idle instance.
    m_connectionCheck = new QTimer(this);
    connect(m_connectionCheck, &QTimer::timeout, this, &InterProcBusObject::checkConnection);
    m_connectionCheck->start(ConnectionCheckMs);
    qCDebug(lcInterProc) << "window" << m_handle << "on the bus as" << m_connection.baseService();
}

bool InterProcBusObject::claimHandle()
{
    // The bus hands each name to one connection only, which makes the
    // handle unique in the session without any shared file or counter.
    for (int attempt = 0; attempt < HandleAttempts; ++attempt) {
        const qint32 candidate = qint32(
            QRandomGenerator::system()->bounded(1u, quint32(std::numeric_limits<qint32>::max())));
        const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply =
            m_connection.interface()->registerService(
                serviceForHandle(candidate), QDBusConnectionInterface::DontQueueService,
                QDBusConnectionInterface::DontAllowReplacement);
        if (!reply.isValid()) {
            m_error = QStringLiteral("The session bus refused a window name: %1")
                          .arg(reply.error().message());
            return false;
        }
        if (reply.value() == QDBusConnectionInterface::ServiceRegistered) {
            m_handle = candidate;
            return true;
        }
    }
    m_error = QStringLiteral("No free window handle was found on the session bus.");
    return false;
}

bool InterProcBusObject::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_window && event->type() == QEvent::WindowTitleChange) {
        m_caption = busSafe(m_window->windowTitle());
        if (m_directory) {
            m_directory->setOwnCaption(m_caption);
            emit CaptionChanged(m_handle, m_caption);
        }
    }
    return QObject::eventFilter(watched, event);
}

void InterProcBusObject::checkConnection()
{
    if (m_connected && !m_connection.isConnected())
        loseConnection();
}

void InterProcBusObject::loseConnection()
{
    if (!m_connected)
        return;
    m_connected = false;
    m_connectionCheck->stop();
    m_error = QStringLiteral("The connection to the D-Bus session bus was lost.");
    reportFailure(m_error + QStringLiteral(" This window can no longer send or receive payloads."));
    emit q->connectionLost();
}

void InterProcBusObject::reportFailure(const QString &message)
{
    qCDebug(lcInterProc) << message;
    emit q->errorOccurred(message);
}

bool InterProcBusObject::isReady() const
{
    return m_connected && m_directory && m_directory->isReady();
}

int InterProcBusObject::send()
{
    if (!isConnected()) {
        reportFailure(QStringLiteral("Nothing was sent: %1").arg(m_error));
        return 0;
    }
    if (searchMethod < InterProc::ExactCaption || searchMethod > InterProc::WindowHandle) {
        reportFailure(QStringLiteral("Nothing was sent: TargetSearchMethod %1 is not 0, 1 or 2.")
                          .arg(searchMethod));
        return 0;
    }
    // The payload as it is now: neither later property changes nor handlers
    // of WindowCheck change this send.
    Outgoing payload{target, searchMethod, longData, stringData, m_caption};
    if (!m_directory->isReady()) {
        m_deferred.append(std::move(payload));
        return -1;
    }
    return sendNow(payload);
}

void InterProcBusObject::sendDeferred()
{
    const QList<Outgoing> deferred = std::exchange(m_deferred, {});
    for (const Outgoing &payload : deferred)
        sendNow(payload);
    emit q->ready();
}

int InterProcBusObject::sendNow(const Outgoing &payload)
{
    const QString &text = payload.stringData;
    const qint32 number = payload.longData;
    const qint32 method = payload.method;
    const QVariant &target = payload.target;

    QList<WindowInfo> addressees;
    for (const WindowInfo &window : m_directory->match(method, target)) {
        bool skip = false;
        emit q->WindowCheck(window.handle, window.caption, skip);
        if (!skip)
            addressees.append(window);
    }
    if (addressees.isEmpty())
        return 0;

    const QString &senderName = payload.senderName;

    // Short texts travel inside the message. Each UTF-16 unit takes at least
    // one byte of UTF-8, so a longer text cannot be short enough.
    if (text.size() <= InlineTextLimit) {
        // The same encoder as for large texts, so that a lone surrogate
        // becomes U+FFFD whatever the length of the text.
        QStringEncoder encoder(QStringEncoder::Utf8, QStringEncoder::Flag::Stateless);
        const QByteArray utf8 = encoder.encode(text);
        if (utf8.size() <= InlineTextLimit) {
            for (const WindowInfo &window : addressees)
                watchDelivery(window.proxy->DeliverUtf8(m_handle, senderName, number, utf8),
                              window);
            return int(addressees.size());
        }
    }

    if (!(m_connection.connectionCapabilities() & QDBusConnection::UnixFileDescriptorPassing)) {
        reportFailure(QStringLiteral("Nothing was sent: the session bus connection cannot pass "
                                     "file descriptors, which texts over %1 bytes need.")
                          .arg(InlineTextLimit));
        return 0;
    }
    auto tooLarge = [this](qint64 bytes) {
        reportFailure(QStringLiteral("Nothing was sent: StringData takes %1 bytes or more as "
                                     "UTF-8; at most %2 bytes can be sent.")
                          .arg(bytes)
                          .arg(MaxTextBytes));
        return 0;
    };
    if (text.size() > MaxTextBytes)
        return tooLarge(text.size());
    QString error;
    qint64 size = 0;
    PayloadText::UniqueFd fd = PayloadText::createSealedMemfd(QStringView(text), &size, &error);
    if (!fd.isValid()) {
        reportFailure(QStringLiteral("Nothing was sent: %1").arg(error));
        return 0;
    }
    if (size > MaxTextBytes)
        return tooLarge(size);
    // One sealed copy serves every receiver: each reads it through its own
    // mapping, never through the shared file offset.
    const QDBusUnixFileDescriptor shared(fd.get());
    for (const WindowInfo &window : addressees)
        watchDelivery(
            window.proxy->DeliverSealed(m_handle, senderName, number, shared, qulonglong(size)),
            window);
    return int(addressees.size());
}

void InterProcBusObject::watchDelivery(const QDBusPendingCall &call, const WindowInfo &window)
{
    auto *watcher = new QDBusPendingCallWatcher(call, this);
    const qint32 handle = window.handle;
    const QString caption = window.caption;
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, handle, caption](QDBusPendingCallWatcher *w) {
                w->deleteLater();
                if (!w->isError())
                    return;
                const QDBusError error = w->error();
                QString reason;
                switch (error.type()) {
                case QDBusError::NoReply:
                case QDBusError::Timeout:
                case QDBusError::TimedOut:
                    // The call stays queued for the window: a frozen window
                    // still takes it once it runs again.
                    reason = QStringLiteral("it has not taken the payload within %1 seconds; it "
                                            "is busy or stopped and gets the payload if it runs "
                                            "again")
                                 .arg(DeliveryTimeoutMs / 1000);
                    break;
                case QDBusError::ServiceUnknown:
                case QDBusError::UnknownObject:
                    reason = QStringLiteral("the window is gone");
                    break;
                case QDBusError::Disconnected:
                    reason = QStringLiteral("the session bus connection is lost");
                    QMetaObject::invokeMethod(this, &InterProcBusObject::checkConnection,
                                              Qt::QueuedConnection);
                    break;
                default:
                    reason = error.message();
                    break;
                }
                emit q->deliveryFailed(handle, caption, reason);
                reportFailure(
                    QStringLiteral("A payload was not delivered to \"%1\" (window %2): %3.")
                        .arg(caption)
                        .arg(handle)
                        .arg(reason));
            });
}

int InterProcBusObject::Describe(QString &caption)
{
    caption = m_caption;
    return m_handle;
}

bool InterProcBusObject::senderOwns(qint32 senderHandle)
{
    // Handle 0 stands for a sender without a window; any other handle must
    // be a window of the connection that made this call.
    if (senderHandle == 0)
        return true;
    if (senderHandle > 0) {
        const QString caller = message().service();
        if (m_directory && m_directory->ownerOf(senderHandle) == caller)
            return true;
        // A window the directory does not know yet (it is still loading, or
        // the window has just joined): the bus itself says who owns it.
        const QDBusReply<QString> owner =
            m_connection.interface()->serviceOwner(serviceForHandle(senderHandle));
        if (owner.isValid() && owner.value() == caller)
            return true;
    }
    sendErrorReply(QLatin1String(ErrorSenderMismatch),
                   QStringLiteral("Window %1 is not a window of this connection; send 0 "
                                  "as the sender handle when you have no window.")
                       .arg(senderHandle));
    return false;
}

void InterProcBusObject::Deliver(int senderHandle, const QString &senderName, int longData,
                                 const QString &stringData)
{
    if (senderOwns(senderHandle))
        enqueue({senderHandle, senderName, longData, stringData});
}

void InterProcBusObject::DeliverUtf8(int senderHandle, const QString &senderName, int longData,
                                     const QByteArray &stringData)
{
    if (!senderOwns(senderHandle))
        return;
    if (stringData.size() > MaxTextBytes) {
        sendErrorReply(QLatin1String(ErrorTooLarge),
                       QStringLiteral("The text is %1 bytes; at most %2 bytes are accepted.")
                           .arg(stringData.size())
                           .arg(MaxTextBytes));
        return;
    }
    std::optional<QString> text = PayloadText::decodeUtf8(stringData);
    if (!text) {
        sendErrorReply(QLatin1String(ErrorInvalidText),
                       QStringLiteral("The text is not valid UTF-8."));
        return;
    }
    enqueue({senderHandle, senderName, longData, std::move(*text)});
}

void InterProcBusObject::DeliverSealed(int senderHandle, const QString &senderName, int longData,
                                       const QDBusUnixFileDescriptor &stringData, qulonglong size)
{
    if (!senderOwns(senderHandle))
        return;
    PayloadText::ReadOutcome outcome =
        PayloadText::readSealedText(stringData.fileDescriptor(), size, MaxTextBytes);
    if (!outcome.text) {
        sendErrorReply(outcome.errorName, outcome.errorMessage);
        return;
    }
    enqueue({senderHandle, senderName, longData, std::move(*outcome.text)});
}

void InterProcBusObject::enqueue(Payload payload)
{
    // The call is answered as soon as the payload is queued; the window sees
    // it from the event loop, so a handler that opens a dialog never keeps a
    // sender waiting.
    m_inbox.enqueue(std::move(payload));
    if (!m_dispatchScheduled) {
        m_dispatchScheduled = true;
        QMetaObject::invokeMethod(this, &InterProcBusObject::dispatchArrivals,
                                  Qt::QueuedConnection);
    }
}

void InterProcBusObject::dispatchArrivals()
{
    m_dispatchScheduled = false;
    // A handler that runs a nested event loop (a modal dialog) must not see
    // the next payload before it returns; the outer call carries on then.
    if (m_dispatching)
        return;
    m_dispatching = true;
    QPointer<InterProcBusObject> alive(this);
    QElapsedTimer slice;
    slice.start();
    while (!m_inbox.isEmpty()) {
        if (slice.elapsed() >= DispatchSliceMs) {
            m_dispatchScheduled = true;
            QMetaObject::invokeMethod(this, &InterProcBusObject::dispatchArrivals,
                                      Qt::QueuedConnection);
            break;
        }
        const Payload payload = m_inbox.dequeue();
        emit q->DataArrival(payload.senderHandle, payload.senderName, payload.longData,
                            payload.stringData);
        if (!alive)
            return;
    }
    m_dispatching = false;
}

void InterProcBusObject::aboutBox()
{
    QMessageBox::about(
        m_window, QStringLiteral("About InterProc"),
        QStringLiteral("<b>%1</b> version %2<p>Carries a number and a text between the windows "
                       "of running programs over the D-Bus session bus.</p>")
            .arg(QLatin1String(InterProc::ProgId), QLatin1String(InterProc::Version)));
}
