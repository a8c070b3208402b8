#include "channelrouter.h"

#include "buscontract.h"
#include "channelserver.h"
#include "interproclogging.h"
#include "offthread.h"
#include "windowdirectory.h"

#include <QAtomicInt>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QFile>
#include <QMutex>
#include <QUrl>

#include <cstring>
#include <memory>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

using namespace BusContract;

namespace {
QString nextPeerName()
{
    static QAtomicInt counter;
    return QStringLiteral("calvorn-interproc-channel-%1").arg(counter.fetchAndAddRelaxed(1));
}

// Whether something listens at a unix:path= address, which is the only
// kind a window offers.
bool listening(const QString &address)
{
    if (!address.startsWith(QLatin1String("unix:")))
        return false;
    QString path;
    for (const QString &pair : address.mid(5).split(QLatin1Char(','))) {
        if (pair.startsWith(QLatin1String("path=")))
            path = QUrl::fromPercentEncoding(pair.mid(5).toUtf8());
    }
    const QByteArray file = QFile::encodeName(path);
    sockaddr_un where = {};
    if (file.isEmpty() || size_t(file.size()) >= sizeof(where.sun_path))
        return false;
    where.sun_family = AF_UNIX;
    std::memcpy(where.sun_path, file.constData(), size_t(file.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr *>(&where), sizeof(where)) == 0;
    ::close(fd);
    return ok;
}

// Runs on a worker. A peer connection that fails to open is broken in Qt
// 6.4: dropping the last handle to it crashes. So it is opened only where a
// window listens, and should the window go in between, the handle is kept.
bool connectToPeer(const QString &address, const QString &name)
{
    if (!listening(address))
        return false;
    auto peer = std::make_unique<QDBusConnection>(QDBusConnection::connectToPeer(address, name));
    if (peer->isConnected())
        return true;
    static QMutex keptLock;
    static auto *kept = new std::vector<std::unique_ptr<QDBusConnection>>;
    const QMutexLocker locker(&keptLock);
    kept->push_back(std::move(peer));
    return false;
}

// Runs fn(watcher) once call has been answered; the watcher is the context,
// owned by `owner`.
template <typename Fn> void whenAnswered(const QDBusPendingCall &call, QObject *owner, Fn fn)
{
    auto *watcher = new QDBusPendingCallWatcher(call, owner);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, owner,
                     [fn = std::move(fn)](QDBusPendingCallWatcher *w) {
                         w->deleteLater();
                         fn(*w);
                     });
}
} // namespace

ChannelRouter::ChannelRouter(const QDBusConnection &bus, QObject *parent)
    : QObject(parent), m_bus(bus)
{}

ChannelRouter::~ChannelRouter()
{
    for (Channel &channel : m_channels)
        close(channel);
}

QString ChannelRouter::route(const WindowInfo &window)
{
    // An endpoint's own window is reached through its own connection.
    if (!directChannelsEnabled() || window.owner == m_bus.baseService())
        return QString();
    auto it = m_channels.find(window.owner);
    if (it == m_channels.end()) {
        it = m_channels.insert(window.owner, Channel{});
        it->generation = m_nextGeneration++;
        open(window, it->generation);
    }
    // An endpoint that has lost the bus has lost its windows too: what it
    // sends fails as on the bus, whatever channels are still open.
    if (it->state == Channel::Open && it->busDeliveries == 0 && m_bus.isConnected())
        return it->connectionName;
    ++it->busDeliveries;
    return QString();
}

void ChannelRouter::busDeliveryAnswered(const QString &owner)
{
    auto it = m_channels.find(owner);
    if (it != m_channels.end() && it->busDeliveries > 0)
        --it->busDeliveries;
}

void ChannelRouter::directDeliveryFailed(const QString &owner)
{
    auto it = m_channels.find(owner);
    if (it == m_channels.end() || it->state != Channel::Open ||
        QDBusConnection(it->connectionName).isConnected())
        return;
    qCDebug(lcInterProc) << "direct channel to" << owner << "closed";
    close(*it);
    it->state = Channel::Unavailable;
}

void ChannelRouter::forget(const QString &owner)
{
    auto it = m_channels.find(owner);
    if (it == m_channels.end())
        return;
    close(*it);
    m_channels.erase(it);
}

ChannelRouter::Channel *ChannelRouter::current(const QString &owner, quint64 generation)
{
    auto it = m_channels.find(owner);
    return it != m_channels.end() && it->generation == generation ? &*it : nullptr;
}

void ChannelRouter::close(Channel &channel)
{
    if (!channel.connectionName.isEmpty())
        QDBusConnection::disconnectFromPeer(std::exchange(channel.connectionName, QString()));
}

void ChannelRouter::open(const WindowInfo &window, quint64 generation)
{
    const QString owner = window.owner;
    QDBusMessage offer =
        QDBusMessage::createMethodCall(owner, QLatin1String(ObjectPath), QLatin1String(Interface),
                                       QStringLiteral("OpenDirectChannel"));
    whenAnswered(m_bus.asyncCall(offer, DeliveryTimeoutMs), this,
                 [this, owner, generation](const QDBusPendingCallWatcher &answer) {
                     const QDBusPendingReply<QString, QByteArray> reply = answer;
                     Channel *channel = current(owner, generation);
                     if (!channel)
                         return;
                     // A window of an older version, or one without a
                     // private runtime directory, offers none.
                     if (reply.isError() || reply.argumentAt<0>().isEmpty()) {
                         channel->state = Channel::Unavailable;
                         return;
                     }
                     connectTo(owner, generation, reply.argumentAt<0>(), reply.argumentAt<1>());
                 });
}

void ChannelRouter::connectTo(const QString &owner, quint64 generation, const QString &address,
                              const QByteArray &token)
{
    // Connecting and authenticating is the other process's to answer: a
    // worker waits for it, never this thread.
    const QString name = nextPeerName();
    current(owner, generation)->connectionName = name;
    // Only the name crosses threads: the connection itself is looked up by
    // it here, and the worker's handle to it ends on the worker.
    runOffThread(
        this, [address, name] { return connectToPeer(address, name); },
        [this, owner, generation, token, name](bool connected) {
            Channel *channel = current(owner, generation);
            if (connected && channel) {
                attach(owner, generation, QDBusConnection(name), token);
                return;
            }
            if (connected)
                QDBusConnection::disconnectFromPeer(name);
            if (channel) {
                // A connection that never opened is left alone (see connectToPeer).
                if (!connected)
                    channel->connectionName.clear();
                close(*channel);
                channel->state = Channel::Unavailable;
            }
        });
}

void ChannelRouter::attach(const QString &owner, quint64 generation, const QDBusConnection &peer,
                           const QByteArray &token)
{
    QDBusMessage attach = QDBusMessage::createMethodCall(QString(), QLatin1String(ObjectPath),
                                                         QLatin1String(Interface),
                                                         QStringLiteral("AttachDirectChannel"));
    attach << token;
    whenAnswered(peer.asyncCall(attach, DeliveryTimeoutMs), this,
                 [this, owner, generation, peer](const QDBusPendingCallWatcher &answer) {
                     Channel *channel = current(owner, generation);
                     if (!channel)
                         return;
                     // Large texts travel as descriptors; a channel that
                     // cannot pass them would have to leave those to the
                     // bus, out of order with the rest.
                     const bool passesFds =
                         peer.connectionCapabilities() & QDBusConnection::UnixFileDescriptorPassing;
                     if (answer.isError() || !passesFds) {
                         close(*channel);
                         channel->state = Channel::Unavailable;
                         return;
                     }
                     channel->state = Channel::Open;
                     qCDebug(lcInterProc) << "direct channel to" << owner << "open";
                 });
}
