// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The per-thread directory: what the endpoints of one thread know of every
// party on the bus (a window name that an endpoint owns): its handle, the
// connection that owns it, and its caption. One directory serves every endpoint of a thread on the
// same bus, over a bus connection of its own: it follows the bus's name-owner changes and the
// windows' CaptionChanged signals once, and asks each window that was there before it for its
// caption once, however many endpoints the thread hosts. Its questions go out on its own
// connection, so they never take room from an endpoint's sends under the bus's limit of pending
// replies. The thread's own endpoints are entered by themselves (attach);
// what they tell is never overwritten by the bus.
#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QTimer>
#include <QVariant>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include <systemd/sd-bus.h>

class BusConnection;

struct PartyInfo
{
    qint32 handle = 0;
    QString owner;   // unique bus name of the owning connection
    QString caption; // empty until known
    bool captionKnown = false;
    // What the window takes beyond the original contract (its answer to
    // Features): asked the first time a large text or a burst of payloads
    // goes to it, and forgotten with the owner.
    enum Offer : quint8 { OffersSealedUtf16 = 1, OffersBatch = 2 };
    bool offersKnown = false;
    quint8 offers = 0;
};

class ThreadDirectory : public QObject
{
    Q_OBJECT

public:
    // The directory of this thread's endpoints on the session bus, made
    // (and its connection opened) when the thread has none that is open;
    // null and *error set when the bus cannot be reached. It goes with the
    // last endpoint that holds it.
    static std::shared_ptr<ThreadDirectory> forThisThread(QString *error);
    // A directory on the given connection, which it takes over, already
    // following the bus: forThisThread() makes each so; a test hands it one
    // end of a socket pair and plays the bus daemon and the windows.
    static std::shared_ptr<ThreadDirectory> create(BusConnection *bus);
    ~ThreadDirectory() override;

    // How long a window that did not describe itself waits before it is
    // asked again, doubling with each attempt: DescribeRetryFirstMs, unless
    // a test shortens it.
    void setRetryFirstMs(int ms) { m_retryFirstMs = ms; }

    // An endpoint of this thread joins the directory with the window it
    // owns; caughtUp runs once the directory has seen that window's name on
    // the bus and knows the windows that were there before it (ready), not
    // after detach().
    void attach(std::function<void()> caughtUp, qint32 handle, const QString &owner,
                const QString &caption);
    // The endpoint goes: its window stays until the bus says it left.
    void detach(qint32 handle);
    void setCaption(qint32 handle, const QString &caption);

    // Whether the windows that were on the bus when the directory started
    // are known (described, or given up on after ReadyWithinMs).
    bool isLoaded() const { return m_loaded; }
    // Whether windows that may be endpoints (their connection owns one
    // window name, or its owner is still being asked) are still being asked
    // for a caption they have not told yet; captionsSettled() follows once
    // none is. Names of a connection that owns several are asked last and
    // held for by nobody.
    bool captionsPending() const { return m_pending.size() > m_pendingLater.size(); }

    // The windows that Target and TargetSearchMethod address, by handle.
    // An unknown method addresses none.
    QList<PartyInfo> match(qint32 method, const QVariant &target) const;
    // Every window known, this thread's endpoints' own included, by handle.
    const QMap<qint32, PartyInfo> &windows() const { return m_windows; }
    // Windows that were on the bus when the directory started and whose
    // owner the bus has not named yet: not addressable yet, but there.
    const QSet<qint32> &ownersUnknown() const { return m_ownersUnknown; }
    // Unique name of the connection that owns the window, or empty.
    QString ownerOf(qint32 handle) const;
    // Asks the bus daemon who owns the window's name: done gets the unique
    // name, or empty when nobody does or the bus did not say. The answer
    // comes on the directory's connection after every change the bus told
    // before it, so the directory is as current as the answer by then.
    void lookUpOwner(qint32 handle, QObject *context, std::function<void(const QString &)> done,
                     int timeoutMs);

    // Whether the bus has sent the directory anything it has not taken in
    // yet: a name that changed hands just now may be among it.
    bool isBehind() const;

    // Asks the window's owner, once however many wait, what it takes beyond
    // the original contract: done (unless context is gone) gets the
    // PartyInfo::Offer flags for FeatureSealedUtf16 and FeatureBatch among
    // its Features; none for an error, such as UnknownMethod from a window
    // of an older version, or no answer within DescribeTimeoutMs. The answer
    // is kept with the window until its owner changes.
    void askOffers(qint32 handle, QObject *context, std::function<void(quint8)> done);
    // The answer askOffers would give without asking, if it is kept.
    std::optional<quint8> knownOffers(qint32 handle) const;

signals:
    void captionsSettled();
    // A window's name has left the bus; owner is the connection that had it.
    void windowLeft(const QString &owner);

private:
    explicit ThreadDirectory(BusConnection *bus);
    bool isOpen() const;
    void start();

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
    // A name of one of this thread's endpoints is on the bus.
    void seen(qint32 handle);
    // How many window names the connection owns. An endpoint owns one; a
    // connection with several is no endpoint and is asked once a name.
    int namesOf(const QString &owner) const;
    void schedule(const Call &call, qint64 delayMs);
    void makeDueCalls();
    // Makes the owner questions waiting, at most budget; false when some wait on.
    bool askWaitingOwners(int budget);
    // Whether a describe call may go now, and if its name belongs to a
    // connection with several, moves it to the later lane first.
    bool takeLikelyFirst(const Call &call);
    void askOwner(const Call &call);
    // later: the name belongs to a connection that owns several.
    void describe(const Call &call, bool later);
    // Describe to a window's connection, or to its caption desk once the
    // bus daemon has named one process as the owner of both; done gets the
    // answer, or null.
    void askToDescribe(const QString &destination,
                       const std::function<void(sd_bus_message *)> &done);
    void askDesk(qint32 handle, const QString &owner,
                 const std::function<void(sd_bus_message *)> &done);
    void loaded();
    void ownerKnown(qint32 handle);
    void becomeLoaded();
    // A question to the bus daemon with one string argument (or none);
    // done gets the reply, or null when it could not be asked.
    bool ask(const char *method, const QString &argument, int timeoutMs, QObject *context,
             std::function<void(sd_bus_message *)> done);
    // A question has its answer: wakes the calls that waited for room.
    void answered();
    // The window's caption is known, or no longer asked for.
    void settle(qint32 handle);

    BusConnection *m_bus;
    // The context of the directory's calls: gone first when the directory
    // goes, so that no answer reaches a directory being destroyed.
    QObject *m_calls;
    sd_bus_slot *m_ownerMatch = nullptr;
    sd_bus_slot *m_captionMatch = nullptr;
    // Questions (to the daemon or to windows) whose answer is still to
    // come; at most MaxQuestions, so that the directory stays far below the
    // bus's limit of pending replies and its answers come in small batches.
    int m_questions = 0;
    int m_laterQuestions = 0; // of m_questions, to names of a connection with several
    int m_ownerQuestions = 0; // to the bus daemon, counted apart: it answers at once
    int m_loading = 0;
    // Names listed at the start whose owner is not known yet: the directory
    // is loaded only once it can address every window there by handle.
    int m_ownersLoading = 0;
    bool m_listedLongAgo = false;
    bool m_loaded = false;
    QMap<qint32, PartyInfo> m_windows;
    QHash<QString, int> m_namesPerOwner;
    QHash<QString, qint32> m_firstNameOf; // of a connection that owns one name
    QSet<qint32> m_pending;      // windows with a question about their caption due or on its way
    QSet<qint32> m_pendingLater; // of those, names of a connection that owns several
    QSet<qint32> m_ownersUnknown;
    // Windows whose caption desk is on the bus (and not found wanting).
    QSet<qint32> m_desks;
    // This thread's endpoints, by the handle of their window, and which of
    // their names the directory has seen on the bus.
    QHash<qint32, std::function<void()>> m_local; // their caughtUp
    QSet<qint32> m_seen;
    // Those waiting for a window's answer to Features, by its handle.
    QHash<qint32, QList<std::pair<QPointer<QObject>, std::function<void(quint8)>>>> m_offerWaiters;

    // Calls by the time (on m_clock, in ms) they are due; the timer wakes
    // for the first, but not before m_nextPass.
    std::multimap<qint64, Call> m_due;
    std::multimap<qint64, Call> m_dueLater; // describe calls to names of a connection with several
    std::deque<Call> m_waitingOwners;       // owner questions, all due at once
    QElapsedTimer m_clock;
    QTimer m_dueTimer;
    qint64 m_nextPass = 0;
    int m_retryFirstMs;
};
