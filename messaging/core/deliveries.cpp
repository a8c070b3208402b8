// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "deliveries.h"

#include "channelrouter.h"
#include "threadcheck.h"
#include "threaddirectory.h"
#include <InterProc/interprocbus.h>

#include <QThread>

#include <algorithm>
#include <utility>

using namespace InterProcBus;

namespace {
// How often waiting payloads are looked at for their timeout.
constexpr int ExpiryCheckMs = 1000;
} // namespace

Deliveries::Deliveries(BusConnection *bus, ChannelRouter *channels, QObject *parent)
    : QObject(parent), m_bus(bus), m_channels(channels)
{
    m_clock.start();
    connect(&m_expiry, &QTimer::timeout, this, &Deliveries::expire);
    setWaitLimitMs(DeliveryTimeoutMs);
}

void Deliveries::setWaitLimitMs(int ms)
{
    m_waitLimitMs = ms;
    // Looked at every second, or four times within a shorter limit.
    m_expiry.setInterval(std::clamp(ms / 4, 1, ExpiryCheckMs));
}

Deliveries::~Deliveries() = default;

bool Deliveries::deliver(qint32 handle, const QString &caption, const QString &owner,
                         std::shared_ptr<const Body> body, SendOutcome *why)
{
    INTERPROC_CHECK_THREAD(this);
    Lane &lane = m_lanes[owner];
    // A lane lives while payloads to its receiver do; what the receiver
    // takes is kept with the directory's window.
    if (lane.batching == Lane::Batching::Unknown && m_knownOffers) {
        if (const std::optional<quint8> offers = m_knownOffers(handle))
            lane.batching =
                (*offers & PartyInfo::OffersBatch) ? Lane::Batching::Yes : Lane::Batching::No;
    }
    const qint64 bytes = body->sealed ? 0 : body->utf8.size();
    if (lane.waiting.size() >= size_t(MaxWaitingPerReceiver) ||
        lane.waitingBytes + bytes > MaxWaitingBytesPerReceiver ||
        (body->sealed &&
         (lane.waitingSealed >= MaxWaitingSealedPerReceiver ||
          lane.waitingSealedBytes + qint64(body->size) > MaxWaitingSealedBytesPerReceiver))) {
        *why = {SendOutcome::LaneFull, qint64(lane.waiting.size()) + lane.inFlightPayloads};
        return false;
    }
    lane.waitingBytes += bytes;
    lane.waitingSealed += body->sealed ? 1 : 0;
    lane.waitingSealedBytes += body->sealed ? qint64(body->size) : 0;
    lane.waiting.push_back({handle, caption, std::move(body), m_clock.elapsed()});
    if (++m_waiting == 1)
        m_expiry.start();
    if (lane.ready || !hasRoom(lane))
        return true;
    // A batch can wait for the rest of this pass of the event loop.
    if (lane.batching == Lane::Batching::Yes && lane.inFlight > 0) {
        defer(owner, lane);
        return true;
    }
    lane.ready = true;
    m_ready.push_back(owner);
    pump();
    return true;
}

void Deliveries::defer(const QString &owner, Lane &lane)
{
    if (lane.deferred)
        return;
    lane.deferred = true;
    m_deferred.append(owner);
    if (m_deferred.size() == 1)
        QMetaObject::invokeMethod(this, &Deliveries::readyDeferred, Qt::QueuedConnection);
}

void Deliveries::readyDeferred()
{
    for (const QString &owner : std::exchange(m_deferred, {})) {
        auto it = m_lanes.find(owner);
        if (it == m_lanes.end() || !it->deferred)
            continue;
        it->deferred = false;
        if (!it->ready && !it->waiting.empty() && hasRoom(*it)) {
            it->ready = true;
            m_ready.push_back(owner);
        }
    }
    pump();
}

bool Deliveries::hasRoom(const Lane &lane)
{
    // While the receiver is asked, what follows waits as for one that takes
    // batches: a flight of single calls would leave nothing to batch.
    const bool mayBatch =
        lane.batching == Lane::Batching::Yes || lane.batching == Lane::Batching::Asking;
    return lane.inFlight < (mayBatch ? MaxBatchesInFlightPerReceiver : MaxInFlightPerReceiver);
}

void Deliveries::pump()
{
    // Lanes take turns, one call each, so that a receiver with a long
    // queue does not keep the others waiting.
    if (m_pumping)
        return;
    m_pumping = true;
    while (m_inFlight < MaxInFlight && !m_ready.empty()) {
        const QString owner = m_ready.front();
        m_ready.pop_front();
        auto it = m_lanes.find(owner);
        if (it == m_lanes.end())
            continue;
        Lane &lane = *it;
        lane.ready = false;
        if (lane.waiting.empty() || !hasRoom(lane))
            continue;
        // A second call on its way: the receiver may take what follows in
        // fewer calls.
        if (lane.inFlight > 0 && lane.batching == Lane::Batching::Unknown)
            askOffers(owner, lane, lane.waiting.front().handle);
        Items items = takeNext(lane);
        ++lane.inFlight;
        lane.inFlightPayloads += int(items.size());
        ++m_inFlight;
        if (!lane.waiting.empty() && hasRoom(lane)) {
            lane.ready = true;
            m_ready.push_back(owner);
        }
        issue(owner, std::move(items));
    }
    m_pumping = false;
    if (m_waiting == 0)
        m_expiry.stop();
}

Deliveries::Items Deliveries::takeNext(Lane &lane)
{
    Items items;
    qsizetype textBytes = 0;
    while (!lane.waiting.empty()) {
        const Item &next = lane.waiting.front();
        if (!items.empty()) {
            // Together only inline texts of one sender to one window, within
            // the bounds of a call.
            const Body &first = *items.front().body;
            const Body &body = *next.body;
            if (lane.batching != Lane::Batching::Yes || first.sealed || body.sealed ||
                next.handle != items.front().handle || body.senderHandle != first.senderHandle ||
                body.senderName != first.senderName || items.size() == size_t(MaxBatchPayloads) ||
                textBytes + body.utf8.size() > MaxBatchTextBytes)
                break;
        }
        Item item = std::move(lane.waiting.front());
        lane.waiting.pop_front();
        --m_waiting;
        const Body &body = *item.body;
        textBytes += body.sealed ? 0 : body.utf8.size();
        lane.waitingBytes -= body.sealed ? 0 : body.utf8.size();
        lane.waitingSealed -= body.sealed ? 1 : 0;
        lane.waitingSealedBytes -= body.sealed ? qint64(body.size) : 0;
        items.push_back(std::move(item));
    }
    return items;
}

void Deliveries::askOffers(const QString &owner, Lane &lane, qint32 handle)
{
    if (!m_askOffers) {
        lane.batching = Lane::Batching::No;
        return;
    }
    lane.batching = Lane::Batching::Asking;
    m_askOffers(handle, this, [this, owner](quint8 offers) {
        // The lane may have emptied and gone meanwhile; a new one asks again,
        // and the directory answers from what it keeps.
        auto it = m_lanes.find(owner);
        if (it == m_lanes.end() || it->batching != Lane::Batching::Asking)
            return;
        it->batching = (offers & PartyInfo::OffersBatch) ? Lane::Batching::Yes : Lane::Batching::No;
        if (!it->ready && !it->waiting.empty() && hasRoom(*it)) {
            it->ready = true;
            m_ready.push_back(owner);
            pump();
        }
    });
}

void Deliveries::expire()
{
    const qint64 oldest = m_clock.elapsed() - m_waitLimitMs;
    QList<Item> expired;
    for (auto lane = m_lanes.begin(); lane != m_lanes.end(); ++lane) {
        // Oldest first: the rest of the lane is younger.
        while (!lane->waiting.empty() && lane->waiting.front().queuedMs <= oldest) {
            Item item = std::move(lane->waiting.front());
            lane->waiting.pop_front();
            --m_waiting;
            lane->waitingBytes -= item.body->sealed ? 0 : item.body->utf8.size();
            lane->waitingSealed -= item.body->sealed ? 1 : 0;
            lane->waitingSealedBytes -= item.body->sealed ? qint64(item.body->size) : 0;
            expired.append(std::move(item));
        }
    }
    if (m_waiting == 0)
        m_expiry.stop();
    QPointer<Deliveries> alive(this);
    for (const Item &item : std::as_const(expired)) {
        emit failed(item.body->send, item.handle, item.caption, {SendOutcome::WaitedTooLong});
        if (!alive)
            return;
    }
}

void Deliveries::issue(const QString &owner, Items items)
{
    BusConnection *channel = m_channels ? m_channels->route(owner) : nullptr;
    BusConnection *connection = channel ? channel : m_bus;
    const Body &body = *items.front().body;
    const bool batch = items.size() > 1;
    // A direct channel leads to the window alone: its calls name nobody.
    const QByteArray destination = channel ? QByteArray() : owner.toUtf8();
    const char *member = batch                                           ? "DeliverBatch"
                         : !body.sealed                                  ? "DeliverUtf8"
                         : body.encoding == PayloadText::Encoding::Utf16 ? "DeliverSealedUtf16"
                                                                         : "DeliverSealed";
    const BusMessage call =
        connection->newCall(channel ? nullptr : destination.constData(), member);
    int r = !call   ? -ENOMEM
            : batch ? sd_bus_message_append(call.get(), "is", body.senderHandle,
                                            body.senderName.constData())
                    : sd_bus_message_append(call.get(), "isi", body.senderHandle,
                                            body.senderName.constData(), body.longData);
    if (r >= 0 && batch) {
        r = sd_bus_message_open_container(call.get(), 'a', "(iay)");
        for (size_t i = 0; r >= 0 && i < items.size(); ++i) {
            const Body &each = *items[i].body;
            r = sd_bus_message_open_container(call.get(), 'r', "iay");
            if (r >= 0)
                r = sd_bus_message_append_basic(call.get(), 'i', &each.longData);
            if (r >= 0)
                r = sd_bus_message_append_array(call.get(), 'y', each.utf8.constData(),
                                                size_t(each.utf8.size()));
            if (r >= 0)
                r = sd_bus_message_close_container(call.get());
        }
        if (r >= 0)
            r = sd_bus_message_close_container(call.get());
    } else if (r >= 0 && body.sealed) {
        r = sd_bus_message_append(call.get(), "ht", body.fd->get(), quint64(body.size));
    } else if (r >= 0) {
        r = sd_bus_message_append_array(call.get(), 'y', body.utf8.constData(),
                                        size_t(body.utf8.size()));
    }
    QElapsedTimer sent;
    sent.start();
    const bool direct = channel != nullptr;
    QPointer<BusConnection> on(connection);
    // Where the call stands in the connection's order of writing, so that a
    // lost bus tells a call it wrote from one still queued.
    const quint64 position = connection->sendPosition() + 1;
    auto shared = std::make_shared<const Items>(std::move(items));
    if (r >= 0 && connection->call(
                      call.get(), DeliveryTimeoutMs, this,
                      [this, owner, shared, direct, on, sent, position](sd_bus_message *reply) {
                          if (reply) {
                              answered(owner, *shared, direct, on, sent.elapsed(), reply, position);
                              return;
                          }
                          // This side closed the connection first.
                          answered(owner, *shared, direct, nullptr, 0, nullptr, position);
                          // A lost bus or channel already says the window may
                          // or may not have taken what was written.
                          failAll(*shared,
                                  {connectionLost(direct, on && on->neverWritten(position))});
                      },
                      &r))
        return;
    // Not sent at all: told now, in its turn with the others.
    SendOutcome why;
    if (r == -EOPNOTSUPP)
        why.cause = SendOutcome::NoFdPassing;
    else if (!connection->isOpen() && !direct)
        why.cause = SendOutcome::BusLostUnsent;
    // A channel that cannot be written to has lost its window.
    else if (direct && (!connection->isOpen() || r == -ECONNRESET || r == -EPIPE))
        why.cause = SendOutcome::WentAway;
    else
        why = SendOutcome(SendOutcome::CallFailed, QString(), QString::fromLocal8Bit(strerror(-r)));
    QMetaObject::invokeMethod(
        this,
        [this, owner, shared, direct, why] {
            answered(owner, *shared, direct, nullptr, 0, nullptr, 0);
            failAll(*shared, why);
        },
        Qt::QueuedConnection);
}

void Deliveries::failAll(const Items &items, const SendOutcome &why)
{
    QPointer<Deliveries> alive(this);
    for (const Item &item : items) {
        emit failed(item.body->send, item.handle, item.caption, why);
        if (!alive)
            return;
    }
}

void Deliveries::answered(const QString &owner, const Items &items, bool direct,
                          BusConnection *connection, qint64 elapsedMs, sd_bus_message *reply,
                          quint64 position)
{
    auto it = m_lanes.find(owner);
    if (it != m_lanes.end()) {
        --it->inFlight;
        it->inFlightPayloads -= int(items.size());
        if (!it->ready && !it->waiting.empty()) {
            it->ready = true;
            m_ready.push_back(owner);
        }
    }
    --m_inFlight;
    if (m_channels && !direct)
        m_channels->busDeliveryAnswered(owner);
    if (reply) {
        const bool open = connection && connection->isOpen();
        QPointer<Deliveries> alive(this);
        if (!sd_bus_message_is_method_error(reply, nullptr)) {
            // A batch is answered with how many of it the window handed over:
            // all, or the first ones when it ended before the rest.
            quint32 taken = 1;
            const bool batch = items.size() > 1;
            if (batch && sd_bus_message_read(reply, "u", &taken) <= 0) {
                failAll(items, {SendOutcome::BatchUnclear});
                if (!alive)
                    return;
            } else {
                for (size_t i = 0; i < items.size(); ++i) {
                    const Item &item = items[i];
                    if (i < taken)
                        emit delivered(item.body->send, item.handle, item.caption);
                    else
                        emit failed(item.body->send, item.handle, item.caption,
                                    {SendOutcome::WentAway});
                    if (!alive)
                        return;
                }
            }
        } else {
            if (direct && m_channels)
                m_channels->directDeliveryFailed(owner);
            SendOutcome why =
                failure(Bus::errorName(reply), Bus::errorMessage(reply), elapsedMs, direct, open,
                        connection && connection->neverWritten(position));
            // The window refuses a batch whole; only its going away leaves
            // unclear how much of one it took. A lost bus or channel says so
            // already, and that it is the connection that was lost.
            if (items.size() > 1 && why.cause == SendOutcome::WentAway)
                why = {SendOutcome::BatchUnclear};
            failAll(items, why);
            if (!alive)
                return;
            if (!direct && !open)
                emit busLost();
        }
    }
    dropLaneIfIdle(owner);
    pump();
}

void Deliveries::dropLaneIfIdle(const QString &owner)
{
    auto it = m_lanes.find(owner);
    if (it != m_lanes.end() && it->inFlight == 0 && it->waiting.empty())
        m_lanes.erase(it);
}

// A connection that closed before the call's answer was read. On a direct
// channel the window may have answered it: a write that fails on a channel
// whose window has ended closes it before the answers already waiting in its
// socket are read. On the bus a call still queued on this side never reached
// the daemon; one that was written may have been handed to the window and
// taken before the daemon ended. Neither outcome is claimed for those.
SendOutcome::Cause Deliveries::connectionLost(bool direct, bool neverWritten) const
{
    if (direct && m_bus->isOpen())
        return SendOutcome::ChannelLost;
    return neverWritten ? SendOutcome::BusLostUnsent : SendOutcome::BusLostAfterWrite;
}

SendOutcome Deliveries::failure(const QString &errorName, const QString &errorMessage,
                                qint64 elapsedMs, bool direct, bool connectionOpen,
                                bool neverWritten) const
{
    // sd-bus tells a closed connection as NoReply to every call still
    // waiting: a direct channel closes when the window's end of it goes
    // away, the bus when its daemon ends.
    if (!connectionOpen)
        return {connectionLost(direct, neverWritten)};
    if (errorName == QLatin1String("org.freedesktop.DBus.Error.NoReply") ||
        errorName == QLatin1String("org.freedesktop.DBus.Error.Timeout") ||
        errorName == QLatin1String("org.freedesktop.DBus.Error.TimedOut")) {
        // The bus daemon gives NoReply too when the window's connection
        // closes (it ended or was killed) before it answered.
        if (elapsedMs < DeliveryTimeoutMs - 1000)
            return {SendOutcome::WentAway};
        // Only ever a call the daemon (or the channel) took on: it stays
        // queued for the window, which gets it if it runs again.
        return {SendOutcome::NotTakenInTime};
    }
    if (errorName == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
        errorName == QLatin1String("org.freedesktop.DBus.Error.UnknownObject") ||
        errorName == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner"))
        return {SendOutcome::Gone};
    // The bus and an overfull receiver refuse alike; neither took the payload.
    return {errorName == QLatin1String("org.freedesktop.DBus.Error.LimitsExceeded")
                ? SendOutcome::BusLimits
                : SendOutcome::RemoteError,
            errorName, errorMessage};
}
