// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "foreigntext.h"

#include "interproclogging.h"
#include "payloadtext.h"

#include <QElapsedTimer>
#include <QMutex>

#include <cstring>

namespace {

// Refused captions can come in floods; the log says how many it left out.
class Throttle
{
public:
    // True when a line may be logged now; skipped is set to the number of
    // lines left out since the last one.
    bool allow(qint64 *skipped)
    {
        const QMutexLocker lock(&m_mutex);
        if (m_clock.isValid() && m_clock.elapsed() < 1000) {
            ++m_skipped;
            return false;
        }
        m_clock.start();
        *skipped = std::exchange(m_skipped, 0);
        return true;
    }

private:
    QMutex m_mutex;
    QElapsedTimer m_clock;
    qint64 m_skipped = 0;
};

Throttle refusedCaptions;

} // namespace

QString ForeignText::bounded(const QString &text, qsizetype maxLength)
{
    if (text.size() <= maxLength)
        return text;
    qsizetype kept = maxLength;
    if (kept > 0 && text.at(kept - 1).isHighSurrogate())
        --kept;
    return text.left(kept) +
           QStringLiteral("… [%1 more characters not shown]").arg(text.size() - kept);
}

QString ForeignText::remoteError(const QString &name, const QString &message)
{
    return QStringLiteral("it answered %1 (%2)")
        .arg(bounded(message, MaxErrorPartLength), bounded(name, MaxErrorPartLength));
}

static void logRefusedCaption(qint32 handle, const QString &size)
{
    qint64 skipped = 0;
    if (refusedCaptions.allow(&skipped)) {
        qCWarning(lcInterProc).noquote()
            << QStringLiteral("window %1 gave a caption of %2, over the %3 characters a caption "
                              "can have; it is known by its handle only%4")
                   .arg(handle)
                   .arg(size)
                   .arg(ForeignText::MaxCaptionLength)
                   .arg(skipped > 0
                            ? QStringLiteral(" (%1 more such captions not logged)").arg(skipped)
                            : QString());
    }
}

bool ForeignText::acceptCaption(qint32 handle, const QString &caption)
{
    if (caption.size() <= MaxCaptionLength)
        return true;
    logRefusedCaption(handle, QStringLiteral("%1 characters").arg(caption.size()));
    return false;
}

namespace {
// Each UTF-16 unit takes at most three bytes of UTF-8 (a surrogate pair four
// for two): more bytes hold more characters than a caption has.
constexpr quint64 MaxCaptionBytes = 3 * quint64(ForeignText::MaxCaptionLength);
} // namespace

bool ForeignText::acceptCaptionSize(qint32 handle, quint64 bytes)
{
    if (bytes <= MaxCaptionBytes)
        return true;
    logRefusedCaption(handle, QStringLiteral("%1 bytes").arg(bytes));
    return false;
}

std::optional<QString> ForeignText::captionFromBus(qint32 handle, const char *utf8)
{
    const size_t bytes = utf8 ? ::strnlen(utf8, MaxCaptionBytes + 1) : 0;
    if (bytes > MaxCaptionBytes) {
        logRefusedCaption(handle, QStringLiteral("more than %1 bytes").arg(MaxCaptionBytes));
        return std::nullopt;
    }
    QString caption =
        PayloadText::decodeUtf8(QByteArrayView(utf8, qsizetype(bytes))).value_or(QString());
    if (!acceptCaption(handle, caption))
        return std::nullopt;
    return caption;
}

QString ForeignText::ownCaption(const QString &caption)
{
    if (caption.size() <= MaxCaptionLength)
        return caption;
    qCWarning(lcInterProc).noquote()
        << QStringLiteral("the caption of %1 characters is cut to the %2 a caption can have")
               .arg(caption.size())
               .arg(MaxCaptionLength);
    qsizetype kept = MaxCaptionLength;
    if (caption.at(kept - 1).isHighSurrogate())
        --kept;
    return caption.left(kept);
}
