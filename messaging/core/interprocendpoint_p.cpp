#include "interprocendpoint_p.h"

#include "admission.h"
#include "buscontract.h"
#include "busobject.h"
#include "channelrouter.h"
#include "channelserver.h"
#include "foreigntext.h"
#include "inbox.h"
#include "interproc_adaptor.h"
#include "interprocendpoint.h"
#include "interproclogging.h"
#include "outbox.h"
#include "sendthread.h"
#include "windowdirectory.h"

#include <QAtomicInt>
#include <QDBusConnectionInterface>
#include <QRandomGenerator>
#include <QTimer>

#include <limits>

using namespace BusContract;

namespace {
constexpr int HandleAttempts = 32;
// How often the endpoint looks whether its bus connection still stands.
constexpr int ConnectionCheckMs = 1000;

QString nextConnectionName()
{
    static QAtomicInt counter;
    return QStringLiteral("calvorn-interproc-%1").arg(counter.fetchAndAddRelaxed(1));
}

// D-Bus strings cannot hold NUL; a caption is sent with U+FFFD in its place,
// and no longer than other windows take a caption.
QString busSafe(QString text)
{
    return ForeignText::ownCaption(text.replace(QChar(u'\0'), QChar(QChar::ReplacementCharacter)));
}
} // namespace

InterProcEndpointPrivate::InterProcEndpointPrivate(InterProcEndpoint *q, const QString &caption)
    : q(q), connection(QString()), caption(busSafe(caption)), m_connectionName(nextConnectionName())
{
    connectToBus();
}

InterProcEndpointPrivate::~InterProcEndpointPrivate()
{
    // What was sent and answered goes out while this endpoint still owns its
    // name, which receivers check its payloads against.
    if (sender)
        sender->finish();
    if (connection.isConnected()) {
        connection.unregisterObject(QLatin1String(ObjectPath));
        if (handle > 0)
            connection.interface()->unregisterService(serviceForHandle(handle));
    }
    // The parts use the connection; they go before it does.
    delete m_outbox;
    delete channels;
    delete m_channelServer;
    delete m_busObject;
    delete m_admission;
    delete m_inbox;
    delete sender;
    delete directory;
    connection = QDBusConnection(QString());
    QDBusConnection::disconnectFromBus(m_connectionName);
}

void InterProcEndpointPrivate::connectToBus()
{
    // A connection of its own: its unique name identifies this endpoint
    // alone, which is what receivers check a sender's handle against.
    connection = QDBusConnection::connectToBus(QDBusConnection::SessionBus, m_connectionName);
    if (!connection.isConnected()) {
        const QDBusError busError = connection.lastError();
        error = QStringLiteral("Cannot connect to the D-Bus session bus: %1")
                    .arg(busError.isValid() ? busError.message()
                                            : QStringLiteral("no session bus address is set"));
        return;
    }

    directory = new WindowDirectory(connection, this);
    sender = new SendThread(connection, this);
    m_inbox = new Inbox(q, this);
    m_admission = new Admission(connection, directory, m_inbox, sender, this);
    m_channelServer = new ChannelServer(this);
    m_busObject = new BusObject(this, m_admission, m_channelServer);
    channels = new ChannelRouter(connection, this);
    m_outbox = new Outbox(this);
    new InterProcAdaptor(m_busObject);
    m_channelServer->listen(m_busObject);
    // Exported before the name is taken, so that whoever sees the name can
    // call the object at once.
    if (!connection.registerObject(QLatin1String(ObjectPath), m_busObject,
                                   QDBusConnection::ExportAdaptors)) {
        error = QStringLiteral("Cannot export the messaging object on the session bus.");
        return;
    }
    if (!claimHandle())
        return;

    connect(directory, &WindowDirectory::windowLeft, channels, &ChannelRouter::forget);
    connect(directory, &WindowDirectory::ready, this, [this] {
        m_outbox->sendHeldBack();
        emit q->ready();
    });
    directory->start(handle, caption);
    connected = true;
    emit m_busObject->CaptionChanged(handle, caption);

    // QtDBus has no signal for a lost connection (the bus daemon ended);
    // failed calls tell at once, and this check tells an idle endpoint.
    m_connectionCheck = new QTimer(this);
    connect(m_connectionCheck, &QTimer::timeout, this, &InterProcEndpointPrivate::checkConnection);
    m_connectionCheck->start(ConnectionCheckMs);
    qCDebug(lcInterProc) << "endpoint" << handle << "on the bus as" << connection.baseService();
}

bool InterProcEndpointPrivate::claimHandle()
{
    // The bus hands each name to one connection only, which makes the
    // handle unique in the session without any shared file or counter.
    for (int attempt = 0; attempt < HandleAttempts; ++attempt) {
        const qint32 candidate = qint32(
            QRandomGenerator::system()->bounded(1u, quint32(std::numeric_limits<qint32>::max())));
        const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply =
            connection.interface()->registerService(serviceForHandle(candidate),
                                                    QDBusConnectionInterface::DontQueueService,
                                                    QDBusConnectionInterface::DontAllowReplacement);
        if (!reply.isValid()) {
            error = QStringLiteral("The session bus refused a window name: %1")
                        .arg(reply.error().message());
            return false;
        }
        if (reply.value() == QDBusConnectionInterface::ServiceRegistered) {
            handle = candidate;
            return true;
        }
    }
    error = QStringLiteral("No free window handle was found on the session bus.");
    return false;
}

void InterProcEndpointPrivate::setCaption(const QString &newCaption)
{
    const QString safe = busSafe(newCaption);
    if (safe == caption)
        return;
    caption = safe;
    if (connected) {
        directory->setOwnCaption(caption);
        emit m_busObject->CaptionChanged(handle, caption);
    }
    emit q->captionChanged(caption);
}

bool InterProcEndpointPrivate::isReady() const
{
    return connected && directory->isReady();
}

int InterProcEndpointPrivate::send()
{
    if (!connected) {
        reportFailure(QStringLiteral("Nothing was sent: %1").arg(error));
        return 0;
    }
    if (searchMethod < InterProcEndpoint::ExactCaption ||
        searchMethod > InterProcEndpoint::WindowHandle) {
        reportFailure(QStringLiteral("Nothing was sent: TargetSearchMethod %1 is not 0, 1 or 2.")
                          .arg(searchMethod));
        return 0;
    }
    // The payload as it is now: neither later property changes nor
    // handlers of WindowCheck change this send.
    return m_outbox->send({target, searchMethod, longData, stringData, caption});
}

void InterProcEndpointPrivate::reportFailure(const QString &message)
{
    qCDebug(lcInterProc) << message;
    emit q->errorOccurred(message);
}

void InterProcEndpointPrivate::checkConnection()
{
    if (connected && !connection.isConnected())
        loseConnection();
    if (m_channelServer)
        m_channelServer->prune();
}

void InterProcEndpointPrivate::loseConnection()
{
    connected = false;
    m_connectionCheck->stop();
    error = QStringLiteral("The connection to the D-Bus session bus was lost.");
    reportFailure(error + QStringLiteral(" This endpoint can no longer send or receive payloads."));
    emit q->connectionLost();
}
