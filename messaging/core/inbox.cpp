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
    for (const Lane &lane : std::as_const(m_lanes)) {
        const Entry &next = lane.entries.head();
        if (next.batchIndex > 0 && next.connection && next.call)
            next.connection->reply(next.call.get(), "u", next.batchIndex);
    }
    m_lanes.clear();
    m_turns.clear();
    m_count = 0;
    m_textBytes = 0;
    m_largeTextBytes = 0;
}

bool Inbox::hasRoom(const QString &caller, bool largeText, qsizetype count) const
{
    if (m_count + count > MaxWaiting)
        return false;
    const auto lane = m_lanes.constFind(caller);
    if (lane != m_lanes.cend() && lane->entries.size() + count > MaxWaitingPerCaller)
        return false;
    if (largeText)
        return m_largeTextBytes < MaxWaitingLargeTextBytes &&
               (lane == m_lanes.cend() || lane->largeTextBytes < MaxWaitingLargeTextBytesPerCaller);
    return m_textBytes < MaxWaitingTextBytes &&
           (lane == m_lanes.cend() || lane->textBytes < MaxWaitingTextBytesPerCaller);
}

QString Inbox::refusal(const QString &caller, bool largeText, qsizetype count) const
{
    constexpr qint64 MiB = 1024 * 1024;
    const auto lane = m_lanes.constFind(caller);
    const qsizetype mine = lane == m_lanes.cend() ? 0 : lane->entries.size();
    const bool countFull = m_count + count > MaxWaiting || mine + count > MaxWaitingPerCaller;
    if (largeText && !countFull && lane != m_lanes.cend() &&
        m_largeTextBytes < MaxWaitingLargeTextBytes)
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
        .arg(lane == m_lanes.cend() ? 0 : lane->textBytes / MiB);
}

void Inbox::enqueue(const QString &caller, QList<Payload> payloads, bool batch,
                    const BusMessage &call, BusConnection *connection)
{
    INTERPROC_CHECK_THREAD(this);
    Lane &lane = m_lanes[caller];
    if (lane.entries.isEmpty())
        m_turns.push_back(caller);
    const quint32 batchSize = batch ? quint32(payloads.size()) : 0;
    quint32 index = 0;
    for (Payload &payload : payloads) {
        const qint64 textBytes = qint64(payload.stringData.size()) * qint64(sizeof(QChar));
        const bool largeText = isLarge(payload.stringData.size());
        (largeText ? lane.largeTextBytes : lane.textBytes) += textBytes;
        (largeText ? m_largeTextBytes : m_textBytes) += textBytes;
        lane.entries.enqueue(
            {std::move(payload), call, connection, textBytes, largeText, index++, batchSize});
    }
    m_count += payloads.size();
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
        const QString caller = std::move(m_turns.front());
        m_turns.pop_front();
        const auto lane = m_lanes.find(caller);
        const Entry entry = lane->entries.dequeue();
        (entry.largeText ? lane->largeTextBytes : lane->textBytes) -= entry.textBytes;
        if (lane->entries.isEmpty())
            m_lanes.erase(lane);
        else
            m_turns.push_back(caller);
        (entry.largeText ? m_largeTextBytes : m_textBytes) -= entry.textBytes;
        --m_count;
        const Payload &payload = entry.payload;
        // Answered before the handler runs: one that opens a dialog keeps
        // the next payloads unanswered, not this one. A batch is answered
        // with its last payload.
        if (entry.connection && entry.call && entry.batchSize == 0)
            entry.connection->reply(entry.call.get(), nullptr);
        else if (entry.connection && entry.call && entry.batchIndex + 1 == entry.batchSize)
            entry.connection->reply(entry.call.get(), "u", entry.batchSize);
        emit arrived(payload.senderHandle, payload.senderName, payload.longData,
                     payload.stringData);
        if (!alive)
            return;
    }
    m_dispatching = false;
}
