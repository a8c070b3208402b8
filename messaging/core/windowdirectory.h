// What an instance knows of every window on the bus that hosts an instance:
// its handle, the connection that owns it, and its caption. Kept current
// from the bus's name-owner changes and the windows' CaptionChanged signals,
// so that Send can choose its addressees without asking anybody.
#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>
#include <QVariant>

#include <functional>
#include <map>

#include <systemd/sd-bus.h>

class BusConnection;

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
    explicit WindowDirectory(BusConnection *bus, QObject *parent);
    ~WindowDirectory() override;

    // Subscribes to changes, then loads the windows already on the bus in
    // the background; ready() follows once every window described itself or
    // failed to, at most ReadyWithinMs after the bus listed the names.
    void start(qint32 ownHandle, const QString &ownCaption);
    bool isReady() const { return m_ready; }
    // Whether windows are still being asked for a caption they have not
    // told yet; captionsSettled() follows once none is.
    bool captionsPending() const { return !m_pending.isEmpty(); }
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
    void captionsSettled();
    // A window's name has left the bus; owner is the connection that had it.
    void windowLeft(const QString &owner);

private:
    static int onNameOwnerChanged(sd_bus_message *m, void *userdata, sd_bus_error *error);
    static int onCaptionChanged(sd_bus_message *m, void *userdata, sd_bus_error *error);

    // A call to make once it is due: the owner of a window's name (attempt
    // -1), then the window's description.
    struct Call
    {
        qint32 handle = 0;
        int attempt = 0;
        bool loading = false; // the first load of a window already on the bus
    };

    void addWindow(qint32 handle, const QString &owner);
    void removeWindow(qint32 handle);
    // How many window names the connection owns. An endpoint owns one; a
    // connection with several is no endpoint and is asked once a name.
    int namesOf(const QString &owner) const;
    void schedule(const Call &call, qint64 delayMs);
    void makeDueCalls();
    void askOwner(const Call &call);
    void describe(const Call &call);
    void loaded();
    void becomeReady();
    // A question to the bus daemon with one string argument (or none);
    // done gets the reply, or null when it could not be asked.
    void ask(const char *method, const QString &argument,
             std::function<void(sd_bus_message *)> done);
    void answered();
    // The window's caption is known, or no longer asked for.
    void settle(qint32 handle);

    BusConnection *m_bus;
    sd_bus_slot *m_ownerMatch = nullptr;
    sd_bus_slot *m_captionMatch = nullptr;
    // Questions (to the daemon or to windows) whose answer is still to
    // come; at most MaxQuestions, so that the endpoint's own calls always
    // have room under the bus's limit of pending replies.
    int m_questions = 0;
    qint32 m_ownHandle = 0;
    int m_loading = 0;
    bool m_ready = false;
    QMap<qint32, WindowInfo> m_windows;
    QHash<QString, int> m_namesPerOwner;
    QSet<qint32> m_pending; // windows with a question about their caption due or on its way

    // Calls by the time (on m_clock, in ms) they are due; the timer wakes
    // for the first, but not before m_nextPass.
    std::multimap<qint64, Call> m_due;
    QElapsedTimer m_clock;
    QTimer m_dueTimer;
    qint64 m_nextPass = 0;
};
