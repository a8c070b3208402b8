// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "bushandshake.h"

#include <InterProc/interprocbus.h>

#include <QElapsedTimer>
#include <QList>
#include <QScopeGuard>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace BusHandshake {

QString closedWhileSigningOn()
{
    return QStringLiteral("the bus closed the connection while this program signed on (in a "
                          "sandbox, its D-Bus proxy turned the program away: a Flatpak needs "
                          "--own-name=%1.* or --socket=session-bus)")
        .arg(QLatin1String(InterProcBus::ServiceNamespace));
}

namespace {

// An answer of the bus during authentication is one short line; a longer
// one is no D-Bus server's.
constexpr qsizetype MaxAnswerLength = 512;
// sd-bus's own sign-on, written to the stand-in connection, ends here.
constexpr QByteArrayView Begin = "BEGIN\r\n";

QString systemError(int error)
{
    if (error == ECONNRESET || error == EPIPE)
        return closedWhileSigningOn();
    return QString::fromLocal8Bit(strerror(error));
}

// A value of a D-Bus address with its %XX escapes undone; nullopt when an
// escape is broken.
std::optional<QByteArray> unescape(const QByteArray &value)
{
    QByteArray out;
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] != '%') {
            out += value[i];
            continue;
        }
        bool ok = false;
        const int byte = i + 2 < value.size() ? value.mid(i + 1, 2).toInt(&ok, 16) : 0;
        if (!ok)
            return std::nullopt;
        out += char(byte);
        i += 2;
    }
    return out;
}

// The socket address of one entry `unix:path=…` or `unix:abstract=…`
// (other keys, such as guid, are the bus's own business).
std::optional<std::pair<sockaddr_un, socklen_t>> localSocket(const QByteArray &entry)
{
    if (!entry.startsWith("unix:"))
        return std::nullopt;
    std::optional<QByteArray> path;
    bool abstract = false;
    for (const QByteArray &pair : entry.mid(5).split(',')) {
        const qsizetype eq = pair.indexOf('=');
        if (eq <= 0)
            return std::nullopt;
        const QByteArray key = pair.first(eq);
        if (key == "path" || key == "abstract") {
            if (path)
                return std::nullopt;
            path = unescape(pair.sliced(eq + 1));
            abstract = key == "abstract";
            if (!path)
                return std::nullopt;
        }
    }
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    const qsizetype offset = abstract ? 1 : 0;
    if (!path || path->isEmpty() || path->size() + offset >= qsizetype(sizeof address.sun_path))
        return std::nullopt;
    std::memcpy(address.sun_path + offset, path->constData(), size_t(path->size()));
    const socklen_t size =
        socklen_t(offsetof(sockaddr_un, sun_path) + offset + path->size() + (abstract ? 0 : 1));
    return std::make_pair(address, size);
}

// Asks for socket buffers of 8 MiB, as sd-bus does for a socket of its own:
// beyond the system's limit where this process may.
void growBuffer(int fd, int option, int force)
{
    const int wanted = 8 * 1024 * 1024;
    int got = 0;
    socklen_t size = sizeof got;
    if (::setsockopt(fd, SOL_SOCKET, option, &wanted, sizeof wanted) == 0 &&
        ::getsockopt(fd, SOL_SOCKET, option, &got, &size) == 0 && got >= wanted)
        return;
    ::setsockopt(fd, SOL_SOCKET, force, &wanted, sizeof wanted);
}

// Writes all of `data`, within the time left.
bool writeAll(int fd, QByteArrayView data, const QElapsedTimer &clock, int timeoutMs)
{
    while (!data.isEmpty()) {
        const ssize_t n = ::send(fd, data.data(), size_t(data.size()), MSG_NOSIGNAL);
        if (n > 0) {
            data = data.sliced(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return false;
        pollfd out = {fd, POLLOUT, 0};
        const qint64 left = timeoutMs - clock.elapsed();
        if (left <= 0 || ::poll(&out, 1, int(left)) <= 0)
            return false;
    }
    return true;
}

// Reads one line of the server's, without its CR LF. The server says
// nothing unasked while signing on, so nothing past the line is read.
std::optional<QByteArray> readLine(int fd, const QElapsedTimer &clock, int timeoutMs,
                                   QString *error)
{
    QByteArray line;
    while (!line.endsWith("\r\n")) {
        if (line.size() > MaxAnswerLength) {
            *error = QStringLiteral("the session bus answered its sign-on with no D-Bus line");
            return std::nullopt;
        }
        char c = 0;
        const ssize_t n = ::recv(fd, &c, 1, 0);
        if (n == 1) {
            line += c;
            continue;
        }
        if (n == 0) {
            *error = closedWhileSigningOn();
            return std::nullopt;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN) {
            *error = systemError(errno);
            return std::nullopt;
        }
        pollfd in = {fd, POLLIN, 0};
        const qint64 left = timeoutMs - clock.elapsed();
        if (left <= 0 || ::poll(&in, 1, int(left)) <= 0) {
            *error = QStringLiteral("the session bus did not answer its sign-on within %1 ms")
                         .arg(timeoutMs);
            return std::nullopt;
        }
    }
    line.chop(2);
    return line;
}

// Connects to `socket` and signs on, each step after the server's answer
// to the one before.
std::optional<SignedOn> signOnAt(const sockaddr_un &socket, socklen_t size, int timeoutMs,
                                 QString *error)
{
    QElapsedTimer clock;
    clock.start();
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *error = systemError(errno);
        return std::nullopt;
    }
    // Closed on every way out but success.
    auto closeFd = qScopeGuard([fd] { ::close(fd); });
    // A local connect completes at once, or finds the listener's backlog full.
    int r = ::connect(fd, reinterpret_cast<const sockaddr *>(&socket), size);
    while (r < 0 && (errno == EAGAIN || errno == EINTR) && clock.elapsed() < timeoutMs) {
        ::usleep(1000);
        r = ::connect(fd, reinterpret_cast<const sockaddr *>(&socket), size);
    }
    if (r < 0) {
        *error = systemError(errno);
        return std::nullopt;
    }

    const QByteArray uid = QByteArray::number(uint(::geteuid())).toHex();
    if (!writeAll(fd, QByteArray("\0AUTH EXTERNAL ", 15) + uid + "\r\n", clock, timeoutMs)) {
        *error = closedWhileSigningOn();
        return std::nullopt;
    }
    std::optional<QByteArray> answer = readLine(fd, clock, timeoutMs, error);
    if (!answer)
        return std::nullopt;
    // The server's id goes on to sd-bus as a line of its own: 32 hex digits
    // and nothing else.
    const auto isLowerHex = [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
    };
    if (answer->size() != 35 || !answer->startsWith("OK ") ||
        !std::all_of(answer->cbegin() + 3, answer->cend(), isLowerHex)) {
        *error = QStringLiteral("the session bus did not accept this user");
        return std::nullopt;
    }
    SignedOn signedOn;
    signedOn.guid = answer->sliced(3);

    if (!writeAll(fd, "NEGOTIATE_UNIX_FD\r\n", clock, timeoutMs)) {
        *error = closedWhileSigningOn();
        return std::nullopt;
    }
    answer = readLine(fd, clock, timeoutMs, error);
    if (!answer)
        return std::nullopt;
    signedOn.fds = *answer == "AGREE_UNIX_FD";
    if (!writeAll(fd, Begin, clock, timeoutMs)) {
        *error = closedWhileSigningOn();
        return std::nullopt;
    }
    closeFd.dismiss();
    signedOn.fd = fd;
    return signedOn;
}

} // namespace

std::optional<SignedOn> signOn(const QByteArray &address, int timeoutMs, QString *error)
{
    error->clear();
    QString firstError;
    for (const QByteArray &entry : address.split(';')) {
        const auto socket = localSocket(entry);
        if (!socket)
            continue;
        if (std::optional<SignedOn> connection =
                signOnAt(socket->first, socket->second, timeoutMs, error))
            return connection;
        if (firstError.isEmpty())
            firstError = *error;
    }
    *error = firstError;
    return std::nullopt;
}

bool startOn(sd_bus *bus, SignedOn connection, QString *error)
{
    // sd-bus signs on by itself, always. It does so on one end of a socket
    // pair, where this side answers its lines as the server did; once it
    // has read them, the real connection takes the pair's place under the
    // same descriptor number, with whatever sd-bus wrote after BEGIN.
    int pair[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair) < 0) {
        *error = systemError(errno);
        ::close(connection.fd);
        return false;
    }
    const int stand = pair[0];
    const int ours = pair[1];
    bool ok = sd_bus_set_fd(bus, stand, stand) >= 0 && sd_bus_negotiate_fds(bus, 1) >= 0 &&
              sd_bus_start(bus) >= 0;
    QByteArray written;
    auto readWritten = [&] {
        char buffer[4096];
        for (ssize_t n; (n = ::recv(ours, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
            written.append(buffer, n);
    };
    if (ok)
        readWritten();
    qsizetype begin = written.indexOf(Begin);
    ok = ok && begin >= 0;
    if (ok) {
        QByteArray answers;
        for (QByteArray line : written.first(begin).split('\n')) {
            line = line.trimmed();
            if (line.startsWith('\0'))
                line.remove(0, 1);
            if (line.isEmpty())
                continue;
            if (line == "AUTH EXTERNAL")
                answers += "DATA\r\n";
            else if (line.startsWith("AUTH EXTERNAL ") || line.startsWith("DATA"))
                answers += "OK " + connection.guid + "\r\n";
            else if (line == "NEGOTIATE_UNIX_FD")
                answers += connection.fds ? "AGREE_UNIX_FD\r\n" : "ERROR\r\n";
            else
                ok = false;
        }
        ok = ok && ::send(ours, answers.constData(), size_t(answers.size()), MSG_NOSIGNAL) ==
                       answers.size();
    }
    // Each pass reads what has arrived; a few are plenty.
    int unread = 0;
    for (int pass = 0; ok && pass < 16; ++pass) {
        if (::ioctl(stand, FIONREAD, &unread) < 0 || unread == 0)
            break;
        ok = sd_bus_process(bus, nullptr) >= 0;
    }
    ok = ok && unread == 0 && sd_bus_is_open(bus) > 0;
    if (ok) {
        readWritten();
        QElapsedTimer clock;
        clock.start();
        ok = writeAll(connection.fd, QByteArrayView(written).sliced(begin + Begin.size()), clock,
                      1000);
    }
    if (ok) {
        // What sd-bus asks of a socket it sets up itself.
        const int passCredentials = 1;
        ::setsockopt(connection.fd, SOL_SOCKET, SO_PASSCRED, &passCredentials,
                     sizeof passCredentials);
        growBuffer(connection.fd, SO_SNDBUF, SO_SNDBUFFORCE);
        growBuffer(connection.fd, SO_RCVBUF, SO_RCVBUFFORCE);
        ok = ::dup3(connection.fd, stand, O_CLOEXEC) >= 0;
    }
    ::close(connection.fd);
    ::close(ours);
    if (!ok)
        *error = QStringLiteral("the bus connection could not be handed to sd-bus");
    return ok;
}

} // namespace BusHandshake
