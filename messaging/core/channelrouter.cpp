// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "channelrouter.h"

#include "busconnection.h"
#include "channelserver.h"
#include "interproclogging.h"
#include <InterProc/interprocbus.h>

#include <QThread>

#include <cstring>

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
    Q_ASSERT(QThread::currentThread() == thread());
    // An endpoint's own window is reached through its own connection.
    if (!directChannelsEnabled() || owner == m_bus->uniqueName())
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

void ChannelRouter::open(const QString &owner, quint64 generation)
{
    const BusMessage offer =
        Bus::newCall(m_bus->bus(), owner.toUtf8().constData(), "OpenDirectChannel");
    const bool asked =
        offer &&
        m_bus->call(offer.get(), DeliveryTimeoutMs, this,
                    [this, owner, generation](sd_bus_message *reply) {
                        Channel *channel = current(owner, generation);
                        if (!channel)
                            return;
                        const char *address = nullptr;
                        const void *token = nullptr;
                        size_t tokenSize = 0;
                        // A window of an older version, or one
                        // without a private runtime directory,
                        // offers none; only a local socket is
                        // taken.
                        if (sd_bus_message_is_method_error(reply, nullptr) ||
                            sd_bus_message_read(reply, "s", &address) < 0 ||
                            sd_bus_message_read_array(reply, 'y', &token, &tokenSize) < 0 ||
                            std::strncmp(address, "unix:path=", 10) != 0) {
                            channel->state = Channel::Unavailable;
                            return;
                        }
                        channel->connection = BusConnection::connectToPeer(address, this);
                        if (!channel->connection) {
                            channel->state = Channel::Unavailable;
                            return;
                        }
                        attach(owner, generation,
                               QByteArray(static_cast<const char *>(token), qsizetype(tokenSize)));
                    });
    if (!asked)
        m_channels[owner].state = Channel::Unavailable;
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
    const BusMessage call = Bus::newCall(peer->bus(), nullptr, "AttachDirectChannel");
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
