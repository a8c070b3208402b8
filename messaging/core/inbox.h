// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The payloads that have arrived for an endpoint and wait for its owner:
// handed over one at a time from the owner's event loop, never inside a
// previous handler, and in slices short enough to keep the owner responsive.
// Each call is answered as its payload is handed over, so that a sender
// never counts as delivered a payload that an endpoint ending (or killed)
// never raised; what still waits here is no sender's delivered payload.
// Each caller has a lane of its own, and the lanes take turns: a caller's
// payloads are handed over in the order of its calls, and one caller's
// flood delays another's payload by one payload of each waiting caller at
// most, not by the whole flood.
#pragma once

#include "busconnection.h"
#include <InterProc/interprocbus.h>

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <deque>
#include <functional>
#include <unordered_map>

struct Payload
{
    qint32 senderHandle = 0;
    QString senderName;
    qint32 longData = 0;
    QString stringData;
};

class Inbox : public QObject
{
    Q_OBJECT

public:
    explicit Inbox(QObject *parent);

    // Queues a payload of caller (the unique bus name it speaks for);
    // arrived() follows from the event loop, and the call (null when it
    // wants no answer) is answered on `connection` just before.
    void enqueue(const QString &caller, Payload payload, const BusMessage &call,
                 BusConnection *connection)
    {
        enqueue(caller, {std::move(payload)}, false, call, connection);
    }
    // The same for several payloads in order. A batch's call is answered
    // once its last payload is handed over, with their number; an inbox that
    // goes first answers a batch it has begun with how many it handed over.
    void enqueue(const QString &caller, QList<Payload> payloads, bool batch, const BusMessage &call,
                 BusConnection *connection);
    ~Inbox() override;
    // Answers each batch begun with how many of it were handed over, and lets
    // go of every payload still waiting, taken by nobody: called as the
    // endpoint ends, while its connections are still open.
    void endBatchesBegun();

    // What may wait here at once: past either bound a program slower than
    // its senders has new payloads refused rather than its memory grow
    // without end. Texts count as UTF-16.
    static constexpr qsizetype MaxWaiting = 65536;
    static constexpr qint64 MaxWaitingTextBytes = qint64(64) * 1024 * 1024;
    // One caller's share of it, so that one flood leaves room for the
    // others: what one sending endpoint has on its way to a receiver at
    // most (32,768 payloads, 16 MiB of UTF-8).
    static constexpr qsizetype MaxWaitingPerCaller = MaxWaiting / 2;
    static constexpr qint64 MaxWaitingTextBytesPerCaller = MaxWaitingTextBytes / 2;
    // Large texts (longer than a call may carry inside it, read from
    // memfds) have bounds of their own, so that one large text waiting
    // does not hold up the small payloads behind it. A large text is taken
    // while these are not reached, so that one of any size the contract
    // allows gets in.
    static constexpr qint64 MaxWaitingLargeTextBytes = qint64(128) * 1024 * 1024;
    static constexpr qint64 MaxWaitingLargeTextBytesPerCaller = MaxWaitingLargeTextBytes / 2;
    static bool isLarge(qint64 characters) { return characters > InterProcBus::InlineTextLimit; }

    // Reading comes first: while `waiting` says that reading the endpoint's
    // connection is behind (a flood waits to be read), payloads are handed
    // over one per ProgramTurnMs only, so that a flood is read (and refused
    // past the bounds) as fast as it comes, however long the owner takes
    // for each.
    static constexpr qint64 ProgramTurnMs = 50;
    void setReadingFirst(std::function<bool()> waiting) { m_readWaiting = std::move(waiting); }

    // Whether `count` payloads of caller (with a large text or not) may wait
    // here now, and if not, why. The text bounds are looked at before the
    // payloads come in: a batch may pass them by its own size, which its
    // call bounds (MaxBatchTextBytes).
    bool hasRoom(const QString &caller, bool largeText = false, qsizetype count = 1) const;
    QString refusal(const QString &caller, bool largeText = false, qsizetype count = 1) const;
    qsizetype waiting() const { return m_count; }

signals:
    // A payload is handed to the program, one at a time: never while a
    // handler of the previous one still runs, also when it runs a nested
    // event loop. The inbox may be gone once it returns.
    void arrived(qint32 senderHandle, const QString &senderName, qint32 longData,
                 const QString &stringData);

private:
    void scheduleDispatch();
    void dispatch();

    // One call's payloads, handed over from `next` on: a batch waits as it
    // came, and its call and connection are held once for all of it.
    struct Call
    {
        QList<Payload> payloads;
        qsizetype next = 0;
        BusMessage call;
        QPointer<BusConnection> connection;
        bool batch = false;
    };
    struct Lane
    {
        std::deque<Call> calls;
        qsizetype count = 0;  // payloads waiting in them
        qint64 textBytes = 0; // counted towards the text bounds
        qint64 largeTextBytes = 0;
    };
    const Lane *laneOf(const QString &caller) const; // null when it has nothing waiting
    static qint64 textBytesOf(const Payload &payload)
    {
        return qint64(payload.stringData.size()) * qint64(sizeof(QChar));
    }

    // Node-based, so that the line of turns can point at its lanes: a
    // payload handed over costs no lookup by the caller's name.
    using Lanes = std::unordered_map<QString, Lane>;
    Lanes m_lanes;
    // Callers with payloads waiting, in the order of their turns.
    std::deque<Lanes::value_type *> m_turns;
    qsizetype m_count = 0;
    qint64 m_textBytes = 0;
    qint64 m_largeTextBytes = 0;
    bool m_scheduled = false;
    bool m_dispatching = false;
    std::function<bool()> m_readWaiting;
    QElapsedTimer m_lastHandedOver;
    QTimer m_nextTurn;
};
