// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "threaddirectory.h"

#include "busconnection.h"
#include "foreigntext.h"
#include "interproclogging.h"
#include "receivedbody.h"
#include "searchmethod.h"
#include "threadcheck.h"
#include <InterProc/interprocbus.h>

#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstring>
#include <functional>

using namespace InterProcBus;

namespace {
// A window that does not describe itself (busy, frozen, or a name that some
// other program took) is asked again after a delay that doubles, a bounded
// number of times; after that it is known by its handle only, until it
// announces its caption itself.
constexpr int DescribeAttempts = 5;
constexpr int DescribeRetryFirstMs = 500;
// How long the directory, once it knows the names on the bus, waits for
// their windows to describe themselves before its endpoints send; windows
// that describe themselves later are addressed from then on. It waits
// longer, up to DescribeTimeoutMs, for the bus daemon to name the owner of
// every window there, so that each one can be addressed by its handle.
constexpr int ReadyWithinMs = 250;
// At most so many calls in a pass, and passes that many ms apart: thousands
// of names on the bus, and their answers, must not keep the window from its
// events.
constexpr int CallsPerPass = 32;
constexpr int PassIntervalMs = 10;
// The bus daemon answers who owns a name at once: ten thousand names are
// known by their owners in less than half a second.
constexpr int OwnerCallsPerPass = 256;
constexpr int MaxOwnerQuestions = 1024;
// Questions on their way at once. Names that never answer cost a slot each
// for DescribeTimeoutMs, so that ten thousand of them cost a starting
// window about half a minute of light work. The questions go out on the
// directory's own connection, so they never take room from the endpoints'
// own calls under the bus daemons' limits of pending replies.
constexpr int MaxQuestions = 256;
// Of those, at most so many to the names of a connection that owns several
// (no endpoint does): a process that takes thousands of names and answers
// slowly or never cannot keep the windows that may be endpoints from being
// asked.
constexpr int MaxLaterQuestions = 192;

// This thread's directories, by bus address (a test may start a second bus).
// An entry outlives its directory (the next one replaces it), so that a
// directory never touches this table as it goes, which may be after the
// thread's storage is gone.
thread_local QHash<QByteArray, std::weak_ptr<ThreadDirectory>> threadDirectories;
} // namespace

std::shared_ptr<ThreadDirectory> ThreadDirectory::forThisThread(QString *error)
{
    const QByteArray address = Bus::sessionBusKey();
    std::shared_ptr<ThreadDirectory> directory = threadDirectories.value(address).lock();
    if (directory && directory->isOpen())
        return directory;
    BusConnection *bus = BusConnection::openSessionBus(nullptr, error);
    if (!bus)
        return {};
    directory = create(bus);
    threadDirectories.insert(address, directory);
    return directory;
}

std::shared_ptr<ThreadDirectory> ThreadDirectory::create(BusConnection *bus)
{
    std::shared_ptr<ThreadDirectory> directory(new ThreadDirectory(bus));
    directory->start();
    return directory;
}

ThreadDirectory::ThreadDirectory(BusConnection *bus)
    : m_bus(bus), m_calls(new QObject), m_retryFirstMs(DescribeRetryFirstMs)
{
    m_clock.start();
    m_dueTimer.setSingleShot(true);
    connect(&m_dueTimer, &QTimer::timeout, this, &ThreadDirectory::makeDueCalls);
}

ThreadDirectory::~ThreadDirectory()
{
    INTERPROC_CHECK_THREAD(this);
    delete m_calls;
    sd_bus_slot_unref(m_ownerMatch);
    sd_bus_slot_unref(m_captionMatch);
    delete m_bus; // closes it; nothing of the directory's waits to go out
}

bool ThreadDirectory::isOpen() const
{
    return m_bus->isOpen();
}

void ThreadDirectory::start()
{
    // Subscribe before listing, so that no change falls between the two:
    // the daemon takes the connection's messages in order.
    const QByteArray ownerRule =
        QByteArrayLiteral(
            "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
            "interface='org.freedesktop.DBus',member='NameOwnerChanged',"
            "arg0namespace='") +
        ServiceNamespace + "'";
    const QByteArray captionRule = QByteArrayLiteral("type='signal',path='") + ObjectPath +
                                   "',interface='" + Interface + "',member='CaptionChanged'";
    if (!m_bus->addMatch(&m_ownerMatch, ownerRule.constData(), &ThreadDirectory::onNameOwnerChanged,
                         this) ||
        !m_bus->addMatch(&m_captionMatch, captionRule.constData(),
                         &ThreadDirectory::onCaptionChanged, this))
        qCWarning(lcInterProc) << "cannot follow the windows on the bus";

    // Everything below is asynchronous: windows starting at the same moment
    // ask each other for their captions, and each must stay free to answer.
    m_loading = 1;
    const bool asked =
        ask("ListNames", QString(), DescribeTimeoutMs, m_calls, [this](sd_bus_message *reply) {
            QTimer::singleShot(ReadyWithinMs, m_calls, [this] {
                m_listedLongAgo = true;
                if (m_ownersLoading == 0)
                    becomeLoaded();
            });
            QTimer::singleShot(DescribeTimeoutMs, m_calls, [this] { becomeLoaded(); });
            char **names = nullptr;
            if (reply && !sd_bus_message_is_method_error(reply, nullptr) &&
                sd_bus_message_read_strv(reply, &names) >= 0) {
                for (char **name = names; name && *name; ++name) {
                    const QString service = QString::fromUtf8(*name);
                    const qint32 handle = handleFromService(service);
                    if (const qint32 desk = handleFromCaptionService(service); desk > 0)
                        m_desks.insert(desk);
                    if (m_local.contains(handle)) {
                        seen(handle);
                    } else if (handle > 0) {
                        ++m_loading;
                        ++m_ownersLoading;
                        m_ownersUnknown.insert(handle);
                        m_pending.insert(handle);
                        m_waitingOwners.push_back({handle, -1, true});
                    }
                    free(*name);
                }
                free(names);
                if (!m_waitingOwners.empty() && !m_dueTimer.isActive())
                    m_dueTimer.start(0);
            } else {
                qCWarning(lcInterProc)
                    << "cannot list bus names:" << (reply ? Bus::errorMessage(reply) : QString());
            }
            loaded();
        });
    if (!asked)
        QTimer::singleShot(0, m_calls, [this] { loaded(); });
}

void ThreadDirectory::attach(std::function<void()> caughtUp, qint32 handle, const QString &owner,
                             const QString &caption)
{
    INTERPROC_CHECK_THREAD(this);
    m_local.insert(handle, std::move(caughtUp));
    addWindow(handle, owner);
    setCaption(handle, caption);
}

void ThreadDirectory::detach(qint32 handle)
{
    m_local.remove(handle);
    m_seen.remove(handle);
}

void ThreadDirectory::setCaption(qint32 handle, const QString &caption)
{
    auto it = m_windows.find(handle);
    if (it != m_windows.end()) {
        it->caption = caption;
        it->captionKnown = true;
    }
}

void ThreadDirectory::seen(qint32 handle)
{
    if (!m_local.contains(handle) || m_seen.contains(handle))
        return;
    m_seen.insert(handle);
    if (m_loaded) {
        const std::function<void()> caughtUp = m_local.value(handle);
        caughtUp();
    }
}

bool ThreadDirectory::ask(const char *method, const QString &argument, int timeoutMs,
                          QObject *context, std::function<void(sd_bus_message *)> done)
{
    INTERPROC_CHECK_THREAD(this);
    const BusMessage call = m_bus->newDaemonCall(method);
    return call &&
           (argument.isNull() ||
            sd_bus_message_append(call.get(), "s", argument.toUtf8().constData()) >= 0) &&
           m_bus->call(call.get(), timeoutMs, context, std::move(done));
}

void ThreadDirectory::lookUpOwner(qint32 handle, QObject *context,
                                  std::function<void(const QString &)> done, int timeoutMs)
{
    // Not counted among the directory's questions: the caller bounds its own.
    const auto answer = [this, handle, done](sd_bus_message *reply) {
        const char *owner = nullptr;
        if (!reply || sd_bus_message_is_method_error(reply, nullptr) ||
            sd_bus_message_read(reply, "s", &owner) < 0)
            owner = nullptr;
        const QString name = QString::fromUtf8(owner);
        // The bus told the name's owner in a signal before this answer;
        // entered here too in case the directory could not follow it.
        if (!name.isEmpty() && !m_windows.contains(handle))
            addWindow(handle, name);
        done(name);
    };
    if (!ask("GetNameOwner", serviceForHandle(handle), timeoutMs, context, answer))
        QMetaObject::invokeMethod(
            context, [done] { done(QString()); }, Qt::QueuedConnection);
}

void ThreadDirectory::askOffers(qint32 handle, QObject *context, std::function<void(quint8)> done)
{
    INTERPROC_CHECK_THREAD(this);
    const PartyInfo window = m_windows.value(handle);
    if (window.owner.isEmpty() || window.offersKnown) {
        const quint8 offers = window.offers;
        QMetaObject::invokeMethod(
            context, [done, offers] { done(offers); }, Qt::QueuedConnection);
        return;
    }
    auto &waiters = m_offerWaiters[handle];
    waiters.append({QPointer<QObject>(context), std::move(done)});
    if (waiters.size() > 1)
        return;
    const QString owner = window.owner;
    const auto answer = [this, handle, owner](sd_bus_message *reply) {
        // Any answer is kept: a window that does not know the question
        // (UnknownMethod), answers wrongly or not in time takes the original
        // contract only, and is not asked again, so that no send waits on
        // it twice.
        quint8 offers = 0;
        const bool definite = reply != nullptr;
        if (reply && !sd_bus_message_is_method_error(reply, nullptr) &&
            sd_bus_message_enter_container(reply, 'a', "s") > 0) {
            // Whatever else it lists is not looked at, nor more than a few.
            const char *feature = nullptr;
            for (int i = 0; i < 64 && sd_bus_message_read(reply, "s", &feature) > 0; ++i) {
                if (!std::strcmp(feature, FeatureSealedUtf16))
                    offers |= PartyInfo::OffersSealedUtf16;
                else if (!std::strcmp(feature, FeatureBatch))
                    offers |= PartyInfo::OffersBatch;
            }
        }
        auto window = m_windows.find(handle);
        if (definite && window != m_windows.end() && window->owner == owner) {
            window->offers = offers;
            window->offersKnown = true;
        }
        const auto waiting = m_offerWaiters.take(handle);
        for (const auto &[context, done] : waiting) {
            if (context)
                done(offers);
        }
    };
    const BusMessage call = m_bus->newCall(owner.toUtf8().constData(), "Features");
    if (!call || !m_bus->call(call.get(), DescribeTimeoutMs, m_calls, answer))
        QMetaObject::invokeMethod(
            m_calls, [answer] { answer(nullptr); }, Qt::QueuedConnection);
}

std::optional<quint8> ThreadDirectory::knownOffers(qint32 handle) const
{
    const auto window = m_windows.constFind(handle);
    if (window == m_windows.cend() || !window->offersKnown)
        return std::nullopt;
    return window->offers;
}

bool ThreadDirectory::isBehind() const
{
    return m_bus->hasUnhandled();
}

void ThreadDirectory::answered()
{
    // A slot is free: the next due call may go.
    if (!m_dueTimer.isActive() &&
        (!m_due.empty() || !m_dueLater.empty() || !m_waitingOwners.empty()))
        m_dueTimer.start(0);
}

void ThreadDirectory::schedule(const Call &call, qint64 delayMs)
{
    const qint64 now = m_clock.elapsed();
    m_pending.insert(call.handle);
    m_due.emplace(now + delayMs, call);
    const qint64 wake = std::max(now + delayMs, m_nextPass) - now;
    if (!m_dueTimer.isActive() || m_dueTimer.remainingTime() > wake)
        m_dueTimer.start(int(wake));
}

void ThreadDirectory::makeDueCalls()
{
    const qint64 now = m_clock.elapsed();
    if (now < m_nextPass) {
        m_dueTimer.start(int(m_nextPass - now));
        return;
    }
    bool more = !askWaitingOwners(OwnerCallsPerPass) && m_ownerQuestions < MaxOwnerQuestions;
    bool full = false; // this pass made as many describe calls as it may
    // Windows that may be endpoints first, then the names of connections
    // that own several.
    int made = 0;
    for (std::multimap<qint64, Call> *lane : {&m_due, &m_dueLater}) {
        const bool later = lane == &m_dueLater;
        while (!lane->empty() && lane->begin()->first <= now && !full) {
            // answered() wakes the timer once a question has its answer.
            if (m_questions >= MaxQuestions || (later && m_laterQuestions >= MaxLaterQuestions))
                break;
            if (made == CallsPerPass) {
                full = more = true;
                break;
            }
            const Call call = lane->begin()->second;
            lane->erase(lane->begin());
            if (later || takeLikelyFirst(call)) {
                ++made;
                describe(call, later);
            }
        }
    }
    if (more) {
        m_nextPass = now + PassIntervalMs;
        m_dueTimer.start(PassIntervalMs);
        return;
    }
    qint64 next = -1;
    const auto consider = [&](const std::multimap<qint64, Call> &lane, bool open) {
        if (open && !lane.empty() && lane.begin()->first > now &&
            (next < 0 || lane.begin()->first < next))
            next = lane.begin()->first;
    };
    consider(m_due, m_questions < MaxQuestions);
    consider(m_dueLater, m_questions < MaxQuestions && m_laterQuestions < MaxLaterQuestions);
    if (next >= 0)
        m_dueTimer.start(int(next - now));
}

bool ThreadDirectory::askWaitingOwners(int budget)
{
    for (int made = 0;
         made < budget && !m_waitingOwners.empty() && m_ownerQuestions < MaxOwnerQuestions;
         ++made) {
        const Call call = m_waitingOwners.front();
        m_waitingOwners.pop_front();
        askOwner(call);
    }
    return m_waitingOwners.empty();
}

bool ThreadDirectory::takeLikelyFirst(const Call &call)
{
    const auto it = m_windows.constFind(call.handle);
    if (it == m_windows.cend() || namesOf(it->owner) <= 1) {
        m_pendingLater.remove(call.handle);
        return true;
    }
    m_dueLater.emplace(m_clock.elapsed(), call);
    if (!m_pendingLater.contains(call.handle) && m_pending.contains(call.handle)) {
        m_pendingLater.insert(call.handle);
        if (!captionsPending())
            emit captionsSettled();
    }
    return false;
}

void ThreadDirectory::askOwner(const Call &call)
{
    // The bus names the owner, which senders are checked against; then the
    // window itself gives its caption.
    const auto done = [this, call](sd_bus_message *reply) {
        const char *owner = nullptr;
        if (!reply || sd_bus_message_is_method_error(reply, nullptr) ||
            sd_bus_message_read(reply, "s", &owner) < 0) {
            settle(call.handle);
            if (call.loading) {
                ownerKnown(call.handle);
                loaded(); // gone again
            }
            return;
        }
        if (!m_windows.contains(call.handle))
            addWindow(call.handle, QString::fromUtf8(owner));
        schedule({call.handle, 0, call.loading}, 0);
        if (call.loading)
            ownerKnown(call.handle);
    };
    if (ask("GetNameOwner", serviceForHandle(call.handle), DescribeTimeoutMs, m_calls,
            [this, done](sd_bus_message *reply) {
                --m_ownerQuestions;
                answered();
                done(reply);
            })) {
        ++m_ownerQuestions;
        return;
    }
    QMetaObject::invokeMethod(
        m_calls, [done] { done(nullptr); }, Qt::QueuedConnection);
}

void ThreadDirectory::loaded()
{
    if (--m_loading > 0)
        return;
    qCDebug(lcInterProc) << "directory loaded:" << m_windows.size() << "windows";
    becomeLoaded();
}

void ThreadDirectory::ownerKnown(qint32 handle)
{
    m_ownersUnknown.remove(handle);
    if (--m_ownersLoading == 0 && m_listedLongAgo)
        becomeLoaded();
}

void ThreadDirectory::becomeLoaded()
{
    if (m_loaded)
        return;
    m_loaded = true;
    qCDebug(lcInterProc) << "directory ready:" << m_windows.size() << "windows," << m_ownersLoading
                         << "names whose owner is not known yet";
    // A view may detach itself from its handler: go through a copy.
    const QSet<qint32> seen = m_seen;
    for (const qint32 handle : seen) {
        // A copy: the endpoint may detach itself from it.
        if (const std::function<void()> caughtUp = m_local.value(handle))
            caughtUp();
    }
}

void ThreadDirectory::settle(qint32 handle)
{
    const bool later = m_pendingLater.remove(handle);
    if (m_pending.remove(handle) && !later && !captionsPending())
        emit captionsSettled();
}

QList<PartyInfo> ThreadDirectory::match(qint32 method, const QVariant &target) const
{
    QList<PartyInfo> found;
    switch (method) {
    case SearchMethod::ExactCaption:
    case SearchMethod::CaptionPrefix: {
        const QString text = target.toString();
        for (const PartyInfo &window : m_windows) {
            if (!window.captionKnown)
                continue;
            if (method == SearchMethod::ExactCaption ? window.caption == text
                                                     : window.caption.startsWith(text))
                found.append(window);
        }
        break;
    }
    case SearchMethod::WindowHandle: {
        bool ok = false;
        const qint32 handle = target.toInt(&ok);
        const auto window = ok ? m_windows.constFind(handle) : m_windows.cend();
        if (window != m_windows.cend())
            found.append(*window);
        break;
    }
    default:
        break;
    }
    return found;
}

int ThreadDirectory::namesOf(const QString &owner) const
{
    return m_namesPerOwner.value(owner);
}

void ThreadDirectory::removeWindow(qint32 handle)
{
    const QString owner = m_windows.take(handle).owner;
    settle(handle);
    auto it = m_namesPerOwner.find(owner);
    if (it != m_namesPerOwner.end() && --*it <= 0) {
        m_firstNameOf.remove(it.key());
        m_namesPerOwner.erase(it);
    }
}

QString ThreadDirectory::ownerOf(qint32 handle) const
{
    return m_windows.value(handle).owner;
}

void ThreadDirectory::addWindow(qint32 handle, const QString &owner)
{
    PartyInfo &window = m_windows[handle];
    if (window.handle == handle && window.owner == owner)
        return;
    if (window.handle == handle) {
        auto it = m_namesPerOwner.find(window.owner);
        if (it != m_namesPerOwner.end() && --*it <= 0) {
            m_firstNameOf.remove(it.key());
            m_namesPerOwner.erase(it);
        }
    }
    window = PartyInfo{};
    window.handle = handle;
    window.owner = owner;
    const int names = ++m_namesPerOwner[owner];
    if (names == 1) {
        m_firstNameOf.insert(owner, handle);
    } else if (names == 2) {
        // The connection is no endpoint: its first name, perhaps asked
        // already, is held for by no send either.
        const qint32 first = m_firstNameOf.take(owner);
        if (m_pending.contains(first) && !m_pendingLater.contains(first)) {
            m_pendingLater.insert(first);
            if (!captionsPending())
                emit captionsSettled();
        }
    }
}

int ThreadDirectory::onNameOwnerChanged(sd_bus_message *m, void *userdata, sd_bus_error *)
{
    auto *self = static_cast<ThreadDirectory *>(userdata);
    const char *service = nullptr;
    const char *oldOwner = nullptr;
    const char *newOwner = nullptr;
    if (sd_bus_message_read(m, "sss", &service, &oldOwner, &newOwner) < 0)
        return 0;
    const qint32 desk = handleFromCaptionService(QString::fromUtf8(service));
    if (desk > 0) {
        if (newOwner && *newOwner)
            self->m_desks.insert(desk);
        else
            self->m_desks.remove(desk);
        return 0;
    }
    const qint32 handle = handleFromService(QString::fromUtf8(service));
    if (handle <= 0)
        return 0;
    // What this thread's endpoints entered themselves stands.
    if (self->m_local.contains(handle)) {
        if (newOwner && self->ownerOf(handle) == QLatin1String(newOwner))
            self->seen(handle);
        return 0;
    }
    // The bus has now told this name's owner, or that it has none.
    self->m_ownersUnknown.remove(handle);
    if (!newOwner || !*newOwner) {
        const QString owner = self->m_windows.value(handle).owner;
        self->removeWindow(handle);
        qCDebug(lcInterProc) << "window" << handle << "left";
        emit self->windowLeft(owner);
        return 0;
    }
    // A new window announces its caption with CaptionChanged right after
    // taking its name; the signal follows this one.
    self->addWindow(handle, QString::fromUtf8(newOwner));
    qCDebug(lcInterProc) << "window" << handle << "joined as" << newOwner;
    return 0;
}

int ThreadDirectory::onCaptionChanged(sd_bus_message *m, void *userdata, sd_bus_error *)
{
    auto *self = static_cast<ThreadDirectory *>(userdata);
    qint32 handle = 0;
    const char *caption = nullptr;
    // The caption is read (its UTF-8 checked by sd-bus) only from the
    // window's owner.
    if (sd_bus_message_read(m, "i", &handle) < 0)
        return 0;
    if (self->m_local.contains(handle))
        return 0;
    auto it = self->m_windows.find(handle);
    // Only the owner of a window may rename it.
    const char *sender = sd_bus_message_get_sender(m);
    if (it == self->m_windows.end() || !sender || it->owner != QLatin1String(sender))
        return 0;
    // A caption far too long is refused by its size, before sd-bus reads it.
    if (const std::optional<quint64> bytes = ReceivedBody::stringAfterInt(m);
        bytes && !ForeignText::acceptCaptionSize(handle, *bytes))
        return 0;
    if (sd_bus_message_read(m, "s", &caption) < 0)
        return 0;
    std::optional<QString> text = ForeignText::captionFromBus(handle, caption);
    if (!text)
        return 0;
    it->caption = std::move(*text);
    it->captionKnown = true;
    self->settle(handle);
    return 0;
}

void ThreadDirectory::describe(const Call &call, bool later)
{
    auto it = m_windows.constFind(call.handle);
    if (it == m_windows.cend() || it->captionKnown) {
        settle(call.handle);
        if (call.loading)
            loaded();
        return;
    }
    const QString owner = it->owner;
    const auto done = [this, call, owner](sd_bus_message *reply) {
        bool askAgain = false;
        auto it = m_windows.find(call.handle);
        if (it != m_windows.end() && it->owner == owner && !it->captionKnown) {
            qint32 handle = 0;
            const char *caption = nullptr;
            if (reply && !sd_bus_message_is_method_error(reply, nullptr) &&
                sd_bus_message_read(reply, "i", &handle) >= 0 && handle == call.handle) {
                // A caption refused once is not asked for again; one far too
                // long is refused by its size, before sd-bus reads it.
                const std::optional<quint64> bytes = ReceivedBody::stringAfterInt(reply);
                std::optional<QString> text;
                if ((!bytes || ForeignText::acceptCaptionSize(handle, *bytes)) &&
                    sd_bus_message_read(reply, "s", &caption) >= 0)
                    text = ForeignText::captionFromBus(handle, caption);
                if (text) {
                    it->caption = std::move(*text);
                    it->captionKnown = true;
                }
            } else if (call.attempt + 1 < DescribeAttempts && namesOf(owner) == 1) {
                qCDebug(lcInterProc)
                    << "window" << call.handle << "did not describe itself:"
                    << ForeignText::bounded(reply ? Bus::errorMessage(reply) : QString(),
                                            ForeignText::MaxErrorPartLength);
                askAgain = true;
                schedule({call.handle, call.attempt + 1, false}, qint64(m_retryFirstMs)
                                                                     << call.attempt);
            } else {
                qCDebug(lcInterProc) << "window" << call.handle << "did not describe "
                                     << "itself; it stays unnamed until it announces a caption";
            }
        }
        if (!askAgain)
            settle(call.handle);
        if (call.loading)
            loaded();
    };
    ++m_questions;
    if (later)
        ++m_laterQuestions;
    const auto answer = [this, done, later](sd_bus_message *reply) {
        --m_questions;
        if (later)
            --m_laterQuestions;
        answered();
        done(reply);
    };
    if (m_desks.contains(call.handle))
        askDesk(call.handle, owner, answer);
    else
        askToDescribe(owner, answer);
}

void ThreadDirectory::askToDescribe(const QString &destination,
                                    const std::function<void(sd_bus_message *)> &done)
{
    const BusMessage message = m_bus->newCall(destination.toUtf8().constData(), "Describe");
    if (!message || !m_bus->call(message.get(), DescribeTimeoutMs, m_calls, done))
        QMetaObject::invokeMethod(
            m_calls, [done] { done(nullptr); }, Qt::QueuedConnection);
}

void ThreadDirectory::askDesk(qint32 handle, const QString &owner,
                              const std::function<void(sd_bus_message *)> &done)
{
    // The desk is believed only when the bus daemon names one process as the
    // owner of both names; otherwise (or when the daemon does not say) the
    // window itself is asked, behind whatever else it has to read.
    const auto fallBack = [this, handle, owner, done] {
        m_desks.remove(handle);
        askToDescribe(owner, done);
    };
    const auto processOf = [this](const QString &name, std::function<void(quint32)> then) {
        const bool asked = ask("GetConnectionUnixProcessID", name, DescribeTimeoutMs, m_calls,
                               [then](sd_bus_message *reply) {
                                   quint32 pid = 0;
                                   if (!reply || sd_bus_message_is_method_error(reply, nullptr) ||
                                       sd_bus_message_read(reply, "u", &pid) < 0)
                                       pid = 0;
                                   then(pid);
                               });
        if (!asked)
            QMetaObject::invokeMethod(
                m_calls, [then] { then(0); }, Qt::QueuedConnection);
    };
    const bool asked = ask(
        "GetNameOwner", captionServiceForHandle(handle), DescribeTimeoutMs, m_calls,
        [this, handle, owner, done, fallBack, processOf](sd_bus_message *reply) {
            const char *name = nullptr;
            if (!reply || sd_bus_message_is_method_error(reply, nullptr) ||
                sd_bus_message_read(reply, "s", &name) < 0 || !name || !*name)
                return fallBack();
            const QString desk = QString::fromUtf8(name);
            processOf(owner, [this, handle, desk, done, fallBack, processOf](quint32 ownerPid) {
                processOf(desk, [this, handle, desk, done, fallBack, ownerPid](quint32 deskPid) {
                    if (ownerPid == 0 || deskPid != ownerPid) {
                        qCDebug(lcInterProc)
                            << "window" << handle << "has a caption desk of another process";
                        return fallBack();
                    }
                    // A desk answers for each endpoint of its process by
                    // the name it was asked by; the answer counts only from
                    // the connection whose process was checked.
                    askToDescribe(captionServiceForHandle(handle),
                                  [desk, done, fallBack](sd_bus_message *reply) {
                                      const char *sender =
                                          reply ? sd_bus_message_get_sender(reply) : nullptr;
                                      if (reply && (!sender || desk != QLatin1String(sender)))
                                          return fallBack();
                                      done(reply);
                                  });
                });
            });
        });
    if (!asked)
        fallBack();
}
