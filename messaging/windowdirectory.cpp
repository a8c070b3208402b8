#include "windowdirectory.h"

#include "buscontract.h"
#include "interproc.h"
#include "interproc_proxy.h"
#include "interproclogging.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QPointer>
#include <QTimer>

using namespace BusContract;

namespace {
// A window that does not describe itself in time is asked again this often.
constexpr int DescribeAttempts = 3;
constexpr int DescribeRetryDelayMs = 1000;
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

    const QDBusReply<QStringList> names = m_connection.interface()->registeredServiceNames();
    if (!names.isValid()) {
        qCWarning(lcInterProc) << "cannot list bus names:" << names.error().message();
        return;
    }

    // Ask for every owner, then every caption, all at once, and wait for the
    // answers: a window that is slow to answer costs the bounded timeout once.
    QList<std::pair<qint32, QDBusPendingCall>> owners;
    for (const QString &name : names.value()) {
        const qint32 handle = handleFromService(name);
        if (handle > 0 && handle != ownHandle) {
            QDBusMessage call = QDBusMessage::createMethodCall(
                QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetNameOwner"));
            call << name;
            owners.append({handle, m_connection.asyncCall(call, DescribeTimeoutMs)});
        }
    }
    for (auto &[handle, pending] : owners) {
        pending.waitForFinished();
        QDBusPendingReply<QString> owner = pending;
        if (owner.isValid())
            addWindow(handle, owner.value());
    }

    QList<std::pair<qint32, QDBusPendingCall>> captions;
    for (const WindowInfo &window : std::as_const(m_windows)) {
        if (window.handle == ownHandle)
            continue;
        QDBusMessage call =
            QDBusMessage::createMethodCall(window.owner, QLatin1String(ObjectPath),
                                           QLatin1String(Interface), QStringLiteral("Describe"));
        captions.append({window.handle, m_connection.asyncCall(call, DescribeTimeoutMs)});
    }
    for (auto &[handle, pending] : captions) {
        pending.waitForFinished();
        QDBusPendingReply<int, QString> reply = pending;
        auto it = m_windows.find(handle);
        if (it == m_windows.end())
            continue;
        if (reply.isValid() && reply.argumentAt<0>() == handle) {
            it->caption = reply.argumentAt<1>();
            it->captionKnown = true;
        } else {
            qCDebug(lcInterProc) << "window" << handle
                                 << "did not describe itself:" << reply.error().message();
            QTimer::singleShot(DescribeRetryDelayMs, this, [this, handle] { describe(handle, 1); });
        }
    }
    qCDebug(lcInterProc) << "directory loaded:" << m_windows.size() << "windows";
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
    case InterProc::ExactCaption:
    case InterProc::CaptionPrefix: {
        const QString text = target.toString();
        for (const WindowInfo &window : m_windows) {
            if (!window.captionKnown)
                continue;
            if (method == InterProc::ExactCaption ? window.caption == text
                                                  : window.caption.startsWith(text))
                found.append(window);
        }
        break;
    }
    case InterProc::WindowHandle: {
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

void WindowDirectory::describe(qint32 handle, int attempt)
{
    auto it = m_windows.constFind(handle);
    if (it == m_windows.cend() || it->captionKnown)
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(
        it->owner, QLatin1String(ObjectPath), QLatin1String(Interface), QStringLiteral("Describe"));
    auto *watcher =
        new QDBusPendingCallWatcher(m_connection.asyncCall(call, DeliveryTimeoutMs), this);
    const QString owner = it->owner;
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, handle, owner, attempt](QDBusPendingCallWatcher *w) {
                w->deleteLater();
                QDBusPendingReply<int, QString> reply = *w;
                auto it = m_windows.find(handle);
                if (it == m_windows.end() || it->owner != owner || it->captionKnown)
                    return;
                if (reply.isValid()) {
                    it->caption = reply.argumentAt<1>();
                    it->captionKnown = true;
                } else if (attempt + 1 < DescribeAttempts) {
                    QTimer::singleShot(DescribeRetryDelayMs, this,
                                       [this, handle, attempt] { describe(handle, attempt + 1); });
                }
            });
}
