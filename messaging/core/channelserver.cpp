#include "channelserver.h"

#include "buscontract.h"
#include "interproclogging.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusServer>
#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>

#include <unistd.h>

using namespace BusContract;

namespace {
// Tokens handed out and not used yet; the oldest go first beyond this, so
// that callers that never attach cannot grow the list without end.
constexpr size_t MaxOpenTokens = 256;
constexpr int TokenBytes = 16;

// The user's runtime directory, when it is one nobody else can enter.
QString privateRuntimeDir()
{
    const QString dir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (dir.isEmpty() || !QDir::isAbsolutePath(dir))
        return {};
    const QFileInfo info(dir);
    const auto othersMay = QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                           QFileDevice::ExeGroup | QFileDevice::ReadOther |
                           QFileDevice::WriteOther | QFileDevice::ExeOther;
    if (!info.isDir() || info.ownerId() != ::geteuid() || (info.permissions() & othersMay))
        return {};
    return dir;
}
} // namespace

bool directChannelsEnabled()
{
    static const bool enabled =
        qEnvironmentVariable("INTERPROC_DIRECT_CHANNELS") == QLatin1String("1");
    return enabled;
}

ChannelServer::ChannelServer(QObject *parent) : QObject(parent)
{}

void ChannelServer::listen(QObject *exported)
{
    m_exported = exported;
    const QString dir = directChannelsEnabled() ? privateRuntimeDir() : QString();
    if (dir.isEmpty())
        return;
    auto *server = new QDBusServer(QStringLiteral("unix:dir=%1").arg(dir), this);
    if (!server->isConnected()) {
        qCDebug(lcInterProc) << "no direct channels:" << server->lastError().message();
        delete server;
        return;
    }
    m_server = server;
    m_address = server->address();
    connect(server, &QDBusServer::newConnection, this, &ChannelServer::accept);
}

ChannelServer::~ChannelServer()
{
    for (auto it = m_callers.cbegin(); it != m_callers.cend(); ++it) {
        QDBusConnection(it.key()).unregisterObject(QLatin1String(ObjectPath));
        QDBusConnection::disconnectFromPeer(it.key());
    }
}

void ChannelServer::accept(const QDBusConnection &connection)
{
    QDBusConnection channel(connection);
    // The object answers AttachDirectChannel; anything else it refuses
    // until the connection is attached.
    channel.registerObject(QLatin1String(ObjectPath), m_exported, QDBusConnection::ExportAdaptors);
    m_callers.insert(channel.name(), QString());
}

QByteArray ChannelServer::issueToken(const QString &caller)
{
    QByteArray token(TokenBytes, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(token.data()),
                                          TokenBytes / sizeof(quint32));
    if (m_tokens.size() >= MaxOpenTokens)
        m_tokens.pop_front();
    m_tokens.emplace_back(token, caller);
    return token;
}

bool ChannelServer::attach(const QString &connectionName, const QByteArray &token)
{
    const auto channel = m_callers.find(connectionName);
    if (channel == m_callers.end() || !channel->isEmpty())
        return false;
    for (auto it = m_tokens.begin(); it != m_tokens.end(); ++it) {
        if (it->first == token) {
            *channel = it->second;
            m_tokens.erase(it);
            return true;
        }
    }
    return false;
}

bool ChannelServer::isChannel(const QString &connectionName) const
{
    return m_callers.contains(connectionName);
}

QString ChannelServer::callerOf(const QString &connectionName) const
{
    return m_callers.value(connectionName);
}

void ChannelServer::prune()
{
    for (auto it = m_callers.begin(); it != m_callers.end();) {
        if (QDBusConnection(it.key()).isConnected()) {
            ++it;
        } else {
            QDBusConnection::disconnectFromPeer(it.key());
            it = m_callers.erase(it);
        }
    }
}
