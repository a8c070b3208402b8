// What an instance knows of every window on the bus that hosts an instance:
// its handle, the connection that owns it, and its caption. Kept current
// from the bus's name-owner changes and the windows' CaptionChanged signals,
// so that Send can choose its addressees without asking anybody.
#pragma once

#include <QDBusConnection>
#include <QMap>
#include <QObject>
#include <QString>
#include <QVariant>

#include <functional>
#include <memory>

class InterProcProxy;
class QDBusMessage;
class QDBusServiceWatcher;

struct WindowInfo
{
    qint32 handle = 0;
    QString owner;   // unique bus name of the owning connection
    QString caption; // empty until known
    bool captionKnown = false;
    std::shared_ptr<InterProcProxy> proxy;
};

class WindowDirectory : public QObject
{
    Q_OBJECT

public:
    WindowDirectory(const QDBusConnection &connection, QObject *parent);
    ~WindowDirectory() override;

    // Subscribes to changes, then loads the windows already on the bus in
    // the background; ready() follows once every window described itself or
    // failed to within a bounded time.
    void start(qint32 ownHandle, const QString &ownCaption);
    bool isReady() const { return m_ready; }
    void setOwnCaption(const QString &caption);

    // The windows that Target and TargetSearchMethod address, by handle.
    // An unknown method addresses none.
    QList<WindowInfo> match(qint32 method, const QVariant &target) const;
    // Every window known, this instance's own included, by handle.
    const QMap<qint32, WindowInfo> &windows() const { return m_windows; }
    // Unique name of the connection that owns the window, or empty.
    QString ownerOf(qint32 handle) const;

signals:
    void ready();

private slots:
    void onServiceOwnerChanged(const QString &service, const QString &oldOwner,
                               const QString &newOwner);
    void onCaptionChanged(int handle, const QString &caption, const QDBusMessage &message);

private:
    void addWindow(qint32 handle, const QString &owner);
    void load(qint32 handle, const QString &service);
    void loaded();
    void describe(qint32 handle, int attempt, std::function<void()> done);
    void callBus(const QString &method, const QVariantList &args,
                 std::function<void(const QDBusMessage &)> done);

    QDBusConnection m_connection;
    QDBusServiceWatcher *m_watcher = nullptr;
    qint32 m_ownHandle = 0;
    int m_loading = 0;
    bool m_ready = false;
    QMap<qint32, WindowInfo> m_windows;
};
