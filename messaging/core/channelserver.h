// The receiving end of direct channels: a D-Bus server on a socket in the
// user's runtime directory, through which other endpoints deliver payloads
// past the bus daemon. The socket admits only this user (EXTERNAL
// authentication), and a connection speaks for a bus connection only once it
// has presented the one-time token that connection was given over the bus;
// its calls are then checked exactly as that connection's calls on the bus.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>

#include <deque>
#include <utility>

class QDBusConnection;
class QDBusServer;

// Direct channels are offered and used only where INTERPROC_DIRECT_CHANNELS
// is 1: a receiver that ends right after taking payloads can still lose the
// answers it queued on a channel, and the sender then reports payloads the
// receiver took as undelivered.
bool directChannelsEnabled();

class ChannelServer : public QObject
{
    Q_OBJECT

public:
    explicit ChannelServer(QObject *parent);
    ~ChannelServer() override;

    // Listens, exporting `exported` on every connection that comes in; only
    // where XDG_RUNTIME_DIR names a private directory of this user.
    void listen(QObject *exported);

    bool isListening() const { return m_server != nullptr; }
    QString address() const { return m_address; }

    // A new one-time token for the bus connection with the unique name `caller`.
    QByteArray issueToken(const QString &caller);
    // Binds the direct connection named `connectionName` to the bus
    // connection the token was given to; false for an unknown token.
    bool attach(const QString &connectionName, const QByteArray &token);
    // Whether `connectionName` is one of this server's connections.
    bool isChannel(const QString &connectionName) const;
    // The bus connection a direct connection speaks for; empty until attached.
    QString callerOf(const QString &connectionName) const;
    // Forgets connections that have closed.
    void prune();

private:
    void accept(const QDBusConnection &connection);

    QObject *m_exported = nullptr;
    QDBusServer *m_server = nullptr;
    QString m_address;
    QHash<QString, QString> m_callers;                   // connection name -> bus caller
    std::deque<std::pair<QByteArray, QString>> m_tokens; // oldest first
};
