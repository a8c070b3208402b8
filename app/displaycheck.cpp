// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "displaycheck.h"

#include <QByteArray>
#include <QStringList>

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <future>
#include <memory>
#include <optional>
#include <thread>

namespace {

enum class Probe { Answered, Silent, Unreachable };

struct Display
{
    QByteArray host; // empty: this machine, through its Unix socket
    int number = -1;
};

// DISPLAY as "[host]:number[.screen]"; host "unix" means this machine.
std::optional<Display> parseDisplay(const QByteArray &value)
{
    const qsizetype colon = value.lastIndexOf(':');
    if (colon < 0 || value.startsWith('/'))
        return std::nullopt;
    Display display;
    display.host = value.left(colon);
    if (display.host == "unix")
        display.host.clear();
    QByteArray number = value.mid(colon + 1);
    if (const qsizetype dot = number.indexOf('.'); dot >= 0)
        number.truncate(dot);
    bool ok = false;
    display.number = number.toInt(&ok);
    if (!ok || display.number < 0)
        return std::nullopt;
    return display;
}

int connectUnix(const QByteArray &path, bool abstract)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const size_t offset = abstract ? 1 : 0; // abstract names begin with NUL
    if (size_t(path.size()) + offset >= sizeof(address.sun_path))
        return -1;
    std::memcpy(address.sun_path + offset, path.constData(), size_t(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + offset + size_t(path.size()) +
                                  (abstract ? 0 : 1));
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), length) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int connectTcp(const QByteArray &host, int port)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (::getaddrinfo(host.constData(), QByteArray::number(port).constData(), &hints, &found) != 0)
        return -1;
    int fd = -1;
    for (const addrinfo *a = found; a && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd >= 0 && ::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(found);
    return fd;
}

// Connects as Xlib and xcb do (the abstract socket first on Linux) and
// sends the fixed part of the connection setup without authorisation: any
// X server answers that, with success, failure or a request to
// authenticate.
Probe probe(const Display &display, std::chrono::steady_clock::time_point deadline)
{
    int fd = -1;
    if (display.host.isEmpty()) {
        const QByteArray path = "/tmp/.X11-unix/X" + QByteArray::number(display.number);
        fd = connectUnix(path, true);
        if (fd < 0)
            fd = connectUnix(path, false);
    } else {
        fd = connectTcp(display.host, 6000 + display.number);
    }
    if (fd < 0)
        return Probe::Unreachable;
    // Byte order 'l', protocol 11.0, no authorisation name or data.
    const unsigned char setup[12] = {'l', 0, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    Probe outcome = Probe::Unreachable;
    if (::send(fd, setup, sizeof setup, MSG_NOSIGNAL) == ssize_t(sizeof setup)) {
        outcome = Probe::Silent;
        pollfd answer{fd, POLLIN, 0};
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0)
                break;
            const int ready = ::poll(&answer, 1, int(left));
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready > 0)
                outcome = Probe::Answered; // an answer, or the display hung up: Qt says which
            break;
        }
    }
    ::close(fd);
    return outcome;
}

} // namespace

bool DisplayCheck::displayAnswers(int withinMs)
{
    // Only the X11 platform plugin opens DISPLAY.
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (!platform.isEmpty() && !platform.startsWith("xcb"))
        return true;
    if (platform.isEmpty() && !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qgetenv("XDG_SESSION_TYPE") == "wayland")
        return true;
    const std::optional<Display> display = parseDisplay(qgetenv("DISPLAY"));
    if (!display)
        return true;

    // Connecting (a full backlog) and looking up a host can also wait
    // without end; the probe runs on a thread of its own, which is left
    // behind when the wait is over.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(withinMs);
    auto outcome = std::make_shared<std::promise<Probe>>();
    std::future<Probe> result = outcome->get_future();
    std::thread([outcome, display = *display, deadline] {
        outcome->set_value(probe(display, deadline));
    }).detach();
    // A little beyond the probe's own deadline, so that its answer wins.
    if (result.wait_until(deadline + std::chrono::milliseconds(200)) != std::future_status::ready)
        return false;
    return result.get() != Probe::Silent;
}

QString DisplayCheck::settings()
{
    QStringList settings;
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        if (!qEnvironmentVariableIsEmpty(name))
            settings.append(
                QStringLiteral("%1=%2").arg(QLatin1String(name), qEnvironmentVariable(name)));
    }
    return settings.join(QStringLiteral(", "));
}
