#include "windowdirectory.h"

#include "buscontract.h"
#include "interproc_proxy.h"
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
// A window that does not describe itself in time (busy or frozen) is asked
// again after a delay that doubles up to a limit, for as long as it exists.
constexpr int DescribeRetryFirstMs = 500;
constexpr int DescribeRetryMaxMs = 30000;
} // namespace

WindowDirectory::WindowDirectory(const QDBusConnection &connection, QObject *parent)
    : QObject(parent), m_connection(connection)
{}

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
        if (reply.type() == QDBusMessage::ReplyMessage) {
            for (const QString &name : reply.arguments().value(0).toStringList()) {
                const qint32 handle = handleFromService(name);
                if (handle > 0 && handle != m_ownHandle)
                    load(handle, name);
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

void WindowDirectory::load(qint32 handle, const QString &service)
{
    // The bus names the owner, which senders are checked against; then the
    // window itself gives its caption.
    ++m_loading;
    callBus(QStringLiteral("GetNameOwner"), {service}, [this, handle](const QDBusMessage &reply) {
        if (reply.type() != QDBusMessage::ReplyMessage) {
            loaded(); // gone again
            return;
        }
        const QString owner = reply.arguments().value(0).toString();
        if (!m_windows.contains(handle))
            addWindow(handle, owner);
        describe(handle, 0, [this] { loaded(); });
    });
}

void WindowDirectory::loaded()
{
    if (--m_loading > 0)
        return;
    qCDebug(lcInterProc) << "directory loaded:" << m_windows.size() << "windows";
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
    if (window.owner == owner && window.proxy)
        return;
    window = WindowInfo{};
    window.handle = handle;
    window.owner = owner;
    window.proxy = std::make_shared<InterProcProxy>(owner, QLatin1String(ObjectPath), m_connection);
    window.proxy->setTimeout(DeliveryTimeoutMs);
}

void WindowDirectory::onServiceOwnerChanged(const QString &service, const QString &,
                                            const QString &newOwner)
{
    const qint32 handle = handleFromService(service);
    if (handle <= 0 || handle == m_ownHandle)
        return;
    if (newOwner.isEmpty()) {
        m_windows.remove(handle);
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
    if (it == m_windows.end() || it->owner != message.service())
        return;
    it->caption = caption;
    it->captionKnown = true;
}

void WindowDirectory::describe(qint32 handle, int attempt, std::function<void()> done)
{
    auto it = m_windows.constFind(handle);
    if (it == m_windows.cend() || it->captionKnown) {
        if (done)
            done();
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        it->owner, QLatin1String(ObjectPath), QLatin1String(Interface), QStringLiteral("Describe"));
    auto *watcher =
        new QDBusPendingCallWatcher(m_connection.asyncCall(call, DescribeTimeoutMs), this);
    const QString owner = it->owner;
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, handle, owner, attempt, done = std::move(done)](QDBusPendingCallWatcher *w) {
                w->deleteLater();
                QDBusPendingReply<int, QString> reply = *w;
                auto it = m_windows.find(handle);
                if (it != m_windows.end() && it->owner == owner && !it->captionKnown) {
                    if (reply.isValid() && reply.argumentAt<0>() == handle) {
                        it->caption = reply.argumentAt<1>();
                        it->captionKnown = true;
                    } else {
                        qCDebug(lcInterProc)
                            << "window" << handle
                            << "did not describe itself:" << reply.error().message();
                        const int delay = std::min(DescribeRetryMaxMs,
                                                   DescribeRetryFirstMs << std::min(attempt, 6));
                        QTimer::singleShot(delay, this, [this, handle, attempt] {
                            describe(handle, attempt + 1, {});
                        });
                    }
                }
                if (done)
                    done();
            });
}
