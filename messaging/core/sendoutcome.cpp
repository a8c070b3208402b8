// SPDX-License-Identifier: MIT
#include "sendoutcome.h"

#include "foreigntext.h"
#include <InterProc/interprocbus.h>

using namespace InterProcBus;

InterProcSend::Outcome SendOutcome::outcome() const
{
    switch (cause) {
    case Taken:
        return InterProcSend::Delivered;
    case LaneFull:
    case WaitedTooLong:
        return InterProcSend::QueueFull;
    case NoFdPassing:
    case TextTooLarge:
        return InterProcSend::TooLarge;
    case BusLostUnsent:
    case NotConnected:
        return InterProcSend::NotConnected;
    case BusLostAfterWrite:
    case ChannelLost:
    case BatchUnclear:
        return InterProcSend::Uncertain;
    case WentAway:
    case Gone:
        return InterProcSend::ReceiverGone;
    case NotTakenInTime:
        return InterProcSend::NotTakenInTime;
    case BusLimits:
    case RemoteError:
        return InterProcSend::Refused;
    case CallFailed:
    case TextNotSealed:
        return InterProcSend::LocalError;
    case InvalidSearchMethod:
    case NobodyMatched:
        return InterProcSend::NoAddressee;
    }
    return InterProcSend::LocalError;
}

QString SendOutcome::reason() const
{
    switch (cause) {
    case Taken:
        return {};
    case LaneFull:
        return QStringLiteral("the window is not taking its payloads (%1 are still waiting for "
                              "it); this one was not sent")
            .arg(count);
    case WaitedTooLong:
        return QStringLiteral("it has not taken the payloads before this one within %1 seconds; "
                              "this one was not sent")
            .arg(DeliveryTimeoutMs / 1000);
    case NoFdPassing:
        return QStringLiteral("the session bus connection cannot pass file descriptors, which "
                              "texts over %1 bytes need")
            .arg(InlineTextLimit);
    case TextTooLarge:
        return QStringLiteral("StringData takes %1 bytes%2 as UTF-8; at most %3 bytes can be sent")
            .arg(count)
            .arg(exact ? QString() : QStringLiteral(" or more"))
            .arg(MaxTextBytes);
    case BusLostUnsent:
        return QStringLiteral("the session bus connection is lost; the payload was not sent");
    case BusLostAfterWrite:
        return QStringLiteral("the session bus connection was lost before the answer was read; "
                              "the window may or may not have taken the payload");
    case ChannelLost:
        return QStringLiteral("the window went away before its answer was read; it may or may "
                              "not have taken the payload");
    case WentAway:
        return QStringLiteral("the window went away before it took the payload");
    case BatchUnclear:
        return QStringLiteral("the window went away, or answered unclearly, while it took this "
                              "payload with others sent in one call; it may or may not have "
                              "taken this one");
    case Gone:
        return QStringLiteral("the window is gone");
    case NotTakenInTime:
        return QStringLiteral("it has not taken the payload within %1 seconds; it is busy or "
                              "stopped and gets the payload if it runs again")
            .arg(DeliveryTimeoutMs / 1000);
    case BusLimits:
        return QStringLiteral("the bus refused the call, as too many calls are waiting: %1")
            .arg(ForeignText::remoteError(errorName, errorMessage));
    case RemoteError:
        return ForeignText::remoteError(errorName, errorMessage);
    case CallFailed:
        return QStringLiteral("the call could not be made (%1)").arg(errorMessage);
    case TextNotSealed:
    case NotConnected:
        return errorMessage;
    case InvalidSearchMethod:
        return QStringLiteral("TargetSearchMethod %1 is not 0, 1 or 2").arg(count);
    case NobodyMatched:
        return QStringLiteral("no party matches the address");
    }
    return {};
}

QString SendOutcome::nothingSent() const
{
    // The endpoint's own error is a sentence already.
    if (cause == NotConnected)
        return QStringLiteral("Nothing was sent: %1").arg(errorMessage);
    return QStringLiteral("Nothing was sent: %1.").arg(reason());
}

QString SendOutcome::notDelivered(qint32 handle, const QString &caption, const QString &reason)
{
    return QStringLiteral("A payload was not delivered to \"%1\" (window %2): %3.")
        .arg(caption)
        .arg(handle)
        .arg(reason);
}
