// SPDX-License-Identifier: MIT
#include "interprocsend_p.h"

#include "threadcheck.h"
#include "threaddirectory.h"

#include <QThread>

InterProcSend::InterProcSend(InterProcEndpoint *endpoint)
    : QObject(endpoint), d(std::make_unique<InterProcSendPrivate>(this))
{
    d->endpoint = endpoint;
}

InterProcSend::~InterProcSend()
{
    INTERPROC_CHECK_THREAD(this);
    if (d->forget)
        d->forget();
}

int InterProcSend::addressed() const
{
    INTERPROC_CHECK_THREAD(this);
    return d->m_addressed;
}

QList<InterProcEndpoint::Party> InterProcSend::addressees() const
{
    INTERPROC_CHECK_THREAD(this);
    QList<InterProcEndpoint::Party> parties;
    parties.reserve(d->m_addressees.size());
    for (const InterProcSendPrivate::Addressee &addressee : d->m_addressees)
        parties.append(addressee.party);
    return parties;
}

bool InterProcSend::isFinished() const
{
    INTERPROC_CHECK_THREAD(this);
    return d->isFinished();
}

InterProcSend::Outcome InterProcSend::outcome() const
{
    INTERPROC_CHECK_THREAD(this);
    if (!d->isFinished())
        return Pending;
    if (d->m_addressed == 0)
        return d->m_nothingSent;
    for (const InterProcSendPrivate::Addressee &addressee : d->m_addressees) {
        if (addressee.outcome != Delivered)
            return addressee.outcome;
    }
    return Delivered;
}

InterProcSend::Outcome InterProcSend::outcome(qint32 handle) const
{
    INTERPROC_CHECK_THREAD(this);
    const InterProcSendPrivate::Addressee *addressee = d->find(handle);
    return addressee ? addressee->outcome : Pending;
}

QString InterProcSend::reason() const
{
    INTERPROC_CHECK_THREAD(this);
    if (!d->isFinished())
        return {};
    if (d->m_addressed == 0)
        return d->m_nothingSentReason;
    for (const InterProcSendPrivate::Addressee &addressee : d->m_addressees) {
        if (addressee.outcome != Delivered)
            return addressee.reason;
    }
    return {};
}

QString InterProcSend::reason(qint32 handle) const
{
    INTERPROC_CHECK_THREAD(this);
    const InterProcSendPrivate::Addressee *addressee = d->find(handle);
    return addressee ? addressee->reason : QString();
}

QString InterProcSend::remoteErrorName(qint32 handle) const
{
    INTERPROC_CHECK_THREAD(this);
    const InterProcSendPrivate::Addressee *addressee = d->find(handle);
    return addressee ? addressee->remoteErrorName : QString();
}

void InterProcSend::awaitAnswers(QObject *context, std::function<void()> done)
{
    INTERPROC_CHECK_THREAD(this);
    if (!d->endpoint) {
        // As the endpoint's wait does: from the event loop, never from here.
        QMetaObject::invokeMethod(
            context ? context : this, [done = std::move(done)] { done(); }, Qt::QueuedConnection);
        return;
    }
    QList<qint32> takers;
    for (const InterProcSendPrivate::Addressee &addressee : d->m_addressees) {
        if (addressee.outcome == Delivered)
            takers.append(addressee.party.handle);
    }
    d->endpoint->awaitAnswers(takers, context, std::move(done));
}

const InterProcSendPrivate::Addressee *InterProcSendPrivate::find(qint32 handle) const
{
    for (const Addressee &addressee : m_addressees) {
        if (addressee.party.handle == handle)
            return &addressee;
    }
    return nullptr;
}

bool InterProcSendPrivate::isFinished() const
{
    return m_addressed >= 0 && m_ended == m_addressed;
}

void InterProcSendPrivate::emitLater(std::function<void()> emission)
{
    // Queued on the handle itself: a deleted handle emits nothing more, and
    // the order of the reports is kept.
    QMetaObject::invokeMethod(q, std::move(emission), Qt::QueuedConnection);
}

void InterProcSendPrivate::addressed(const QList<PartyInfo> &windows)
{
    if (m_addressed >= 0)
        return;
    m_addressees.reserve(windows.size());
    for (const PartyInfo &window : windows) {
        Addressee addressee;
        addressee.party = {window.handle, window.caption, window.captionKnown};
        m_addressees.append(addressee);
    }
    m_addressed = int(m_addressees.size());
    const int count = m_addressed;
    emitLater([q = q, count] { emit q->addressedKnown(count); });
    if (count == 0) {
        m_nothingSent = InterProcSend::NoAddressee;
        m_nothingSentReason = SendOutcome(SendOutcome::NobodyMatched).nothingSent();
        emitLater([q = q] { emit q->finished(); });
    }
}

void InterProcSendPrivate::nothingSent(const SendOutcome &why)
{
    if (m_addressed >= 0)
        return;
    m_addressed = 0;
    m_nothingSent = why.outcome();
    m_nothingSentReason = why.nothingSent();
    emitLater([q = q] {
        emit q->addressedKnown(0);
        emit q->finished();
    });
}

void InterProcSendPrivate::ended(qint32 handle, const SendOutcome &how)
{
    Addressee *addressee = nullptr;
    for (Addressee &candidate : m_addressees) {
        if (candidate.party.handle == handle && candidate.outcome == InterProcSend::Pending) {
            addressee = &candidate;
            break;
        }
    }
    if (!addressee)
        return;
    addressee->outcome = how.outcome();
    addressee->reason = how.reason();
    if (addressee->outcome == InterProcSend::Refused)
        addressee->remoteErrorName = how.errorName;
    ++m_ended;
    const bool last = isFinished();
    emitLater([q = q, party = addressee->party, outcome = addressee->outcome, last] {
        emit q->outcomeKnown(party.handle, party.caption, outcome);
        if (last)
            emit q->finished();
    });
}
