// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "deliveries.h"

#include "channelrouter.h"
#include "foreigntext.h"
#include "threadcheck.h"
#include <InterProc/interprocbus.h>

#include <QThread>

#include <algorithm>

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
                         std::shared_ptr<const Body> body, QString *why)
{
    INTERPROC_CHECK_THREAD(this);
    Lane &lane = m_lanes[owner];
    const qint64 bytes = body->sealed ? 0 : body->utf8.size();
    if (lane.waiting.size() >= size_t(MaxWaitingPerReceiver) ||
        lane.waitingBytes + bytes > MaxWaitingBytesPerReceiver ||
        (body->sealed &&
         (lane.waitingSealed >= MaxWaitingSealedPerReceiver ||
          lane.waitingSealedBytes + qint64(body->size) > MaxWaitingSealedBytesPerReceiver))) {
        *why = QStringLiteral("the window is not taking its payloads (%1 are still waiting for "
                              "it); this one was not sent")
                   .arg(lane.waiting.size() + size_t(lane.inFlight));
        return false;
    }
    lane.waitingBytes += bytes;
    lane.waitingSealed += body->sealed ? 1 : 0;
    lane.waitingSealedBytes += body->sealed ? qint64(body->size) : 0;
    lane.waiting.push_back({handle, caption, std::move(body), m_clock.elapsed()});
    if (++m_waiting == 1)
        m_expiry.start();
    if (!lane.ready && lane.inFlight < MaxInFlightPerReceiver) {
        lane.ready = true;
        m_ready.push_back(owner);
    }
    pump();
    return true;
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
        if (lane.waiting.empty() || lane.inFlight >= MaxInFlightPerReceiver)
            continue;
        Item item = std::move(lane.waiting.front());
        lane.waiting.pop_front();
        --m_waiting;
        lane.waitingBytes -= item.body->sealed ? 0 : item.body->utf8.size();
        lane.waitingSealed -= item.body->sealed ? 1 : 0;
        lane.waitingSealedBytes -= item.body->sealed ? qint64(item.body->size) : 0;
        ++lane.inFlight;
        ++m_inFlight;
        if (!lane.waiting.empty() && lane.inFlight < MaxInFlightPerReceiver) {
            lane.ready = true;
            m_ready.push_back(owner);
        }
        issue(owner, std::move(item));
    }
    m_pumping = false;
    if (m_waiting == 0)
        m_expiry.stop();
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
        emit failed(item.handle, item.caption,
                    QStringLiteral("it has not taken the payloads before this one within %1 "
                                   "seconds; this one was not sent")
                        .arg(m_waitLimitMs / 1000));
        if (!alive)
            return;
    }
}

void Deliveries::issue(const QString &owner, Item item)
{
    BusConnection *channel = m_channels ? m_channels->route(owner) : nullptr;
    BusConnection *connection = channel ? channel : m_bus;
    const Body &body = *item.body;
    // A direct channel leads to the window alone: its calls name nobody.
    const QByteArray destination = channel ? QByteArray() : owner.toUtf8();
    const BusMessage call =
        Bus::newCall(connection->bus(), channel ? nullptr : destination.constData(),
                     body.sealed ? "DeliverSealed" : "DeliverUtf8");
    int r = call ? sd_bus_message_append(call.get(), "isi", body.senderHandle,
                                         body.senderName.constData(), body.longData)
                 : -ENOMEM;
    if (r >= 0 && body.sealed)
        r = sd_bus_message_append(call.get(), "ht", body.fd->get(), quint64(body.size));
    else if (r >= 0)
        r = sd_bus_message_append_array(call.get(), 'y', body.utf8.constData(),
                                        size_t(body.utf8.size()));
    QElapsedTimer sent;
    sent.start();
    const bool direct = channel != nullptr;
    QPointer<BusConnection> on(connection);
    // Where the call stands in the connection's order of writing, so that a
    // lost bus tells a call it wrote from one still queued.
    const quint64 position = connection->sendPosition() + 1;
    if (r >= 0 && connection->call(
                      call.get(), DeliveryTimeoutMs, this,
                      [this, owner, item, direct, on, sent, position](sd_bus_message *reply) {
                          if (reply) {
                              answered(owner, item, direct, on, sent.elapsed(), reply, position);
                              return;
                          }
                          // This side closed the connection first.
                          answered(owner, item, direct, nullptr, 0, nullptr, position);
                          emit failed(item.handle, item.caption,
                                      direct && m_bus->isOpen()
                                          ? channelLostReason()
                                          : busLostReason(on && on->neverWritten(position)));
                      },
                      &r))
        return;
    // Not sent at all: told now, in its turn with the others.
    const QString reason =
        r == -EOPNOTSUPP
            ? QStringLiteral("the session bus connection cannot pass file descriptors, which "
                             "texts over %1 bytes need")
                  .arg(InlineTextLimit)
        : !connection->isOpen() && !direct ? busLostReason(true)
        // A channel that cannot be written to has lost its window.
        : direct && (!connection->isOpen() || r == -ECONNRESET || r == -EPIPE)
            ? QStringLiteral("the window went away before it took the payload")
            : QStringLiteral("the call could not be made (%1)")
                  .arg(QString::fromLocal8Bit(strerror(-r)));
    QMetaObject::invokeMethod(
        this,
        [this, owner, item, direct, reason] {
            answered(owner, item, direct, nullptr, 0, nullptr, 0);
            emit failed(item.handle, item.caption, reason);
        },
        Qt::QueuedConnection);
}

void Deliveries::answered(const QString &owner, const Item &item, bool direct,
                          BusConnection *connection, qint64 elapsedMs, sd_bus_message *reply,
                          quint64 position)
{
    auto it = m_lanes.find(owner);
    if (it != m_lanes.end()) {
        --it->inFlight;
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
        if (!sd_bus_message_is_method_error(reply, nullptr)) {
            emit delivered(item.handle, item.caption);
        } else {
            if (direct && m_channels)
                m_channels->directDeliveryFailed(owner);
            emit failed(item.handle, item.caption,
                        failureReason(Bus::errorName(reply), Bus::errorMessage(reply), elapsedMs,
                                      direct, open,
                                      connection && connection->neverWritten(position)));
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

// A call on a direct channel that closed before its answer was read. The
// window may have answered it: a write that fails on a channel whose window
// has ended closes it before the answers already waiting in its socket are
// read. So neither outcome is claimed.
QString Deliveries::channelLostReason()
{
    return QStringLiteral("the window went away before its answer was read; it may or may not "
                          "have taken the payload");
}

// The bus connection closed before the call's answer came. A call still
// queued on this side never reached the daemon; one that was written may
// have been handed to the window and taken before the daemon ended, so
// neither outcome is claimed for it.
QString Deliveries::busLostReason(bool neverWritten)
{
    if (neverWritten)
        return QStringLiteral("the session bus connection is lost; the payload was not sent");
    return QStringLiteral("the session bus connection was lost before the answer was read; the "
                          "window may or may not have taken the payload");
}

QString Deliveries::failureReason(const QString &errorName, const QString &errorMessage,
                                  qint64 elapsedMs, bool direct, bool connectionOpen,
                                  bool neverWritten)
{
    // sd-bus tells a closed connection as NoReply to every call still
    // waiting: a direct channel closes when the window's end of it goes
    // away, the bus when its daemon ends.
    if (!connectionOpen) {
        if (direct && m_bus->isOpen())
            return channelLostReason();
        return busLostReason(neverWritten);
    }
    if (errorName == QLatin1String("org.freedesktop.DBus.Error.NoReply") ||
        errorName == QLatin1String("org.freedesktop.DBus.Error.Timeout") ||
        errorName == QLatin1String("org.freedesktop.DBus.Error.TimedOut")) {
        // The bus daemon gives NoReply too when the window's connection
        // closes (it ended or was killed) before it answered.
        if (elapsedMs < DeliveryTimeoutMs - 1000)
            return QStringLiteral("the window went away before it took the payload");
        // Only ever a call the daemon (or the channel) took on: it stays
        // queued for the window, which gets it if it runs again.
        return QStringLiteral("it has not taken the payload within %1 seconds; it is busy or "
                              "stopped and gets the payload if it runs again")
            .arg(DeliveryTimeoutMs / 1000);
    }
    if (errorName == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
        errorName == QLatin1String("org.freedesktop.DBus.Error.UnknownObject") ||
        errorName == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner"))
        return QStringLiteral("the window is gone");
    if (errorName == QLatin1String("org.freedesktop.DBus.Error.LimitsExceeded"))
        return QStringLiteral("the bus refused the call, as too many calls are waiting: %1")
            .arg(ForeignText::remoteError(errorName, errorMessage));
    return ForeignText::remoteError(errorName, errorMessage);
}
