// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The names and limits of InterProc's bus contract
// (org.calvorn.InterProc.xml), for programs that speak it directly.
#pragma once

/**
 * @file interprocbus.h
 * @brief InterProcBus: the bus contract's names and limits (InterProc::Core).
 *
 * Every party on the session bus exports the interface #InterProcBus::Interface
 * at #InterProcBus::ObjectPath and owns the name serviceForHandle() of its
 * handle. A program in any language reaches a party with these names alone;
 * the interface description, installed as
 * `share/dbus-1/interfaces/org.calvorn.InterProc.xml`, gives the methods.
 */

#include <QString>
#include <QtGlobal>

/**
 * @brief The bus contract's names and limits.
 *
 * Header-only: using it links nothing.
 */
namespace InterProcBus {

/// The D-Bus interface every party exports.
inline constexpr char Interface[] = "org.calvorn.InterProc";
/// The object path at which every party exports #Interface.
inline constexpr char ObjectPath[] = "/org/calvorn/InterProc";
/// Each party owns this name followed by ".H" and its handle (see serviceForHandle()).
inline constexpr char ServiceNamespace[] = "org.calvorn.InterProc.Window";

/// The error of a delivery whose sender handle is not owned by the calling connection.
inline constexpr char ErrorSenderMismatch[] = "org.calvorn.InterProc.Error.SenderMismatch";
/// The error of a delivery whose text is not valid UTF-8.
inline constexpr char ErrorInvalidText[] = "org.calvorn.InterProc.Error.InvalidText";
/// The error of a delivery whose text is larger than its method allows.
inline constexpr char ErrorTooLarge[] = "org.calvorn.InterProc.Error.TooLarge";
/// The error of a sealed delivery whose file descriptor is not a sealed memfd.
inline constexpr char ErrorBadDescriptor[] = "org.calvorn.InterProc.Error.BadDescriptor";

/**
 * @brief The largest text, in UTF-8 bytes, that travels inside a message.
 *
 * Larger texts travel in a sealed memfd (DeliverSealed), which is cheaper
 * from about this size on and keeps messages far below the bus's own limits.
 */
inline constexpr qsizetype InlineTextLimit = 64 * 1024;

/**
 * @brief The largest text, in UTF-8 bytes, that is sent or accepted.
 *
 * A receiver holds a text as UTF-16, up to twice its size, for as long as
 * its window logs it: at this limit about 256 MiB a payload.
 */
inline constexpr qint64 MaxTextBytes = qint64(128) * 1024 * 1024;

/**
 * @brief The largest text, in bytes of UTF-16, that DeliverSealedUtf16
 * carries: as many UTF-16 units as #MaxTextBytes, the most a text of that
 * many UTF-8 bytes can take.
 */
inline constexpr qint64 MaxTextUtf16Bytes = 2 * MaxTextBytes;

/**
 * @brief What a party names in its answer to Features when it takes texts
 * as little-endian UTF-16 in a sealed memfd (DeliverSealedUtf16).
 *
 * A party that does not answer Features, or leaves this out, takes large
 * texts as UTF-8 (DeliverSealed) only.
 */
inline constexpr char FeatureSealedUtf16[] = "DeliverSealedUtf16";

/**
 * @brief What a party names in its answer to Features when it takes several
 * payloads of one sender in one call (DeliverBatch).
 *
 * A sender batches only what would otherwise wait behind its calls already
 * on their way, and only to a party that names this.
 */
inline constexpr char FeatureBatch[] = "DeliverBatch";
/// The most payloads one DeliverBatch call carries.
inline constexpr int MaxBatchPayloads = 256;
/// The most bytes of UTF-8 text one DeliverBatch call carries, all its payloads together.
inline constexpr qsizetype MaxBatchTextBytes = 256 * 1024;

/// How long a sender waits, in milliseconds, for a receiver to take a payload.
inline constexpr int DeliveryTimeoutMs = 25000;
/// How long, in milliseconds, a party waits for the others to describe themselves.
inline constexpr int DescribeTimeoutMs = 2000;

/// The bus name owned by the party with this handle.
inline QString serviceForHandle(qint32 handle)
{
    return QStringLiteral("%1.H%2").arg(QLatin1String(ServiceNamespace)).arg(handle);
}

/// The handle in a party's bus name, or 0 when @p service is not one.
inline qint32 handleFromService(const QString &service)
{
    const QString prefix = QLatin1String(ServiceNamespace) + QLatin1String(".H");
    if (!service.startsWith(prefix))
        return 0;
    bool ok = false;
    const qint32 handle = service.mid(prefix.size()).toInt(&ok);
    // Only the one spelling serviceForHandle() gives: "H012" or "H+12" is
    // another name, which any program may own.
    return ok && handle > 0 && service == serviceForHandle(handle) ? handle : 0;
}

/**
 * @brief The bus name of a party's caption desk: its serviceForHandle()
 * followed by ".Caption".
 *
 * A party may own it on a second connection that answers Describe alone,
 * so that a caller asking for the caption does not wait behind the
 * payloads queued on the party's own connection. Trust its answer only when
 * its owner is the same process as the owner of serviceForHandle() (the bus
 * daemon's GetConnectionUnixProcessID); a party without one answers Describe
 * on its own name.
 */
inline QString captionServiceForHandle(qint32 handle)
{
    return serviceForHandle(handle) + QLatin1String(".Caption");
}
/// The handle in a caption desk's bus name, or 0 when @p service is not one.
inline qint32 handleFromCaptionService(const QString &service)
{
    const QLatin1String suffix(".Caption");
    return service.endsWith(suffix) ? handleFromService(service.chopped(suffix.size())) : 0;
}
} // namespace InterProcBus
