// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "interprocendpoint_p.h"

#include "admission.h"
#include "busconnection.h"
#include "busobject.h"
#include "captiondesk.h"
#include "channelrouter.h"
#include "channelserver.h"
#include "deliveries.h"
#include "endpointdirectory.h"
#include "foreigntext.h"
#include "inbox.h"
#include "interprocendpoint.h"
#include "interproclogging.h"
#include "interprocsend_p.h"
#include "outbox.h"
#include "threadcheck.h"
#include <InterProc/interprocbus.h>

#include <QRandomGenerator>
#include <QThread>

#include <limits>

using namespace InterProcBus;

namespace {
constexpr int HandleAttempts = 32;
// How long the start waits for the caption desk's connection, which signs
// on beside the endpoint's own; without it the endpoint answers Describe
// itself.
constexpr int DeskOpenBoundMs = 2000;
// How long a closing endpoint waits for the bus daemon to take what it
// still has to send (answers to calls it took among them) and to close its
// end: a daemon still writing calls to an endpoint that closed first fails
// that write and may drop the answers it had not read yet.
constexpr int BusFlushBoundMs = 1000;
// Bytes waiting to be read on the bus connection past which reading is
// behind (see Inbox::setReadingFirst). A Unix socket holds only what the
// bus daemon's send buffer allows, counted with each message's overhead:
// about 200 KiB of large messages but as little as 30 KiB of small ones,
// which is what the daemon has written while this side was busy. Senders
// that wait for their answers leave far less than this waiting once read.
constexpr int ReadBehindBytes = 8 * 1024;

// D-Bus strings cannot hold NUL; a caption is sent with U+FFFD in its place,
// and no longer than other windows take a caption.
QString busSafe(QString text)
{
    return ForeignText::ownCaption(text.replace(QChar(u'\0'), QChar(QChar::ReplacementCharacter)));
}
} // namespace

InterProcEndpointPrivate::InterProcEndpointPrivate(InterProcEndpoint *q, const QString &caption)
    : q(q)
{
    m_identity.caption = busSafe(caption);
    connectToBus();
}

InterProcEndpointPrivate::~InterProcEndpointPrivate()
{
    INTERPROC_CHECK_THREAD(this);
    // The channels' peers get the answers queued for them first, a batch
    // begun with what of it was handed over; then the parts go, then the
    // name and the connection, whose last messages go out within a bound.
    if (m_inbox)
        m_inbox->endBatchesBegun();
    delete m_channelServer;
    delete m_outbox;
    delete m_deliveries;
    delete m_channels;
    delete m_busObject;
    delete m_admission;
    delete m_inbox;
    delete m_directory;
    if (m_bus) {
        if (m_identity.handle > 0 && m_bus->isOpen())
            m_bus->releaseName(serviceForHandle(m_identity.handle));
        m_bus->flushAndClose(BusFlushBoundMs, true);
        delete m_bus;
    }
    if (m_desk && m_identity.handle > 0)
        m_desk->release(m_identity.handle);
    m_desk.reset();
}

void InterProcEndpointPrivate::connectToBus()
{
    // A connection of its own: its unique name identifies this endpoint
    // alone, which is what receivers check a sender's handle against.
    QString why;
    // The process's desk, when this is its first endpoint, signs on in the
    // background meanwhile.
    if (qEnvironmentVariable("INTERPROC_CAPTION_DESK") != QLatin1String("0"))
        m_desk = CaptionDesk::forThisProcess();
    m_bus = BusConnection::openSessionBus(this, &why);
    if (!m_bus) {
        m_error = QStringLiteral("Cannot connect to the D-Bus session bus: %1").arg(why);
        return;
    }
    connect(m_bus, &BusConnection::closed, this, &InterProcEndpointPrivate::loseConnection);

    // The parties on the bus are followed once for all endpoints of this
    // thread, over a connection of the directory's own.
    m_directory = new EndpointDirectory(this);
    if (!m_directory->open(&why)) {
        m_error = QStringLiteral("Cannot follow the parties on the D-Bus session bus: %1").arg(why);
        return;
    }
    m_inbox = new Inbox(this);
    // Raised on this thread, as the endpoint raises every signal.
    connect(m_inbox, &Inbox::arrived, q, &InterProcEndpoint::DataArrival, Qt::DirectConnection);
    // Reading is behind when more than ReadBehindBytes wait in the socket:
    // a flood, not the calls of senders that wait for their answers.
    m_inbox->setReadingFirst([bus = QPointer<BusConnection>(m_bus)] {
        return bus && bus->bytesWaiting() >= ReadBehindBytes;
    });
    m_admission = new Admission(m_directory, m_inbox, this);
    m_channelServer = new ChannelServer(this);
    m_channels = new ChannelRouter(m_bus, this);
    m_busObject = new BusObject(&m_identity, m_bus, m_admission, m_channelServer, this);
    m_deliveries = new Deliveries(m_bus, m_channels, this);
    const QPointer<EndpointDirectory> directory(m_directory);
    m_deliveries->setOfferSource(
        [directory](qint32 handle) {
            return directory ? directory->knownOffers(handle) : std::nullopt;
        },
        [directory](qint32 handle, QObject *context, std::function<void(quint8)> done) {
            if (directory)
                directory->askOffers(handle, context, std::move(done));
        });
    m_outbox = new Outbox(&m_identity, m_directory, m_deliveries, m_bus->passesFds(), this);

    connect(m_channelServer, &ChannelServer::connectionOpened, m_busObject, &BusObject::exportOn);
    connect(m_channelServer, &ChannelServer::connectionClosing, m_busObject,
            &BusObject::withdrawFrom);
    connect(m_outbox, &Outbox::windowCheck, q, &InterProcEndpoint::WindowCheck,
            Qt::DirectConnection);
    connect(m_outbox, &Outbox::addressed, this, &InterProcEndpointPrivate::reportAddressed);
    connect(m_outbox, &Outbox::failure, this, &InterProcEndpointPrivate::reportNothingSent);
    connect(m_outbox, &Outbox::undelivered, this, &InterProcEndpointPrivate::reportUndelivered);
    connect(m_deliveries, &Deliveries::delivered, this, &InterProcEndpointPrivate::reportDelivered);
    connect(m_deliveries, &Deliveries::failed, this, &InterProcEndpointPrivate::reportUndelivered);
    connect(m_deliveries, &Deliveries::busLost, this, &InterProcEndpointPrivate::loseConnection);
    connect(m_directory, &EndpointDirectory::windowLeft, m_channels, &ChannelRouter::forget);
    connect(m_directory, &EndpointDirectory::ready, this, [this] {
        m_outbox->sendHeldBack();
        emit q->ready();
    });

    // Exported before the name is taken, so that whoever sees the name can
    // call the object at once.
    if (!m_busObject->exportOn(m_bus)) {
        m_error = QStringLiteral("Cannot export the messaging object on the session bus.");
        return;
    }
    if (!claimHandle())
        return;

    m_directory->start(m_identity.handle, m_bus->uniqueName(), m_identity.caption);
    m_connected = true;
    m_busObject->emitCaptionChanged();
    qCDebug(lcInterProc) << "endpoint" << m_identity.handle << "on the bus as"
                         << m_bus->uniqueName();
}

bool InterProcEndpointPrivate::claimHandle()
{
    // The bus hands each name to one connection only, which makes the
    // handle unique in the session without any shared file or counter.
    // The desk's name is taken first, so that nobody else can take it once
    // the endpoint's name is on the bus.
    for (int attempt = 0; attempt < HandleAttempts; ++attempt) {
        const qint32 candidate = qint32(
            QRandomGenerator::system()->bounded(1u, quint32(std::numeric_limits<qint32>::max())));
        if (m_desk) {
            const int r = m_desk->claim(candidate, m_identity.caption, DeskOpenBoundMs);
            if (r == -EEXIST || r == -EALREADY)
                continue;
            if (r < 0) {
                qCDebug(lcInterProc) << "no caption desk:" << strerror(-r);
                m_desk.reset();
            }
        }
        const int r = m_bus->requestName(serviceForHandle(candidate));
        if (r >= 0) {
            m_identity.handle = candidate;
            return true;
        }
        if (m_desk)
            m_desk->release(candidate);
        // A sandbox's D-Bus proxy answers a name it does not let the
        // program own as denied, or as if the bus did not exist.
        if (r == -EACCES || r == -EPERM || r == -EHOSTUNREACH) {
            m_error = QStringLiteral("The session bus does not let this program own a window "
                                     "name (in a sandbox, a Flatpak needs --own-name=%1.*).")
                          .arg(QLatin1String(ServiceNamespace));
            return false;
        }
        if (r != -EEXIST && r != -EALREADY) {
            m_error = QStringLiteral("The session bus refused a window name: %1")
                          .arg(QString::fromLocal8Bit(strerror(-r)));
            return false;
        }
    }
    m_error = QStringLiteral("No free window handle was found on the session bus.");
    return false;
}

void InterProcEndpointPrivate::setCaption(const QString &newCaption)
{
    const QString safe = busSafe(newCaption);
    if (safe == m_identity.caption)
        return;
    m_identity.caption = safe;
    if (m_desk && m_identity.handle > 0)
        m_desk->setCaption(m_identity.handle, m_identity.caption);
    if (m_connected) {
        m_directory->setOwnCaption(m_identity.caption);
        m_busObject->emitCaptionChanged();
    }
    emit q->captionChanged(m_identity.caption);
}

bool InterProcEndpointPrivate::isReady() const
{
    return m_connected && m_directory->isReady();
}

QList<PartyInfo> InterProcEndpointPrivate::windows() const
{
    return m_directory ? m_directory->parties() : QList<PartyInfo>();
}

int InterProcEndpointPrivate::send(InterProcSend *handle)
{
    quint64 number = 0;
    if (handle) {
        number = ++m_lastSend;
        InterProcSendPrivate *followed = InterProcSendPrivate::get(handle);
        followed->number = number;
        followed->forget = [endpoint = QPointer(this), number] {
            if (endpoint)
                endpoint->m_sends.remove(number);
        };
        m_sends.insert(number, followed);
    }
    if (!m_connected) {
        reportNothingSent(number, SendOutcome(SendOutcome::NotConnected, QString(), m_error));
        return 0;
    }
    if (m_properties.searchMethod < InterProcEndpoint::ExactCaption ||
        m_properties.searchMethod > InterProcEndpoint::WindowHandle) {
        reportNothingSent(number, {SendOutcome::InvalidSearchMethod, m_properties.searchMethod});
        return 0;
    }
    // The payload as it is now: neither later property changes nor
    // handlers of WindowCheck change this send.
    const Properties &p = m_properties;
    return m_outbox->send(
        {p.target, p.searchMethod, p.longData, p.stringData, m_identity.caption, number});
}

void InterProcEndpointPrivate::reportFailure(const QString &message)
{
    qCDebug(lcInterProc) << message;
    emit q->errorOccurred(message);
}

void InterProcEndpointPrivate::reportAddressed(quint64 send, const QList<PartyInfo> &windows)
{
    if (InterProcSendPrivate *followed = m_sends.value(send)) {
        followed->addressed(windows);
        if (followed->isFinished())
            m_sends.remove(send);
    }
}

// The handle learns first, so that the endpoint's handlers find it current.
void InterProcEndpointPrivate::reportNothingSent(quint64 send, const SendOutcome &why)
{
    if (InterProcSendPrivate *followed = m_sends.take(send))
        followed->nothingSent(why);
    reportFailure(why.nothingSent());
}

void InterProcEndpointPrivate::reportDelivered(quint64 send, qint32 handle, const QString &caption)
{
    if (InterProcSendPrivate *followed = m_sends.value(send)) {
        followed->ended(handle, {SendOutcome::Taken});
        if (followed->isFinished())
            m_sends.remove(send);
    }
    emit q->delivered(handle, caption);
}

void InterProcEndpointPrivate::reportUndelivered(quint64 send, qint32 handle,
                                                 const QString &caption, const SendOutcome &why)
{
    if (InterProcSendPrivate *followed = m_sends.value(send)) {
        followed->ended(handle, why);
        if (followed->isFinished())
            m_sends.remove(send);
    }
    const QString reason = why.reason();
    emit q->deliveryFailed(handle, caption, reason);
    reportFailure(SendOutcome::notDelivered(handle, caption, reason));
}

void InterProcEndpointPrivate::loseConnection()
{
    if (!m_connected)
        return;
    m_connected = false;
    m_error = QStringLiteral("The connection to the D-Bus session bus was lost.");
    reportFailure(m_error +
                  QStringLiteral(" This endpoint can no longer send or receive payloads."));
    // Sends held until the directory was ready would otherwise wait for
    // it for ever, their handles with them.
    if (m_outbox)
        m_outbox->dropHeldBack({SendOutcome::BusLostUnsent});
    emit q->connectionLost();
}
