// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "channelrouter.h"

#include "busconnection.h"
#include "channeladdress.h"
#include "channelplace.h"
#include "interproclogging.h"
#include "threadcheck.h"
#include <InterProc/interprocbus.h>

#include <QFile>
#include <QThread>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <optional>

using namespace InterProcBus;

ChannelRouter::ChannelRouter(BusConnection *bus, QObject *parent) : QObject(parent), m_bus(bus)
{}

ChannelRouter::~ChannelRouter()
{
    for (Channel &channel : m_channels)
        close(channel);
}

BusConnection *ChannelRouter::route(const QString &owner)
{
    INTERPROC_CHECK_THREAD(this);
    // An endpoint's own window is reached through its own connection.
    if (!ChannelPlace::directChannelsEnabled() || owner == m_bus->uniqueName())
        return nullptr;
    auto it = m_channels.find(owner);
    if (it == m_channels.end()) {
        it = m_channels.insert(owner, Channel{});
        it->generation = m_nextGeneration++;
        open(owner, it->generation);
    }
    // An endpoint that has lost the bus has lost its windows too: what it
    // sends fails as on the bus, whatever channels are still open.
    if (it->state == Channel::Open && it->busDeliveries == 0 && it->connection &&
        it->connection->isOpen() && m_bus->isOpen())
        return it->connection;
    ++it->busDeliveries;
    return nullptr;
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
        (it->connection && it->connection->isOpen()))
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
    // Its calls still waiting are told as failed by the connection itself.
    if (channel.connection)
        channel.connection->deleteLater();
    channel.connection = nullptr;
}

namespace {
// A socket connected to path, when path is a socket of this user's (not a
// link to one) whose listener is the process expectedPid; -1 otherwise.
// Never waits: a listener whose backlog is full is no channel.
int connectToWindow(const QByteArray &path, pid_t expectedPid)
{
    struct stat st = {};
    sockaddr_un where = {};
    if (::lstat(path.constData(), &st) != 0 || !S_ISSOCK(st.st_mode) || st.st_uid != ::geteuid() ||
        size_t(path.size()) >= sizeof(where.sun_path))
        return -1;
    where.sun_family = AF_UNIX;
    std::memcpy(where.sun_path, path.constData(), size_t(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    ucred peer = {};
    socklen_t size = sizeof(peer);
    // The listener is the window's own process. In a sandbox with a pid
    // namespace of its own the two pids differ: the bus stays the way.
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&where), sizeof(where)) != 0 ||
        ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.uid != ::geteuid() ||
        peer.pid != expectedPid) {
        ::close(fd);
        return -1;
    }
    return fd;
}
} // namespace

void ChannelRouter::open(const QString &owner, quint64 generation)
{
    const BusMessage offer = m_bus->newCall(owner.toUtf8().constData(), "OpenDirectChannel");
    const bool asked = offer && m_bus->call(offer.get(), DeliveryTimeoutMs, this,
                                            [this, owner, generation](sd_bus_message *reply) {
                                                offered(owner, generation, reply);
                                            });
    if (!asked)
        m_channels[owner].state = Channel::Unavailable;
}

void ChannelRouter::offered(const QString &owner, quint64 generation, sd_bus_message *reply)
{
    Channel *channel = current(owner, generation);
    if (!channel)
        return;
    const char *address = nullptr;
    const void *token = nullptr;
    size_t tokenSize = 0;
    // A window of an older version, or one without a private runtime
    // directory, offers none; only a socket of the one form endpoints offer
    // is taken, and nothing else of the address is ever used.
    std::optional<ChannelAddress::Offer> offer;
    if (reply && !sd_bus_message_is_method_error(reply, nullptr) &&
        sd_bus_message_read(reply, "s", &address) >= 0 &&
        sd_bus_message_read_array(reply, 'y', &token, &tokenSize) >= 0)
        offer = ChannelAddress::readOffer(
            QByteArrayView(address),
            QByteArrayView(static_cast<const char *>(token), qsizetype(tokenSize)),
            QFile::encodeName(ChannelPlace::privateRuntimeDir()));
    if (!offer) {
        if (address && *address)
            qCDebug(lcInterProc) << "direct channel to" << owner << "refused: its address"
                                 << QByteArray(address).left(300)
                                 << "is not one of an endpoint's sockets";
        channel->state = Channel::Unavailable;
        return;
    }
    // The socket must be the one the window's own process listens on.
    const BusMessage ask = m_bus->newDaemonCall("GetConnectionUnixProcessID");
    const QByteArray name = owner.toUtf8();
    const bool asked =
        ask && sd_bus_message_append(ask.get(), "s", name.constData()) >= 0 &&
        m_bus->call(ask.get(), DeliveryTimeoutMs, this,
                    [this, owner, generation, offer = *offer](sd_bus_message *answer) {
                        Channel *channel = current(owner, generation);
                        if (!channel)
                            return;
                        uint32_t pid = 0;
                        int fd = -1;
                        if (answer && !sd_bus_message_is_method_error(answer, nullptr) &&
                            sd_bus_message_read(answer, "u", &pid) >= 0 && pid > 0)
                            fd = connectToWindow(offer.socketPath, pid_t(pid));
                        if (fd >= 0)
                            channel->connection = BusConnection::connectToPeer(fd, this);
                        if (!channel->connection) {
                            channel->state = Channel::Unavailable;
                            return;
                        }
                        attach(owner, generation, offer.token);
                    });
    if (!asked)
        channel->state = Channel::Unavailable;
}

void ChannelRouter::attach(const QString &owner, quint64 generation, const QByteArray &token)
{
    BusConnection *peer = current(owner, generation)->connection;
    connect(peer, &BusConnection::closed, this, [this, owner, generation] {
        if (Channel *channel = current(owner, generation)) {
            if (channel->state == Channel::Open)
                qCDebug(lcInterProc) << "direct channel to" << owner << "closed";
            close(*channel);
            channel->state = Channel::Unavailable;
        }
    });
    const BusMessage call = peer->newCall(nullptr, "AttachDirectChannel");
    const bool made =
        call &&
        sd_bus_message_append_array(call.get(), 'y', token.constData(), size_t(token.size())) >=
            0 &&
        peer->call(call.get(), DeliveryTimeoutMs, this,
                   [this, owner, generation, peer](sd_bus_message *reply) {
                       Channel *channel = current(owner, generation);
                       if (!channel || channel->connection != peer)
                           return;
                       // Large texts travel as descriptors; a channel that
                       // cannot pass them would have to leave those to the
                       // bus, out of order with the rest.
                       if (sd_bus_message_is_method_error(reply, nullptr) || !peer->passesFds()) {
                           close(*channel);
                           channel->state = Channel::Unavailable;
                           return;
                       }
                       channel->state = Channel::Open;
                       qCDebug(lcInterProc) << "direct channel to" << owner << "open";
                   });
    if (!made) {
        close(*current(owner, generation));
        current(owner, generation)->state = Channel::Unavailable;
    }
}
