// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "captiondesk.h"

#include "busconnection.h"
#include "interproclogging.h"
#include <InterProc/interprocbus.h>

#include <QMutex>

#include <cerrno>
#include <chrono>

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

using namespace InterProcBus;

namespace {
// poll()'s timeout for sd-bus's next deadline (an absolute CLOCK_MONOTONIC
// time in microseconds, or none).
int pollTimeoutMs(sd_bus *bus)
{
    uint64_t until = 0;
    if (sd_bus_get_timeout(bus, &until) < 0 || until == UINT64_MAX)
        return -1;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t nowUs = uint64_t(now.tv_sec) * 1000000u + uint64_t(now.tv_nsec) / 1000u;
    return until <= nowUs ? 0 : int(std::min<uint64_t>((until - nowUs + 999) / 1000, 60000));
}

// This process's desks, by bus address (a test may start a second bus).
QMutex desksMutex;
QHash<QByteArray, std::weak_ptr<CaptionDesk>> desks;
} // namespace

std::shared_ptr<CaptionDesk> CaptionDesk::forThisProcess()
{
    const QByteArray address = Bus::sessionBusKey();
    QMutexLocker lock(&desksMutex);
    std::shared_ptr<CaptionDesk> desk = desks.value(address).lock();
    if (desk && desk->isOpen())
        return desk;
    desk.reset(new CaptionDesk);
    desks.insert(address, desk);
    return desk;
}

CaptionDesk::CaptionDesk() : m_wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    m_thread = std::thread([this] { run(); });
}

CaptionDesk::~CaptionDesk()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    wake();
    m_thread.join();
    if (m_wake >= 0)
        ::close(m_wake);
}

bool CaptionDesk::isOpen()
{
    std::lock_guard lock(m_mutex);
    return m_connecting || (m_bus && sd_bus_is_open(m_bus) > 0);
}

int CaptionDesk::claim(qint32 handle, const QString &caption, int boundMs)
{
    int r = -ENOTCONN;
    {
        std::unique_lock lock(m_mutex);
        m_opened.wait_for(lock, std::chrono::milliseconds(boundMs),
                          [this] { return !m_connecting; });
        if (!m_bus)
            return r;
        // Flags 0: neither queue for the name nor take it from its owner.
        r = sd_bus_request_name(m_bus, captionServiceForHandle(handle).toUtf8().constData(), 0);
        if (r >= 0)
            m_captions.insert(handle, caption.toUtf8());
    }
    // The call may have read calls off the socket for the thread to answer.
    wake();
    return r < 0 ? r : 0;
}

void CaptionDesk::release(qint32 handle)
{
    {
        std::lock_guard lock(m_mutex);
        if (!m_captions.remove(handle) || !m_bus)
            return;
        sd_bus_release_name_async(
            m_bus, nullptr, captionServiceForHandle(handle).toUtf8().constData(), nullptr, nullptr);
    }
    wake();
}

void CaptionDesk::setCaption(qint32 handle, const QString &caption)
{
    const QByteArray utf8 = caption.toUtf8();
    std::lock_guard lock(m_mutex);
    auto it = m_captions.find(handle);
    if (it != m_captions.end())
        *it = utf8;
}

void CaptionDesk::wake()
{
    if (m_wake >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(m_wake, &one, sizeof one);
    }
}

int CaptionDesk::describe(sd_bus_message *m, void *userdata, sd_bus_error *error)
{
    // Runs under m_mutex, from serve(). Which endpoint is asked for is the
    // name the call was sent to.
    auto *self = static_cast<CaptionDesk *>(userdata);
    const char *destination = sd_bus_message_get_destination(m);
    const qint32 handle =
        destination ? handleFromCaptionService(QString::fromUtf8(destination)) : 0;
    const auto it = self->m_captions.constFind(handle);
    if (handle <= 0 || it == self->m_captions.cend())
        return sd_bus_error_set(error, "org.freedesktop.DBus.Error.UnknownObject",
                                "Describe is answered for the name of a party's caption desk");
    const int r = sd_bus_reply_method_return(m, "is", handle, it->constData());
    return r < 0 ? r : 1;
}

void CaptionDesk::run()
{
    pthread_setname_np(pthread_self(), "interproc-desk");
    QString why;
    sd_bus *bus = Bus::openSessionBus(&why);
    // clang-format off
    static const sd_bus_vtable vtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD_WITH_NAMES("Describe", "", "", "is",
                                 SD_BUS_PARAM(handle) SD_BUS_PARAM(caption),
                                 &CaptionDesk::describe, 0),
        SD_BUS_VTABLE_END,
    };
    // clang-format on
    if (bus && sd_bus_add_object_vtable(bus, nullptr, ObjectPath, Interface, vtable, this) < 0)
        bus = sd_bus_flush_close_unref(bus);
    if (!bus)
        qCDebug(lcInterProc) << "no connection for the caption desk:" << why;
    {
        std::lock_guard lock(m_mutex);
        m_bus = bus;
        m_connecting = false;
    }
    m_opened.notify_all();
    if (bus)
        serve();
    std::lock_guard lock(m_mutex);
    // Answers still unwritten are dropped: the callers' calls fail as the
    // connection closes, which is what they would see of a desk that left.
    sd_bus_close_unref(m_bus);
    m_bus = nullptr;
}

void CaptionDesk::serve()
{
    std::unique_lock lock(m_mutex);
    while (!m_stopping) {
        uint64_t queued = 0;
        bool full = false;
        for (;;) {
            full = sd_bus_get_n_queued_write(m_bus, &queued) >= 0 && queued >= MaxQueuedWrites;
            if (full)
                break;
            const int r = sd_bus_process(m_bus, nullptr);
            if (r < 0) {
                qCDebug(lcInterProc) << "the caption desk's connection closed";
                return;
            }
            if (r == 0)
                break;
        }
        // Write what waits first; read no more while too much does.
        const int events = sd_bus_get_events(m_bus);
        if (events < 0)
            return;
        pollfd fds[2] = {{sd_bus_get_fd(m_bus), short(full ? (events & POLLOUT) : events), 0},
                         {m_wake, POLLIN, 0}};
        const int timeoutMs = pollTimeoutMs(m_bus);
        lock.unlock();
        const int polled = ::poll(fds, 2, timeoutMs);
        lock.lock();
        if (polled < 0 && errno != EINTR)
            return;
        if (fds[1].revents & POLLIN) {
            uint64_t count = 0;
            [[maybe_unused]] const ssize_t read = ::read(m_wake, &count, sizeof count);
        }
        // sd-bus writes what the socket takes, then reads one call at most.
        if (full && (fds[0].revents & POLLOUT) && sd_bus_process(m_bus, nullptr) < 0)
            return;
    }
}
