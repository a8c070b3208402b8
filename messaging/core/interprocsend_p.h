// SPDX-License-Identifier: MIT
// The working part of an InterProcSend: what the endpoint reported for the
// send so far. The endpoint finds it by the send's number; each report
// updates the state at once and emits the handle's signal from the event
// loop, so that nothing is emitted from within startSend().
#pragma once

#include "sendoutcome.h"

#include <InterProc/interprocsend.h>

#include <QList>
#include <QPointer>

#include <functional>

struct PartyInfo;

class InterProcSendPrivate
{
public:
    explicit InterProcSendPrivate(InterProcSend *q) : q(q) {}

    static InterProcSendPrivate *get(InterProcSend *send) { return send->d.get(); }

    // The reports of the endpoint, for this send alone.
    void addressed(const QList<PartyInfo> &windows);
    void nothingSent(const SendOutcome &why);
    void ended(qint32 handle, const SendOutcome &how);
    bool isFinished() const;

    QPointer<InterProcEndpoint> endpoint;
    // Tells the endpoint that the handle is gone, so that it reports to it
    // no more.
    std::function<void()> forget;
    quint64 number = 0; // the endpoint's number for this send

private:
    struct Addressee
    {
        InterProcEndpoint::Party party;
        InterProcSend::Outcome outcome = InterProcSend::Pending;
        QString reason;
        QString remoteErrorName;
    };

    const Addressee *find(qint32 handle) const;
    void emitLater(std::function<void()> emission);

    InterProcSend *const q;
    int m_addressed = -1;
    int m_ended = 0;
    QList<Addressee> m_addressees;
    // Why a send that went to nobody did.
    InterProcSend::Outcome m_nothingSent = InterProcSend::Pending;
    QString m_nothingSentReason;

    friend class InterProcSend;
};
