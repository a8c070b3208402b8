// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "inbox.h"

#include <InterProc/interprocbus.h>

#include "interprocendpoint.h"

#include <QElapsedTimer>
#include <QPointer>

namespace {
// Arrivals are handed to the owner in slices of at most this long, so that a
// flood of payloads never stalls the owner's own events.
constexpr qint64 DispatchSliceMs = 8;
} // namespace

Inbox::Inbox(InterProcEndpoint *owner, QObject *parent) : QObject(parent), m_owner(owner)
{}

void Inbox::enqueue(Payload payload, const BusMessage &call, BusConnection *connection)
{
    const qint64 textBytes = payload.stringData.size() <= InterProcBus::InlineTextLimit
                                 ? qint64(payload.stringData.size()) * qint64(sizeof(QChar))
                                 : 0;
    m_textBytes += textBytes;
    m_queue.enqueue({std::move(payload), call, connection, textBytes});
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
    m_scheduled = false;
    // A handler that runs a nested event loop (a modal dialog) must not see
    // the next payload before it returns; the outer call carries on then.
    if (m_dispatching)
        return;
    m_dispatching = true;
    QPointer<Inbox> alive(this);
    QElapsedTimer slice;
    slice.start();
    while (!m_queue.isEmpty()) {
        if (slice.elapsed() >= DispatchSliceMs) {
            scheduleDispatch();
            break;
        }
        const Entry entry = m_queue.dequeue();
        m_textBytes -= entry.textBytes;
        const Payload &payload = entry.payload;
        // Answered before the handler runs: one that opens a dialog keeps
        // the next payloads unanswered, not this one.
        if (entry.connection && entry.call &&
            sd_bus_reply_method_return(entry.call.get(), nullptr) >= 0)
            entry.connection->sent();
        emit m_owner->DataArrival(payload.senderHandle, payload.senderName, payload.longData,
                                  payload.stringData);
        if (!alive)
            return;
    }
    m_dispatching = false;
}
