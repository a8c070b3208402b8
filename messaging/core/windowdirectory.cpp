#include "windowdirectory.h"

#include "buscontract.h"
#include "foreigntext.h"
#include "interprocendpoint.h"
#include "interproclogging.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QTimer>

#include <algorithm>
#include <functional>

using namespace BusContract;

namespace {
// A window that does not describe itself (busy, frozen, or a name that some
// other program took) is asked again after a delay that doubles, a bounded
// number of times; after that it is known by its handle only, until it
// announces its caption itself.
constexpr int DescribeAttempts = 5;
constexpr int DescribeRetryFirstMs = 500;
// How long a new instance, once it knows the names on the bus, waits for
// their windows to describe themselves before it sends; windows that
// describe themselves later are addressed from then on.
constexpr int ReadyWithinMs = 250;
// At most so many calls in a pass, and passes that many ms apart: thousands
// of names on the bus, and their answers, must not keep the window from its
// events.
constexpr int CallsPerPass = 32;
constexpr int PassIntervalMs = 10;
} // namespace

WindowDirectory::WindowDirectory(const QDBusConnection &connection, QObject *parent)
    : QObject(parent), m_connection(connection)
{
    m_clock.start();
    m_dueTimer.setSingleShot(true);
    connect(&m_dueTimer, &QTimer::timeout, this, &WindowDirectory::makeDueCalls);
}

WindowDirectory::~WindowDirectory() = default;

void WindowDirectory::start(qint32 ownHandle, const QString &ownCaption)
{
    m_ownHandle = ownHandle;

    // Subscribe before listing, so that no change falls between the two.
    m_watcher =
        new QDBusServiceWatcher(QLatin1String(ServiceNamespace) + QLatin1Char('*'), m_connection,
                                QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            &WindowDirectory::onServiceOwnerChanged);
    m_connection.connect(QString(), QLatin1String(ObjectPath), QLatin1String(Interface),
                         QStringLiteral("CaptionChanged"), this,
                         SLOT(onCaptionChanged(int, QString, QDBusMessage)));

    addWindow(ownHandle, m_connection.baseService());
    setOwnCaption(ownCaption);

    // Everything below is asynchronous: windows starting at the same moment
    // ask each other for their captions, and each must stay free to answer.
    m_loading = 1;
    callBus(QStringLiteral("ListNames"), {}, [this](const QDBusMessage &reply) {
        QTimer::singleShot(ReadyWithinMs, this, &WindowDirectory::becomeReady);
        if (reply.type() == QDBusMessage::ReplyMessage) {
            for (const QString &name : reply.arguments().value(0).toStringList()) {
                const qint32 handle = handleFromService(name);
                if (handle > 0 && handle != m_ownHandle) {
                    ++m_loading;
                    schedule({handle, -1, true}, 0);
                }
            }
        } else {
            qCWarning(lcInterProc) << "cannot list bus names:" << reply.errorMessage();
        }
        loaded();
    });
}

void WindowDirectory::callBus(const QString &method, const QVariantList &args,
                              std::function<void(const QDBusMessage &)> done)
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), method);
    call.setArguments(args);
    auto *watcher =
        new QDBusPendingCallWatcher(m_connection.asyncCall(call, DescribeTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [done = std::move(done)](QDBusPendingCallWatcher *w) {
                w->deleteLater();
                done(w->reply());
            });
}

void WindowDirectory::schedule(const Call &call, qint64 delayMs)
{
    const qint64 now = m_clock.elapsed();
    m_due.emplace(now + delayMs, call);
    const qint64 wake = std::max(now + delayMs, m_nextPass) - now;
    if (!m_dueTimer.isActive() || m_dueTimer.remainingTime() > wake)
        m_dueTimer.start(int(wake));
}

void WindowDirectory::makeDueCalls()
{
    const qint64 now = m_clock.elapsed();
    if (now < m_nextPass) {
        m_dueTimer.start(int(m_nextPass - now));
        return;
    }
    for (int made = 0; !m_due.empty() && m_due.begin()->first <= now; ++made) {
        if (made == CallsPerPass) {
            m_nextPass = now + PassIntervalMs;
            m_dueTimer.start(PassIntervalMs);
            return;
        }
        const Call call = m_due.begin()->second;
        m_due.erase(m_due.begin());
        if (call.attempt < 0)
            askOwner(call);
        else
            describe(call);
    }
    if (!m_due.empty())
        m_dueTimer.start(int(m_due.begin()->first - now));
}

void WindowDirectory::askOwner(const Call &call)
{
    // The bus names the owner, which senders are checked against; then the
    // window itself gives its caption.
    callBus(QStringLiteral("GetNameOwner"), {serviceForHandle(call.handle)},
            [this, call](const QDBusMessage &reply) {
                if (reply.type() != QDBusMessage::ReplyMessage) {
                    if (call.loading)
                        loaded(); // gone again
                    return;
                }
                if (!m_windows.contains(call.handle))
                    addWindow(call.handle, reply.arguments().value(0).toString());
                schedule({call.handle, 0, call.loading}, 0);
            });
}

void WindowDirectory::loaded()
{
    if (--m_loading > 0)
        return;
    qCDebug(lcInterProc) << "directory loaded:" << m_windows.size() << "windows";
    becomeReady();
}

void WindowDirectory::becomeReady()
{
    if (m_ready)
        return;
    m_ready = true;
    emit ready();
}

void WindowDirectory::setOwnCaption(const QString &caption)
{
    auto it = m_windows.find(m_ownHandle);
    if (it != m_windows.end()) {
        it->caption = caption;
        it->captionKnown = true;
    }
}

QList<WindowInfo> WindowDirectory::match(qint32 method, const QVariant &target) const
{
    QList<WindowInfo> found;
    switch (method) {
    case InterProcEndpoint::ExactCaption:
    case InterProcEndpoint::CaptionPrefix: {
        const QString text = target.toString();
        for (const WindowInfo &window : m_windows) {
            if (!window.captionKnown)
                continue;
            if (method == InterProcEndpoint::ExactCaption ? window.caption == text
                                                          : window.caption.startsWith(text))
                found.append(window);
        }
        break;
    }
    case InterProcEndpoint::WindowHandle: {
        bool ok = false;
        const qint32 handle = target.toInt(&ok);
        if (ok && m_windows.contains(handle))
            found.append(m_windows.value(handle));
        break;
    }
    default:
        break;
    }
    return found;
}

QString WindowDirectory::ownerOf(qint32 handle) const
{
    return m_windows.value(handle).owner;
}

void WindowDirectory::addWindow(qint32 handle, const QString &owner)
{
    WindowInfo &window = m_windows[handle];
    if (window.handle == handle && window.owner == owner)
        return;
    window = WindowInfo{};
    window.handle = handle;
    window.owner = owner;
}

void WindowDirectory::onServiceOwnerChanged(const QString &service, const QString &,
                                            const QString &newOwner)
{
    const qint32 handle = handleFromService(service);
    if (handle <= 0 || handle == m_ownHandle)
        return;
    if (newOwner.isEmpty()) {
        const QString owner = m_windows.take(handle).owner;
        emit windowLeft(owner);
        qCDebug(lcInterProc) << "window" << handle << "left";
        return;
    }
    // A new window announces its caption with CaptionChanged right after
    // taking its name; the signal follows this one.
    addWindow(handle, newOwner);
    qCDebug(lcInterProc) << "window" << handle << "joined as" << newOwner;
}

void WindowDirectory::onCaptionChanged(int handle, const QString &caption,
                                       const QDBusMessage &message)
{
    auto it = m_windows.find(handle);
    // Only the owner of a window may rename it.
    if (it == m_windows.end() || it->owner != message.service() ||
        !ForeignText::acceptCaption(handle, caption))
        return;
    it->caption = caption;
    it->captionKnown = true;
}

void WindowDirectory::describe(const Call &call)
{
    auto it = m_windows.constFind(call.handle);
    if (it == m_windows.cend() || it->captionKnown) {
        if (call.loading)
            loaded();
        return;
    }
    QDBusMessage message = QDBusMessage::createMethodCall(
        it->owner, QLatin1String(ObjectPath), QLatin1String(Interface), QStringLiteral("Describe"));
    auto *watcher =
        new QDBusPendingCallWatcher(m_connection.asyncCall(message, DescribeTimeoutMs), this);
    const QString owner = it->owner;
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, call, owner](QDBusPendingCallWatcher *w) {
                w->deleteLater();
                QDBusPendingReply<int, QString> reply = *w;
                auto it = m_windows.find(call.handle);
                if (it != m_windows.end() && it->owner == owner && !it->captionKnown) {
                    if (reply.isValid() && reply.argumentAt<0>() == call.handle) {
                        // A caption refused once is not asked for again.
                        if (ForeignText::acceptCaption(call.handle, reply.argumentAt<1>())) {
                            it->caption = reply.argumentAt<1>();
                            it->captionKnown = true;
                        }
                    } else if (call.attempt + 1 < DescribeAttempts) {
                        qCDebug(lcInterProc)
                            << "window" << call.handle << "did not describe itself:"
                            << ForeignText::bounded(reply.error().message(),
                                                    ForeignText::MaxErrorPartLength);
                        schedule({call.handle, call.attempt + 1, false},
                                 qint64(DescribeRetryFirstMs) << call.attempt);
                    } else {
                        qCDebug(lcInterProc)
                            << "window" << call.handle << "did not describe "
                            << "itself; it stays unnamed until it announces a caption";
                    }
                }
                if (call.loading)
                    loaded();
            });
}
