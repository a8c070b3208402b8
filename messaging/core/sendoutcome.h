// SPDX-License-Identifier: MIT
// How one payload ended for one addressee, or why a whole send went to
// nobody: the cause as the code that saw it tells it, the outcome a program
// gets for it (InterProcSend::Outcome), and the sentence deliveryFailed and
// errorOccurred carry. Every sentence about a send is made here.
#pragma once

#include <InterProc/interprocsend.h>

#include <QString>

struct SendOutcome
{
    enum Cause {
        Taken,
        LaneFull,            // count: payloads still waiting for the receiver
        WaitedTooLong,       // never called within the delivery timeout
        NoFdPassing,         // a text over the inline limit on a connection without fds
        TextTooLarge,        // count: bytes of UTF-8, exact or a lower bound
        BusLostUnsent,       // the bus closed before the call was written
        BusLostAfterWrite,   // the bus closed after the call was written
        ChannelLost,         // a direct channel closed before its answer was read
        WentAway,            // the receiver's connection closed before it answered
        BatchUnclear,        // a batch's call ended without telling which of it was taken
        Gone,                // the receiver's name had no owner any more
        NotTakenInTime,      // no answer within the delivery timeout
        BusLimits,           // LimitsExceeded: errorName, errorMessage
        RemoteError,         // any other error answer: errorName, errorMessage
        CallFailed,          // errorMessage: why this side could not make the call
        TextNotSealed,       // errorMessage: why the text could not be put in a memfd
        NotConnected,        // errorMessage: why the endpoint is not on the bus
        InvalidSearchMethod, // count: the method
        NobodyMatched,
    };

    SendOutcome(Cause cause = Taken, qint64 count = 0, bool exact = true)
        : cause(cause), count(count), exact(exact)
    {}
    SendOutcome(Cause cause, const QString &errorName, const QString &errorMessage)
        : cause(cause), errorName(errorName), errorMessage(errorMessage)
    {}

    Cause cause = Taken;
    qint64 count = 0;
    bool exact = true;
    QString errorName;
    QString errorMessage;

    InterProcSend::Outcome outcome() const;
    // Why the addressee did not take the payload, as deliveryFailed says it;
    // empty for Taken.
    QString reason() const;
    // What errorOccurred says for a send that went to nobody.
    QString nothingSent() const;
    // What errorOccurred says for an addressee that did not take the payload.
    static QString notDelivered(qint32 handle, const QString &caption, const QString &reason);
};
