#include "busobject.h"

#include "admission.h"
#include "buscontract.h"
#include "channelserver.h"
#include "interprocendpoint_p.h"
#include "payloadtext.h"

using namespace BusContract;

namespace {
const QString AccessDenied = QStringLiteral("org.freedesktop.DBus.Error.AccessDenied");
} // namespace

BusObject::BusObject(InterProcEndpointPrivate *endpoint, Admission *admission,
                     ChannelServer *channels)
    : QObject(endpoint), m_endpoint(endpoint), m_admission(admission), m_channels(channels)
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

bool BusObject::takeCall(IncomingCall &call)
{
    setDelayedReply(true);
    call.message = message();
    call.connection = connection();
    const QString connectionName = call.connection.name();
    if (!m_channels->isChannel(connectionName)) {
        call.caller = call.message.service();
        return true;
    }
    // Without the bus, senders cannot be checked: the window takes nothing,
    // as it takes nothing more on the bus.
    if (!m_endpoint->connection.isConnected()) {
        m_admission->refuse(call, QStringLiteral("org.freedesktop.DBus.Error.NoServer"),
                            QStringLiteral("The window has lost its connection to the D-Bus "
                                           "session bus"));
        return false;
    }
    call.caller = m_channels->callerOf(connectionName);
    if (call.caller.isEmpty()) {
        m_admission->refuse(call, AccessDenied,
                            QStringLiteral("Call AttachDirectChannel on this connection first."));
        return false;
    }
    return true;
}

void BusObject::Deliver(int senderHandle, const QString &senderName, int longData,
                        const QString &stringData)
{
    IncomingCall call;
    if (takeCall(call))
        m_admission->admit(call, {senderHandle, senderName, longData, stringData});
}

void BusObject::DeliverUtf8(int senderHandle, const QString &senderName, int longData,
                            const QByteArray &stringData)
{
    IncomingCall call;
    if (!takeCall(call))
        return;
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
    IncomingCall call;
    if (takeCall(call))
        m_admission->admitSealed(call, {senderHandle, senderName, longData, QString()}, stringData,
                                 size);
}

QString BusObject::OpenDirectChannel(QByteArray &token)
{
    // Asked on the bus, whose sender name is what the token stands for; a
    // channel cannot hand out further channels.
    if (m_channels->isChannel(connection().name()) || !m_channels->isListening()) {
        token.clear();
        return QString();
    }
    token = m_channels->issueToken(message().service());
    return m_channels->address();
}

void BusObject::AttachDirectChannel(const QByteArray &token)
{
    if (!m_channels->attach(connection().name(), token))
        sendErrorReply(AccessDenied, QStringLiteral("This token opens no channel here."));
}
