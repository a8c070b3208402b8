#include "inbox.h"

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

void Inbox::enqueue(Payload payload)
{
    // The sender's call is answered as soon as the payload is queued here;
    // the owner sees it from the event loop, so a handler that opens a
    // dialog never keeps a sender waiting.
    m_queue.enqueue(std::move(payload));
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
        const Payload payload = m_queue.dequeue();
        emit m_owner->DataArrival(payload.senderHandle, payload.senderName, payload.longData,
                                  payload.stringData);
        if (!alive)
            return;
    }
    m_dispatching = false;
}
