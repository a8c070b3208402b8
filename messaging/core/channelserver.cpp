// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "channelserver.h"

#include "busconnection.h"
#include "channeladdress.h"
#include "channelplace.h"
#include "interproclogging.h"
#include "threadcheck.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QThread>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace {
// Tokens handed out and not used yet; the oldest go first beyond this, so
// that callers that never attach cannot grow the list without end.
constexpr size_t MaxOpenTokens = 256;
constexpr int TokenBytes = ChannelAddress::TokenBytes;

QElapsedTimer &sinceStart()
{
    static QElapsedTimer timer = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return timer;
}
} // namespace

ChannelServer::ChannelServer(QObject *parent) : QObject(parent)
{
    m_staleCheck.setInterval(UnattachedTimeoutMs / 5);
    connect(&m_staleCheck, &QTimer::timeout, this, &ChannelServer::closeStale);
}

void ChannelServer::listen()
{
    if (m_listenTried)
        return;
    m_listenTried = true;
    const QString dir =
        ChannelPlace::directChannelsEnabled() ? ChannelPlace::privateRuntimeDir() : QString();
    if (dir.isEmpty())
        return;
    QByteArray random(8, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(random.data()), 2);
    const QByteArray path = QFile::encodeName(dir) + '/' + ChannelAddress::socketName(random);
    sockaddr_un where = {};
    if (size_t(path.size()) >= sizeof(where.sun_path))
        return;
    where.sun_family = AF_UNIX;
    std::memcpy(where.sun_path, path.constData(), size_t(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return;
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&where), sizeof(where)) != 0 ||
        ::listen(fd, 64) != 0) {
        qCDebug(lcInterProc) << "no direct channels:" << strerror(errno);
        ::close(fd);
        return;
    }
    m_listener = fd;
    m_path = path;
    m_address = ChannelAddress::forSocket(path);
    m_notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &ChannelServer::acceptPending);
}

ChannelServer::~ChannelServer()
{
    m_notifier.reset();
    if (m_listener >= 0) {
        ::close(m_listener);
        ::unlink(m_path.constData());
    }
    // Answers already queued go out before the channels close, and each
    // sender gets to read them before its calls meet a closed socket: a
    // sender must not count as lost a payload this endpoint took.
    const QDeadlineTimer deadline(FlushBoundMs);
    const QList<BusConnection *> peers = m_peers.keys();
    for (BusConnection *connection : peers) {
        emit connectionClosing(connection);
        connection->flushAndClose(int(deadline.remainingTime()), true);
        delete connection;
    }
}

void ChannelServer::acceptPending()
{
    INTERPROC_CHECK_THREAD(this);
    for (;;) {
        const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            // Out of descriptors: the connection stays in the backlog, and
            // the socket would wake this thread again at once.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                m_notifier->setEnabled(false);
                QTimer::singleShot(AcceptPauseMs, this, [this] {
                    if (m_notifier)
                        m_notifier->setEnabled(true);
                });
            }
            return;
        }
        ucred peer = {};
        socklen_t size = sizeof(peer);
        // The same user only, and a bounded number waiting to attach, from
        // all processes and from each.
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
            peer.uid != ::geteuid() || peer.pid <= 0 || m_unattached >= MaxUnattached ||
            m_unattachedByProcess.value(peer.pid) >= MaxUnattachedPerProcess) {
            ::close(fd);
            continue;
        }
        BusConnection *connection = BusConnection::acceptPeer(fd, this);
        if (!connection)
            continue;
        m_peers.insert(connection, {QString(), sinceStart().elapsed(), peer.pid});
        ++m_unattached;
        ++m_unattachedByProcess[peer.pid];
        if (!m_staleCheck.isActive())
            m_staleCheck.start();
        connect(connection, &BusConnection::closed, this, [this, connection] { drop(connection); });
        emit connectionOpened(connection);
    }
}

void ChannelServer::drop(BusConnection *connection)
{
    const auto it = m_peers.find(connection);
    if (it == m_peers.end())
        return;
    if (it->caller.isEmpty()) {
        countAttached(it->pid);
    } else {
        --m_attached;
        const auto process = m_attachedByProcess.find(it->pid);
        if (process != m_attachedByProcess.end() && --*process <= 0)
            m_attachedByProcess.erase(process);
    }
    m_peers.erase(it);
    emit connectionClosing(connection);
    connection->deleteLater();
}

void ChannelServer::closeStale()
{
    const qint64 now = sinceStart().elapsed();
    QList<BusConnection *> stale;
    for (auto it = m_peers.cbegin(); it != m_peers.cend(); ++it) {
        if (it->caller.isEmpty() && now - it->openedMs >= UnattachedTimeoutMs)
            stale.append(it.key());
    }
    for (BusConnection *connection : stale)
        drop(connection);
    if (m_unattached == 0)
        m_staleCheck.stop();
}

void ChannelServer::countAttached(pid_t pid)
{
    --m_unattached;
    const auto process = m_unattachedByProcess.find(pid);
    if (process != m_unattachedByProcess.end() && --*process <= 0)
        m_unattachedByProcess.erase(process);
}

QByteArray ChannelServer::issueToken(const QString &caller, pid_t pid)
{
    QByteArray token(TokenBytes, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(token.data()),
                                          TokenBytes / sizeof(quint32));
    if (m_tokens.size() >= MaxOpenTokens)
        m_tokens.pop_front();
    m_tokens.push_back({token, caller, pid});
    return token;
}

bool ChannelServer::attach(BusConnection *connection, const QByteArray &token)
{
    const auto peer = m_peers.find(connection);
    if (peer == m_peers.end() || !peer->caller.isEmpty())
        return false;
    for (auto it = m_tokens.begin(); it != m_tokens.end(); ++it) {
        if (it->token != token)
            continue;
        // A token speaks for the process it was given to, not for whoever
        // learns it. Used up either way.
        const bool sameProcess = it->pid == peer->pid;
        const bool room = m_attached < MaxAttached &&
                          m_attachedByProcess.value(peer->pid) < MaxAttachedPerProcess;
        if (sameProcess && room) {
            peer->caller = it->caller;
            countAttached(peer->pid);
            ++m_attached;
            ++m_attachedByProcess[peer->pid];
        }
        m_tokens.erase(it);
        return sameProcess && room;
    }
    return false;
}

bool ChannelServer::isAttached(BusConnection *connection) const
{
    return !m_peers.value(connection).caller.isEmpty();
}

QString ChannelServer::callerOf(BusConnection *connection) const
{
    return m_peers.value(connection).caller;
}
