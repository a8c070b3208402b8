// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The Deliver* calls of an endpoint to other endpoints, with flow control:
// at most MaxInFlightPerReceiver calls on their way to one receiver and
// MaxInFlight in all; the rest wait, in order, in the receiver's lane, up to
// MaxWaitingPerReceiver payloads (MaxWaitingBytesPerReceiver of inline text,
// MaxWaitingSealedPerReceiver sealed texts of MaxWaitingSealedBytesPerReceiver). A payload beyond
// that is refused at once, so that a receiver that stops reading costs its senders neither memory
// nor the bus's limit of pending replies, and every payload ends as delivered or as reported
// failed. A payload that waited for the delivery timeout without its call being made is reported as
// not sent. Each call goes over the bus or a direct channel, as the channel router says. To a
// receiver that takes batches (FeatureBatch), at most MaxBatchesInFlightPerReceiver calls are on
// their way at once, and the inline payloads waiting behind them go together in the next call: a
// burst costs one call per batch instead of one per payload, and a lone payload goes at once. What
// is queued for such a receiver while a call to it is on its way goes once the event loop has
// finished what it is doing, so that the payloads of one pass of the loop travel together.
#pragma once

#include "busconnection.h"
#include "payloadtext.h"
#include "sendoutcome.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class ChannelRouter;

class Deliveries : public QObject
{
    Q_OBJECT

public:
    // A window this wide keeps a flood as fast as the bus allows (each call
    // waits a round trip through the daemon), and all of them together stay
    // far below the bus daemons' limits of pending replies.
    static constexpr int MaxInFlightPerReceiver = 256;
    static constexpr int MaxInFlight = 512;
    // Enough to keep a receiver busy while the answer to the oldest comes back.
    static constexpr int MaxBatchesInFlightPerReceiver = 4;
    static constexpr int MaxWaitingPerReceiver = 32768;
    static constexpr qint64 MaxWaitingBytesPerReceiver = 16 * 1024 * 1024;
    // Each waiting sealed text holds a descriptor and its memory until sent.
    static constexpr int MaxWaitingSealedPerReceiver = 1024;
    static constexpr qint64 MaxWaitingSealedBytesPerReceiver = qint64(512) * 1024 * 1024;

    // One payload as it goes to every addressee.
    struct Body
    {
        quint64 send = 0; // the endpoint's number for the send, 0 when nobody follows it
        qint32 senderHandle = 0;
        QByteArray senderName;
        qint32 longData = 0;
        bool sealed = false;
        QByteArray utf8;                           // a text inside the message
        std::shared_ptr<PayloadText::UniqueFd> fd; // or in a sealed memfd
        quint64 size = 0;
        PayloadText::Encoding encoding = PayloadText::Encoding::Utf8; // of the memfd's text
    };

    Deliveries(BusConnection *bus, ChannelRouter *channels, QObject *parent);
    ~Deliveries() override;

    // How long a payload may wait in its lane for its call to be made
    // before it is reported as not sent: DeliveryTimeoutMs, unless a test
    // shortens it.
    void setWaitLimitMs(int ms);

    // How to learn what a window takes beyond the original contract (the
    // PartyInfo::Offer flags): `known` tells what is known without asking,
    // `ask` asks, once a receiver has a second call on its way. Without
    // them, every payload goes in a call of its own.
    using KnownOffers = std::function<std::optional<quint8>(qint32 handle)>;
    using AskOffers = std::function<void(qint32 handle, QObject *context,
                                         std::function<void(quint8 offers)> done)>;
    void setOfferSource(KnownOffers known, AskOffers ask)
    {
        m_knownOffers = std::move(known);
        m_askOffers = std::move(ask);
    }

    // Queues a payload for the window `handle` owned by the connection
    // `owner`; false with *why when its lane is full.
    bool deliver(qint32 handle, const QString &caption, const QString &owner,
                 std::shared_ptr<const Body> body, SendOutcome *why);

signals:
    // send: Body::send of the payload.
    void delivered(quint64 send, qint32 handle, const QString &caption);
    void failed(quint64 send, qint32 handle, const QString &caption, const SendOutcome &why);
    // The bus connection closed under a call.
    void busLost();

private:
    struct Item
    {
        qint32 handle = 0;
        QString caption;
        std::shared_ptr<const Body> body;
        qint64 queuedMs = 0; // on m_clock
    };
    using Items = std::vector<Item>; // one call's payloads, in order
    struct Lane
    {
        enum class Batching : quint8 { Unknown, Asking, Yes, No };
        Batching batching = Batching::Unknown;
        std::deque<Item> waiting;
        qint64 waitingBytes = 0;
        int waitingSealed = 0;
        qint64 waitingSealedBytes = 0;
        int inFlight = 0;         // calls
        int inFlightPayloads = 0; // in them
        bool ready = false;    // in m_ready
        bool deferred = false; // in m_deferred
    };

    static bool hasRoom(const Lane &lane);
    // Makes the lane ready once the event loop is back.
    void defer(const QString &owner, Lane &lane);
    void readyDeferred();
    void pump();
    // The waiting payloads that go in the lane's next call.
    Items takeNext(Lane &lane);
    void askOffers(const QString &owner, Lane &lane, qint32 handle);
    void issue(const QString &owner, Items items);
    // position: the call's place in its connection's order of writing.
    void answered(const QString &owner, const Items &items, bool direct, BusConnection *connection,
                  qint64 elapsedMs, sd_bus_message *reply, quint64 position);
    // Tells each of items that it failed for why.
    void failAll(const Items &items, const SendOutcome &why);
    SendOutcome::Cause connectionLost(bool direct, bool neverWritten) const;
    SendOutcome failure(const QString &errorName, const QString &errorMessage, qint64 elapsedMs,
                        bool direct, bool connectionOpen, bool neverWritten) const;
    void dropLaneIfIdle(const QString &owner);
    // Reports as not sent what has waited for the delivery timeout.
    void expire();

    BusConnection *m_bus;
    ChannelRouter *m_channels;
    QHash<QString, Lane> m_lanes; // by the receiver's connection
    std::deque<QString> m_ready;  // lanes with waiting payloads and room
    QList<QString> m_deferred;    // lanes to make ready once the event loop is back
    int m_inFlight = 0;
    int m_waiting = 0;
    bool m_pumping = false;
    QElapsedTimer m_clock;
    QTimer m_expiry;
    int m_waitLimitMs;
    KnownOffers m_knownOffers;
    AskOffers m_askOffers;
};
