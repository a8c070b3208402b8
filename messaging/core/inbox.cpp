// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "inbox.h"

#include "threadcheck.h"

#include <QElapsedTimer>
#include <QPointer>

namespace {
// Arrivals are handed to the owner in slices of at most this long, so that a
// flood of payloads never stalls the owner's own events. Shorter than a pass
// over a connection (BusConnection): under a flood the endpoint reads and
// refuses faster than its owner takes payloads, so that what comes past the
// inbox's bounds is refused at once rather than left with the bus daemon.
constexpr qint64 DispatchSliceMs = 4;
} // namespace

Inbox::Inbox(QObject *parent) : QObject(parent)
{
    m_nextTurn.setSingleShot(true);
    connect(&m_nextTurn, &QTimer::timeout, this, &Inbox::dispatch);
}

Inbox::~Inbox()
{
    endBatchesBegun();
}

void Inbox::endBatchesBegun()
{
    // A batch cut short is answered for what its sender may count as
    // delivered; the rest of it, and every other call, were not taken.
    for (const auto &[caller, lane] : std::as_const(m_lanes)) {
        const Call &next = lane.calls.front();
        if (next.batch && next.next > 0 && next.connection && next.call)
            next.connection->reply(next.call.get(), "u", quint32(next.next));
    }
    m_lanes.clear();
    m_turns.clear();
    m_count = 0;
    m_textBytes = 0;
    m_largeTextBytes = 0;
}

const Inbox::Lane *Inbox::laneOf(const QString &caller) const
{
    const auto found = m_lanes.find(caller);
    return found == m_lanes.cend() ? nullptr : &found->second;
}

bool Inbox::hasRoom(const QString &caller, bool largeText, qsizetype count) const
{
    if (m_count + count > MaxWaiting)
        return false;
    const Lane *lane = laneOf(caller);
    if (lane && lane->count + count > MaxWaitingPerCaller)
        return false;
    if (largeText)
        return m_largeTextBytes < MaxWaitingLargeTextBytes &&
               (!lane || lane->largeTextBytes < MaxWaitingLargeTextBytesPerCaller);
    return m_textBytes < MaxWaitingTextBytes &&
           (!lane || lane->textBytes < MaxWaitingTextBytesPerCaller);
}

QString Inbox::refusal(const QString &caller, bool largeText, qsizetype count) const
{
    constexpr qint64 MiB = 1024 * 1024;
    const Lane *lane = laneOf(caller);
    const qsizetype mine = lane ? lane->count : 0;
    const bool countFull = m_count + count > MaxWaiting || mine + count > MaxWaitingPerCaller;
    if (largeText && !countFull && lane && m_largeTextBytes < MaxWaitingLargeTextBytes)
        return QStringLiteral("The receiver has %1 MiB of large texts waiting for its program "
                              "from this caller, as much as it holds of one caller; it did not "
                              "take this one.")
            .arg(lane->largeTextBytes / MiB);
    if (largeText && !countFull)
        return QStringLiteral("The receiver has %1 MiB of large texts waiting for its program, "
                              "as much as it holds; it did not take this one.")
            .arg(m_largeTextBytes / MiB);
    if (m_count + count > MaxWaiting || m_textBytes >= MaxWaitingTextBytes)
        return QStringLiteral("The receiver has %1 payloads waiting for its program (%2 MiB of "
                              "text), as many as it holds; it did not take this one.")
            .arg(m_count)
            .arg(m_textBytes / MiB);
    return QStringLiteral("The receiver has %1 payloads waiting for its program from this "
                          "caller (%2 MiB of text), as many as it holds of one caller; it did "
                          "not take this one.")
        .arg(mine)
        .arg(lane ? lane->textBytes / MiB : 0);
}

void Inbox::enqueue(const QString &caller, QList<Payload> payloads, bool batch,
                    const BusMessage &call, BusConnection *connection)
{
    INTERPROC_CHECK_THREAD(this);
    if (payloads.isEmpty())
        return;
    Lanes::value_type &turn = *m_lanes.try_emplace(caller).first;
    Lane &lane = turn.second;
    if (lane.count == 0)
        m_turns.push_back(&turn);
    for (const Payload &payload : std::as_const(payloads)) {
        const qint64 textBytes = textBytesOf(payload);
        const bool largeText = isLarge(payload.stringData.size());
        (largeText ? lane.largeTextBytes : lane.textBytes) += textBytes;
        (largeText ? m_largeTextBytes : m_textBytes) += textBytes;
    }
    lane.count += payloads.size();
    m_count += payloads.size();
    lane.calls.push_back({std::move(payloads), 0, call, connection, batch});
    scheduleDispatch();
}

void Inbox::scheduleDispatch()
{
    if (m_scheduled)
        return;
    m_scheduled = true;
    QMetaObject::invokeMethod(this, &Inbox::dispatch, Qt::QueuedConnection);
}

void Inbox::dispatch()
{
    INTERPROC_CHECK_THREAD(this);
    m_scheduled = false;
    // A handler that runs a nested event loop (a modal dialog) must not see
    // the next payload before it returns; the outer call carries on then.
    if (m_dispatching)
        return;
    m_dispatching = true;
    QPointer<Inbox> alive(this);
    QElapsedTimer slice;
    slice.start();
    // Whether reading is behind is asked once a pass, not once a payload: it
    // is a system call, and a pass is short.
    bool readingAsked = false;
    while (!m_turns.empty()) {
        if (slice.elapsed() >= DispatchSliceMs) {
            scheduleDispatch();
            break;
        }
        if (m_readWaiting && !readingAsked && m_lastHandedOver.isValid() &&
            m_lastHandedOver.elapsed() < ProgramTurnMs) {
            readingAsked = true;
            if (m_readWaiting()) {
                m_nextTurn.start(int(ProgramTurnMs - m_lastHandedOver.elapsed()));
                break;
            }
        }
        m_lastHandedOver.start();
        // The caller whose turn it is gives one payload and goes to the
        // back of the line while it has more.
        Lanes::value_type *turn = m_turns.front();
        m_turns.pop_front();
        Lane *lane = &turn->second;
        Call &from = lane->calls.front();
        const qsizetype index = from.next++;
        // Its own copy: the handler may end the inbox.
        const Payload payload = std::move(from.payloads[index]);
        const bool last = from.next == from.payloads.size();
        const qint64 textBytes = textBytesOf(payload);
        const bool largeText = isLarge(payload.stringData.size());
        (largeText ? lane->largeTextBytes : lane->textBytes) -= textBytes;
        (largeText ? m_largeTextBytes : m_textBytes) -= textBytes;
        --m_count;
        // Answered before the handler runs: one that opens a dialog keeps
        // the next payloads unanswered, not this one. A batch is answered
        // with its last payload.
        if (from.connection && from.call && !from.batch)
            from.connection->reply(from.call.get(), nullptr);
        else if (from.connection && from.call && last)
            from.connection->reply(from.call.get(), "u", quint32(from.payloads.size()));
        if (last)
            lane->calls.pop_front();
        if (--lane->count == 0)
            m_lanes.erase(m_lanes.find(turn->first));
        else
            m_turns.push_back(turn);
        emit arrived(payload.senderHandle, payload.senderName, payload.longData,
                     payload.stringData);
        if (!alive)
            return;
    }
    m_dispatching = false;
}
