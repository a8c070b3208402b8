// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "busconnection.h"

#include "bushandshake.h"
#include "payloadtext.h"
#include "threadcheck.h"
#include <InterProc/interprocbus.h>

#include <QElapsedTimer>
#include <QSet>
#include <QThread>

#include <malloc.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <limits>

// What a call's slot carries: the handler, dropped with its context. A
// connection that is closed from this side (sd_bus_close drops its calls
// silently) hands its calls still waiting a null reply first.
struct PendingCall
{
    QPointer<QObject> context;
    BusConnection::ReplyHandler handler;
    QSet<PendingCall *> *registry = nullptr;
    std::function<void()> beforeAnswer; // the connection's, while it lives
    bool answered = false;

    void answer(sd_bus_message *reply)
    {
        if (answered)
            return;
        answered = true;
        // Let go of the handler once answered: it may hold messages (a call
        // to answer later), each a reference on its bus, while the slot that
        // holds this lives as long as the bus does.
        const BusConnection::ReplyHandler run = std::move(handler);
        handler = nullptr;
        if (context && run)
            run(reply);
    }
};

namespace {
// A pass over the connection hands on at most this long's worth of
// messages before the owner's other events get their turn (the inbox hands
// payloads to the owner in shorter slices: reading comes first). When more
// was waiting, the next pass may take twice as long as the owner's events
// took meanwhile, up to MaxProcessSliceMs: reading keeps pace with a flood
// however much each payload costs the owner, and what is past the bounds
// is refused as it comes rather than left with the bus daemon.
constexpr qint64 ProcessSliceMs = 12;
constexpr qint64 MaxProcessSliceMs = 250;
// How long signing on to the bus may take before it counts as refused.
constexpr int SignOnTimeoutMs = 5000;
// Messages (answers to the other end's calls, mostly) waiting to be taken
// by the other end past which the connection is not read: an end that sends
// calls and never reads their answers would otherwise grow this side
// without bound. Reading goes on once it takes some.
constexpr uint64_t MaxQueuedWrites = 1024;

// Whether the socket takes more now.
bool writable(int fd)
{
    pollfd p = {fd, POLLOUT, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLOUT);
}

quint64 monotonicUs()
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return quint64(now.tv_sec) * 1000000 + quint64(now.tv_nsec) / 1000;
}

int onReply(sd_bus_message *reply, void *userdata, sd_bus_error *)
{
    auto *pending = static_cast<PendingCall *>(userdata);
    if (pending->beforeAnswer)
        pending->beforeAnswer();
    pending->answer(reply);
    return 1;
}

void dropPending(void *userdata)
{
    auto *pending = static_cast<PendingCall *>(userdata);
    if (pending->registry)
        pending->registry->remove(pending);
    delete pending;
}
} // namespace

BusMessage BusMessage::adopt(sd_bus_message *message)
{
    BusMessage m;
    m.m_message = message;
    return m;
}

BusMessage BusMessage::ref(sd_bus_message *message)
{
    BusMessage m;
    m.m_message = sd_bus_message_ref(message);
    return m;
}

BusMessage::BusMessage(const BusMessage &other)
    : m_message(other.m_message ? sd_bus_message_ref(other.m_message) : nullptr)
{}

BusMessage::BusMessage(BusMessage &&other) noexcept : m_message(other.m_message)
{
    other.m_message = nullptr;
}

BusMessage &BusMessage::operator=(BusMessage other) noexcept
{
    std::swap(m_message, other.m_message);
    return *this;
}

BusMessage::~BusMessage()
{
    if (m_message)
        sd_bus_message_unref(m_message);
}

BusConnection::BusConnection(sd_bus *bus, QObject *parent) : QObject(parent), m_bus(bus)
{
    const int fd = sd_bus_get_fd(bus);
    m_read = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    m_write = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
    connect(m_read.get(), &QSocketNotifier::activated, this, &BusConnection::process);
    connect(m_write.get(), &QSocketNotifier::activated, this, &BusConnection::process);
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &BusConnection::process);
    // A floating filter, gone with the connection.
    sd_bus_add_filter(bus, nullptr, &BusConnection::countCall, this);
    arm();
}

sd_bus *Bus::openSessionBus(QString *error)
{
    QByteArray address = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    if (address.isEmpty() && !qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        address =
            "unix:path=" + qgetenv("XDG_RUNTIME_DIR").replace('%', "%25").replace(',', "%2c") +
            "/bus";
    if (address.isEmpty()) {
        *error = QStringLiteral("no session bus address is set");
        return nullptr;
    }
    // A local socket is signed on to answer by answer, as a sandbox's bus
    // proxy requires; any other transport is left to sd-bus.
    std::optional<BusHandshake::SignedOn> signedOn =
        BusHandshake::signOn(address, SignOnTimeoutMs, error);
    if (!signedOn && !error->isEmpty())
        return nullptr;
    sd_bus *bus = nullptr;
    int r = sd_bus_new(&bus);
    if (r >= 0)
        r = sd_bus_set_bus_client(bus, 1);
    // The session bus admits only this user: sd-bus need not ask the daemon
    // for each caller's credentials (a blocking call per method call).
    if (r >= 0)
        r = sd_bus_set_trusted(bus, 1);
    if (r >= 0 && signedOn) {
        if (!BusHandshake::startOn(bus, std::move(*signedOn), error)) {
            sd_bus_flush_close_unref(bus);
            return nullptr;
        }
    } else {
        if (r >= 0)
            r = sd_bus_set_address(bus, address.constData());
        if (r >= 0)
            r = sd_bus_negotiate_fds(bus, 1);
        if (r >= 0)
            r = sd_bus_start(bus);
    }
    const char *unique = nullptr;
    // Waits for the bus's answer to Hello: the unique name is what this
    // endpoint is known and checked by.
    if (r >= 0)
        r = sd_bus_get_unique_name(bus, &unique);
    if (r < 0) {
        *error = r == -ENOTCONN || r == -ECONNRESET ? BusHandshake::closedWhileSigningOn()
                                                    : QString::fromLocal8Bit(strerror(-r));
        sd_bus_flush_close_unref(bus);
        return nullptr;
    }
    return bus;
}

QByteArray Bus::sessionBusKey()
{
    return qgetenv("DBUS_SESSION_BUS_ADDRESS") + '|' + qgetenv("XDG_RUNTIME_DIR");
}

BusConnection *BusConnection::openSessionBus(QObject *parent, QString *error)
{
    sd_bus *bus = Bus::openSessionBus(error);
    if (!bus)
        return nullptr;
    const char *unique = nullptr;
    sd_bus_get_unique_name(bus, &unique);
    auto *connection = new BusConnection(bus, parent);
    connection->m_uniqueName = QString::fromUtf8(unique);
    return connection;
}

BusConnection *BusConnection::connectToPeer(int fd, QObject *parent)
{
    sd_bus *bus = nullptr;
    int r = sd_bus_new(&bus);
    const bool taken = r >= 0 && (r = sd_bus_set_fd(bus, fd, fd)) >= 0;
    if (r >= 0)
        r = sd_bus_negotiate_fds(bus, 1);
    if (r >= 0)
        r = sd_bus_start(bus);
    if (r < 0) {
        if (!taken)
            ::close(fd);
        sd_bus_unref(bus); // closes fd once it has it
        return nullptr;
    }
    return new BusConnection(bus, parent);
}

BusConnection *BusConnection::acceptPeer(int fd, QObject *parent)
{
    sd_id128_t id = {};
    sd_bus *bus = nullptr;
    int r = sd_id128_randomize(&id);
    if (r >= 0)
        r = sd_bus_new(&bus);
    if (r >= 0)
        r = sd_bus_set_fd(bus, fd, fd);
    if (r >= 0)
        r = sd_bus_set_server(bus, 1, id);
    // The caller's user was checked on accept.
    if (r >= 0)
        r = sd_bus_set_trusted(bus, 1);
    if (r >= 0)
        r = sd_bus_negotiate_fds(bus, 1);
    if (r >= 0)
        r = sd_bus_start(bus);
    if (r < 0) {
        if (bus)
            sd_bus_unref(bus); // closes fd once it has it
        else
            ::close(fd);
        return nullptr;
    }
    return new BusConnection(bus, parent);
}

BusConnection::~BusConnection()
{
    flushAndClose(0);
}

int BusConnection::countCall(sd_bus_message *m, void *userdata, sd_bus_error *)
{
    // Whoever answers it, the answer is one more message in the write queue.
    if (sd_bus_message_is_method_call(m, nullptr, nullptr) &&
        sd_bus_message_get_expect_reply(m) > 0)
        ++static_cast<BusConnection *>(userdata)->m_sendPosition;
    return 0;
}

void BusConnection::noteClosing(bool closingHere)
{
    // sd-bus keeps its write queue while it tells each call waiting for an
    // answer that the connection closed, and empties it afterwards.
    if (m_closingNoted || !m_bus || (!closingHere && sd_bus_is_open(m_bus) > 0))
        return;
    m_closingNoted = true;
    uint64_t queued = 0;
    if (sd_bus_get_n_queued_write(m_bus, &queued) >= 0 && queued > 0 && queued <= m_sendPosition)
        m_unwrittenFrom = m_sendPosition - queued + 1;
}

bool BusConnection::neverWritten(quint64 position) const
{
    return m_unwrittenFrom > 0 && position >= m_unwrittenFrom;
}

bool BusConnection::isOpen() const
{
    return m_bus && !m_closing && sd_bus_is_open(m_bus) > 0;
}

bool BusConnection::passesFds() const
{
    // Asked only once the connection runs, so this does not wait.
    return m_bus && sd_bus_is_ready(m_bus) > 0 && sd_bus_can_send(m_bus, SD_BUS_TYPE_UNIX_FD) > 0;
}

bool BusConnection::call(sd_bus_message *call, int timeoutMs, QObject *context,
                         ReplyHandler handler, int *sendError)
{
    INTERPROC_CHECK_THREAD(this);
    if (m_closing) {
        if (sendError)
            *sendError = -ENOTCONN;
        return false;
    }
    auto *pending = new PendingCall{context, std::move(handler), &m_pending, {}};
    pending->beforeAnswer = [this] {
        noteClosing();
    };
    sd_bus_slot *slot = nullptr;
    const int r =
        sd_bus_call_async(m_bus, &slot, call, onReply, pending, quint64(timeoutMs) * 1000);
    if (sendError)
        *sendError = r;
    if (r < 0) {
        delete pending;
        return false;
    }
    m_pending.insert(pending);
    sd_bus_slot_set_destroy_callback(slot, dropPending);
    sd_bus_slot_set_floating(slot, 1);
    sd_bus_slot_unref(slot);
    sent();
    if (!m_timer.isActive() || m_timer.remainingTime() > timeoutMs)
        m_timer.start(timeoutMs);
    return true;
}

bool BusConnection::send(sd_bus_message *message)
{
    INTERPROC_CHECK_THREAD(this);
    if (sd_bus_send(m_bus, message, nullptr) < 0)
        return false;
    sent();
    return true;
}

void BusConnection::sent()
{
    ++m_sendPosition;
    if (!m_write->isEnabled() && (sd_bus_get_events(m_bus) & POLLOUT))
        m_write->setEnabled(true);
}

void BusConnection::process()
{
    INTERPROC_CHECK_THREAD(this);
    if (!m_bus || m_processing)
        return;
    QPointer<BusConnection> alive(this);
    qint64 sliceMs = ProcessSliceMs;
    if (m_moreWaiting.isValid()) {
        sliceMs = std::clamp(2 * m_moreWaiting.elapsed(), ProcessSliceMs, MaxProcessSliceMs);
        m_moreWaiting.invalidate();
    }
    QElapsedTimer slice;
    slice.start();
    for (;;) {
        // Past the bound only what the socket takes now is written: with
        // room in the socket sd-bus writes and reads nothing, without room
        // it would read the next call. This end's own calls waiting for
        // answers do not count: it reads on to take those answers, so that
        // two ends writing to each other never both stop reading.
        uint64_t queued = 0;
        if (sd_bus_get_n_queued_write(m_bus, &queued) >= 0 &&
            queued >= MaxQueuedWrites + uint64_t(m_pending.size())) {
            if (!m_throttled) {
                m_throttled = true;
                m_throttledQueue = true;
            }
            if (!writable(sd_bus_get_fd(m_bus))) {
                arm();
                return;
            }
        } else {
            m_throttled = false;
        }
        m_processing = true;
        const int r = sd_bus_process(m_bus, nullptr);
        if (!alive)
            return;
        m_processing = false;
        noteClosing();
        if (r < 0)
            break;
        if (r == 0) {
            arm();
            return;
        }
        if (slice.elapsed() >= sliceMs) {
            // More is waiting; the owner's own events come first. A closing
            // connection has closed its descriptor already, while it tells
            // its calls one at a time.
            const bool open = sd_bus_is_open(m_bus) > 0;
            m_read->setEnabled(open && !m_throttled);
            m_write->setEnabled(open && (sd_bus_get_events(m_bus) & POLLOUT));
            m_timer.start(0);
            m_moreWaiting.start();
            return;
        }
    }
    // Closed: whatever was still waiting for an answer has been told.
    m_read->setEnabled(false);
    m_write->setEnabled(false);
    m_timer.stop();
    if (!m_closedTold) {
        m_closedTold = true;
        emit closed();
    }
}

void BusConnection::arm()
{
    const int events = sd_bus_get_events(m_bus);
    if (events < 0) {
        // Closing, its descriptor closed: process() tells.
        m_read->setEnabled(false);
        m_write->setEnabled(false);
        m_timer.start(0);
        return;
    }
    // While the other end takes nothing, its socket wakes nothing: read
    // again once it has taken some.
    m_read->setEnabled(!m_throttled);
    m_write->setEnabled((events & POLLOUT) || m_throttled);
    uint64_t until = 0;
    if (sd_bus_get_timeout(m_bus, &until) < 0 || until == std::numeric_limits<quint64>::max()) {
        m_timer.stop();
        return;
    }
    const quint64 now = monotonicUs();
    const quint64 waitMs = until <= now ? 0 : (until - now + 999) / 1000;
    m_timer.start(int(std::min<quint64>(waitMs, std::numeric_limits<int>::max())));
}

void BusConnection::flushAndClose(int boundMs, bool untilPeerCloses)
{
    if (!m_bus)
        return;
    m_read.reset();
    m_write.reset();
    m_timer.stop();
    // What was answered goes out before the connection closes, so that the
    // other end never counts as lost what this end took; a peer that does
    // not read gets boundMs at most.
    QElapsedTimer waited;
    waited.start();
    uint64_t queued = 0;
    while (sd_bus_is_open(m_bus) > 0 && sd_bus_get_n_queued_write(m_bus, &queued) >= 0 &&
           queued > 0) {
        const qint64 left = boundMs - waited.elapsed();
        if (left <= 0)
            break;
        pollfd fd = {sd_bus_get_fd(m_bus), POLLOUT, 0};
        if (::poll(&fd, 1, int(left)) <= 0)
            break;
        // Writes what the socket takes; anything that arrives meanwhile is
        // read and answered by sd-bus alone (objects are gone by now).
        sd_bus_message *ignored = nullptr;
        if (sd_bus_process(m_bus, &ignored) < 0)
            break;
        sd_bus_message_unref(ignored);
    }
    if (untilPeerCloses && sd_bus_is_open(m_bus) > 0 &&
        sd_bus_get_n_queued_write(m_bus, &queued) >= 0 && queued == 0)
        drainUntilPeerCloses(boundMs - waited.elapsed());
    // Whatever still waits for an answer is told now, with no reply: the
    // connection is closed.
    noteClosing(true);
    m_closing = true;
    const QList<PendingCall *> waiting(m_pending.cbegin(), m_pending.cend());
    for (PendingCall *pending : waiting) {
        if (m_pending.contains(pending))
            pending->answer(nullptr);
    }
    for (PendingCall *pending : std::as_const(m_pending))
        pending->registry = nullptr;
    m_pending.clear();
    sd_bus_close(m_bus);
    sd_bus_unref(m_bus);
    m_bus = nullptr;
    // Answers piled up for an end that did not read them were freed just
    // now; the allocator keeps such memory unless told to give it back.
    if (m_throttledQueue)
        malloc_trim(0);
}

void BusConnection::drainUntilPeerCloses(qint64 boundMs)
{
    // Nothing more goes out: the other end reads what was written, then
    // the end of it, and closes. Its calls meanwhile are dropped unanswered,
    // which it tells as not taken once it sees the end.
    const int fd = sd_bus_get_fd(m_bus);
    // A peer in this process runs on a thread that may be the one waiting.
    ucred peer = {};
    socklen_t size = sizeof(peer);
    if (fd < 0 || ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
        peer.pid == ::getpid() || ::shutdown(fd, SHUT_WR) != 0)
        return;
    QElapsedTimer waited;
    waited.start();
    char buffer[16384];
    for (;;) {
        const qint64 left = boundMs - waited.elapsed();
        pollfd in = {fd, POLLIN, 0};
        if (left <= 0 || ::poll(&in, 1, int(left)) <= 0)
            return;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            return;
    }
}

BusMessage BusConnection::newCall(const char *destination, const char *member) const
{
    sd_bus_message *m = nullptr;
    if (sd_bus_message_new_method_call(m_bus, &m, destination, InterProcBus::ObjectPath,
                                       InterProcBus::Interface, member) < 0)
        return {};
    return BusMessage::adopt(m);
}

BusMessage BusConnection::newDaemonCall(const char *member) const
{
    sd_bus_message *m = nullptr;
    if (sd_bus_message_new_method_call(m_bus, &m, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                       "org.freedesktop.DBus", member) < 0)
        return {};
    return BusMessage::adopt(m);
}

const char *BusConnection::objectPath()
{
    return InterProcBus::ObjectPath;
}

const char *BusConnection::interfaceName()
{
    return InterProcBus::Interface;
}

bool BusConnection::addMatch(sd_bus_slot **slot, const char *rule, sd_bus_message_handler_t handler,
                             void *userdata)
{
    INTERPROC_CHECK_THREAD(this);
    if (sd_bus_add_match_async(m_bus, slot, rule, handler, nullptr, userdata) < 0)
        return false;
    sent();
    return true;
}

bool BusConnection::addObject(sd_bus_slot **filterSlot, sd_bus_message_handler_t filter,
                              sd_bus_slot **vtableSlot, const sd_bus_vtable *vtable, void *userdata)
{
    INTERPROC_CHECK_THREAD(this);
    if (sd_bus_add_object(m_bus, filterSlot, InterProcBus::ObjectPath, filter, userdata) < 0)
        return false;
    if (sd_bus_add_object_vtable(m_bus, vtableSlot, InterProcBus::ObjectPath,
                                 InterProcBus::Interface, vtable, userdata) < 0) {
        *filterSlot = sd_bus_slot_unref(*filterSlot);
        return false;
    }
    return true;
}

int BusConnection::requestName(const QString &name)
{
    INTERPROC_CHECK_THREAD(this);
    // Flags 0: neither queue for the name nor take it from its owner.
    const int r = sd_bus_request_name(m_bus, name.toUtf8().constData(), 0);
    return r < 0 ? r : 0;
}

void BusConnection::releaseName(const QString &name)
{
    INTERPROC_CHECK_THREAD(this);
    if (sd_bus_release_name_async(m_bus, nullptr, name.toUtf8().constData(), nullptr, nullptr) >= 0)
        sent();
}

int BusConnection::bytesWaiting() const
{
    int waiting = 0;
    return isOpen() && ::ioctl(sd_bus_get_fd(m_bus), FIONREAD, &waiting) == 0 ? waiting : 0;
}

bool BusConnection::hasUnhandled() const
{
    uint64_t queued = 0;
    return bytesWaiting() > 0 ||
           (isOpen() && sd_bus_get_n_queued_read(m_bus, &queued) >= 0 && queued > 0);
}

namespace Bus {

BusMessage answerable(sd_bus_message *call)
{
    uint64_t cookie = 0;
    sd_bus_message *copy = nullptr;
    const char *sender = sd_bus_message_get_sender(call);
    int r = sd_bus_message_get_cookie(call, &cookie);
    if (r >= 0)
        r = sd_bus_message_new_method_call(
            sd_bus_message_get_bus(call), &copy, nullptr, sd_bus_message_get_path(call),
            sd_bus_message_get_interface(call), sd_bus_message_get_member(call));
    if (r >= 0)
        r = sd_bus_message_set_expect_reply(copy, sd_bus_message_get_expect_reply(call) > 0);
    if (r >= 0 && sender)
        r = sd_bus_message_set_sender(copy, sender);
    if (r >= 0)
        r = sd_bus_message_seal(copy, cookie, 0);
    if (r < 0) {
        if (copy)
            sd_bus_message_unref(copy);
        return BusMessage::ref(call);
    }
    return BusMessage::adopt(copy);
}

QString text(const char *utf8)
{
    return utf8 ? PayloadText::decodeUtf8(QByteArrayView(utf8)).value_or(QString()) : QString();
}

QString errorName(sd_bus_message *reply)
{
    const sd_bus_error *error = sd_bus_message_get_error(reply);
    return error && error->name ? QString::fromUtf8(error->name) : QString();
}

QString errorMessage(sd_bus_message *reply)
{
    const sd_bus_error *error = sd_bus_message_get_error(reply);
    return error && error->message ? QString::fromUtf8(error->message) : QString();
}

void replyError(BusConnection *connection, sd_bus_message *call, const QString &name,
                const QString &message)
{
    if (!call || sd_bus_message_get_expect_reply(call) <= 0)
        return;
    const QByteArray n = name.toUtf8();
    const QByteArray text = message.toUtf8();
    const sd_bus_error error = SD_BUS_ERROR_MAKE_CONST(n.constData(), text.constData());
    sd_bus_reply_method_error(call, &error);
    if (connection)
        connection->sent();
}

} // namespace Bus
