// What an instance knows of every window on the bus that hosts an instance:
// its handle, the connection that owns it, and its caption. Kept current
// from the bus's name-owner changes and the windows' CaptionChanged signals,
// so that Send can choose its addressees without asking anybody.
#pragma once

#include <QDBusConnection>
#include <QElapsedTimer>
#include <QMap>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariant>

#include <functional>
#include <map>

class QDBusMessage;
class QDBusServiceWatcher;

struct WindowInfo
{
    qint32 handle = 0;
    QString owner;   // unique bus name of the owning connection
    QString caption; // empty until known
    bool captionKnown = false;
};

class WindowDirectory : public QObject
{
    Q_OBJECT

public:
    WindowDirectory(const QDBusConnection &connection, QObject *parent);
    ~WindowDirectory() override;

    // Subscribes to changes, then loads the windows already on the bus in
    // the background; ready() follows once every window described itself or
    // failed to, at most ReadyWithinMs after the bus listed the names.
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
    // A window's name has left the bus; owner is the connection that had it.
    void windowLeft(const QString &owner);

private slots:
    void onServiceOwnerChanged(const QString &service, const QString &oldOwner,
                               const QString &newOwner);
    void onCaptionChanged(int handle, const QString &caption, const QDBusMessage &message);

private:
    // A call to make once it is due: the owner of a window's name (attempt
    // -1), then the window's description.
    struct Call
    {
        qint32 handle = 0;
        int attempt = 0;
        bool loading = false; // the first load of a window already on the bus
    };

    void addWindow(qint32 handle, const QString &owner);
    void schedule(const Call &call, qint64 delayMs);
    void makeDueCalls();
    void askOwner(const Call &call);
    void describe(const Call &call);
    void loaded();
    void becomeReady();
    void callBus(const QString &method, const QVariantList &args,
                 std::function<void(const QDBusMessage &)> done);

    QDBusConnection m_connection;
    QDBusServiceWatcher *m_watcher = nullptr;
    qint32 m_ownHandle = 0;
    int m_loading = 0;
    bool m_ready = false;
    QMap<qint32, WindowInfo> m_windows;

    // Calls by the time (on m_clock, in ms) they are due; the timer wakes
    // for the first, but not before m_nextPass.
    std::multimap<qint64, Call> m_due;
    QElapsedTimer m_clock;
    QTimer m_dueTimer;
    qint64 m_nextPass = 0;
};
