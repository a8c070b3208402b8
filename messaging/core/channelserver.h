// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The receiving end of direct channels: a socket in the user's runtime
// directory, through which other endpoints deliver payloads past the bus
// daemon, each connection a peer-to-peer sd-bus connection. The socket
// admits only this user (the peer's credentials are checked on accept, and
// sd-bus authenticates it as EXTERNAL), and a connection speaks for a bus
// connection only once it has presented the one-time token that connection
// was given over the bus, from the process that owns that connection; its
// calls are then checked exactly as that connection's calls on the bus.
// Until then it is answered nothing but the attach call, at most
// MaxUnattached of them are open at once (MaxUnattachedPerProcess from one
// process), and each is closed after UnattachedTimeoutMs.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>

#include <sys/types.h>

#include <deque>
#include <memory>

class BusConnection;
class QSocketNotifier;

class ChannelServer : public QObject
{
    Q_OBJECT

public:
    static constexpr int MaxUnattached = 32;
    // So that one process cannot take every place: the others still open
    // channels.
    static constexpr int MaxUnattachedPerProcess = 8;
    static constexpr int UnattachedTimeoutMs = 5000;
    // Attached channels at once, in all and from one process: each holds a
    // descriptor and a connection here. Past either, an attach is refused
    // and the sender keeps to the bus. One process with more endpoints
    // than this sending here is not what channels are for.
    static constexpr int MaxAttached = 256;
    static constexpr int MaxAttachedPerProcess = 64;
    // When no descriptor is free to accept with, the socket is not
    // listened to for this long, instead of being woken at once again.
    static constexpr int AcceptPauseMs = 100;
    // How long a closing endpoint waits, in all, for its channels' peers to
    // take the answers it has queued for them and close their ends.
    static constexpr int FlushBoundMs = 1000;

    explicit ChannelServer(QObject *parent);
    // Writes out what each channel has queued and lets its peer read it
    // and close first (within FlushBoundMs), then closes them.
    ~ChannelServer() override;

    // Listens, only where XDG_RUNTIME_DIR names a private directory of this
    // user; connectionOpened follows for each connection that comes in.
    // Tried once, when the first channel is asked for: an endpoint nobody
    // opens a channel to costs no socket (binding one costs a file).
    void listen();

    bool isListening() const { return m_listener >= 0; }
    QByteArray address() const { return m_address; }

    // A new one-time token for the bus connection with the unique name
    // `caller`, owned by the process `pid` (as the bus daemon says).
    QByteArray issueToken(const QString &caller, pid_t pid);
    // Binds a direct connection to the bus connection the token was given
    // to; false for an unknown token, a connection attached already, or one
    // whose other end is not the process the token was given to.
    bool attach(BusConnection *connection, const QByteArray &token);
    bool isAttached(BusConnection *connection) const;
    // The bus connection a direct connection speaks for; empty until attached.
    QString callerOf(BusConnection *connection) const;

signals:
    // A connection came in: the endpoint exports its object on it.
    void connectionOpened(BusConnection *connection);
    // A connection is about to go: the endpoint withdraws its object.
    void connectionClosing(BusConnection *connection);

private:
    struct Peer
    {
        QString caller;
        qint64 openedMs = 0;
        pid_t pid = 0; // the process at the other end, from its socket
    };
    struct Token
    {
        QByteArray token;
        QString caller;
        pid_t pid = 0;
    };

    void acceptPending();
    void drop(BusConnection *connection);
    // One of pid's connections has attached or gone.
    void countAttached(pid_t pid);
    void closeStale();

    int m_listener = -1;
    bool m_listenTried = false;
    QByteArray m_path;
    QByteArray m_address;
    std::unique_ptr<QSocketNotifier> m_notifier;
    QHash<BusConnection *, Peer> m_peers;
    int m_unattached = 0;
    QHash<pid_t, int> m_unattachedByProcess;
    int m_attached = 0;
    QHash<pid_t, int> m_attachedByProcess;
    QTimer m_staleCheck;
    std::deque<Token> m_tokens; // oldest first
};
