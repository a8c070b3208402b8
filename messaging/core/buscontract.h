// Names and limits of the bus contract in org.calvorn.InterProc.xml.
#pragma once

#include <QString>
#include <QtGlobal>

namespace BusContract {

inline constexpr char Interface[] = "org.calvorn.InterProc";
inline constexpr char ObjectPath[] = "/org/calvorn/InterProc";
// Each window owns ServiceNamespace + ".H" + its handle.
inline constexpr char ServiceNamespace[] = "org.calvorn.InterProc.Window";

inline constexpr char ErrorSenderMismatch[] = "org.calvorn.InterProc.Error.SenderMismatch";
inline constexpr char ErrorInvalidText[] = "org.calvorn.InterProc.Error.InvalidText";
inline constexpr char ErrorTooLarge[] = "org.calvorn.InterProc.Error.TooLarge";
inline constexpr char ErrorBadDescriptor[] = "org.calvorn.InterProc.Error.BadDescriptor";

// Texts up to this many UTF-8 bytes travel inside the message; larger ones
// in a sealed memfd, which is cheaper from about this size on and keeps
// messages far below the bus's own limits.
inline constexpr qsizetype InlineTextLimit = 64 * 1024;
// The largest text, in UTF-8 bytes, that is sent or accepted. A receiver
// holds a text as UTF-16, up to twice its size, for as long as its window
// logs it: at this limit about 256 MiB a payload (512 MiB would take 1 GiB
// and more than a second to read).
inline constexpr qint64 MaxTextBytes = qint64(128) * 1024 * 1024;

// How long a sender waits for a receiver to take a payload before it
// reports the delivery as failed.
inline constexpr int DeliveryTimeoutMs = 25000;
// How long a new instance waits for existing windows to describe themselves.
inline constexpr int DescribeTimeoutMs = 2000;

inline QString serviceForHandle(qint32 handle)
{
    return QStringLiteral("%1.H%2").arg(QLatin1String(ServiceNamespace)).arg(handle);
}

// The handle in a window's service name, or 0 when the name is not one.
inline qint32 handleFromService(const QString &service)
{
    const QString prefix = QLatin1String(ServiceNamespace) + QLatin1String(".H");
    if (!service.startsWith(prefix))
        return 0;
    bool ok = false;
    const qint32 handle = service.mid(prefix.size()).toInt(&ok);
    return ok && handle > 0 ? handle : 0;
}

} // namespace BusContract
