#include "busobject.h"

#include "admission.h"
#include "buscontract.h"
#include "interprocendpoint_p.h"
#include "payloadtext.h"

using namespace BusContract;

BusObject::BusObject(InterProcEndpointPrivate *endpoint, Admission *admission)
    : QObject(endpoint), m_endpoint(endpoint), m_admission(admission)
{}

int BusObject::Handle() const
{
    return m_endpoint->handle;
}

QString BusObject::Caption() const
{
    return m_endpoint->caption;
}

int BusObject::Describe(QString &caption)
{
    caption = m_endpoint->caption;
    return m_endpoint->handle;
}

QDBusMessage BusObject::takeCall()
{
    setDelayedReply(true);
    return message();
}

void BusObject::Deliver(int senderHandle, const QString &senderName, int longData,
                        const QString &stringData)
{
    m_admission->admit(takeCall(), {senderHandle, senderName, longData, stringData});
}

void BusObject::DeliverUtf8(int senderHandle, const QString &senderName, int longData,
                            const QByteArray &stringData)
{
    const QDBusMessage call = takeCall();
    // Larger texts belong in a sealed memfd; inline ones stay small enough
    // to decode here without holding up the owner's thread.
    if (stringData.size() > InlineTextLimit) {
        m_admission->refuse(
            call, QLatin1String(ErrorTooLarge),
            QStringLiteral("The text is %1 bytes; at most %2 bytes are accepted inline, larger "
                           "texts go through DeliverSealed.")
                .arg(stringData.size())
                .arg(InlineTextLimit));
        return;
    }
    std::optional<QString> text = PayloadText::decodeUtf8(stringData);
    if (!text) {
        m_admission->refuse(call, QLatin1String(ErrorInvalidText),
                            QStringLiteral("The text is not valid UTF-8."));
        return;
    }
    m_admission->admit(call, {senderHandle, senderName, longData, std::move(*text)});
}

void BusObject::DeliverSealed(int senderHandle, const QString &senderName, int longData,
                              const QDBusUnixFileDescriptor &stringData, qulonglong size)
{
    m_admission->admitSealed(takeCall(), {senderHandle, senderName, longData, QString()},
                             stringData, size);
}
