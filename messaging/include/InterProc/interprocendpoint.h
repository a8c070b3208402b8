// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// InterProcEndpoint: one addressable party on the D-Bus session bus that
// sends and receives InterProc payloads (a 32-bit number and a text). Needs
// no window: console tools, daemons and QML programs host one directly; the
// InterProc control of the widgets library is the same endpoint with its
// caption following a window's title.
#pragma once

/**
 * @file interprocendpoint.h
 * @brief InterProcEndpoint, a party on the session bus (InterProc::Core).
 */

#include <InterProc/interproccore_export.h>
#include <InterProc/interprocversion.h>

#include <QList>
#include <QObject>
#include <QString>
#include <QVariant>

#include <functional>
#include <memory>

class InterProcEndpointPrivate;
class InterProcSend;

/**
 * @class InterProcEndpoint interprocendpoint.h <InterProc/interprocendpoint.h>
 *
 * @brief One party on the D-Bus session bus that sends and receives
 * InterProc payloads.
 *
 * A payload is a 32-bit whole number (#LongData) and a text of any length up
 * to maxTextBytes() (#StringData). Each endpoint is a party of its own on the
 * session bus: it has a handle, unique on the bus, and a caption, and other
 * parties address it by either. The endpoint needs no window and links
 * QtCore (and libsystemd's sd-bus privately), no QtGui or QtWidgets, so
 * console tools and daemons host one directly; a window hosts the InterProc
 * control of InterProc::Widgets, which is the same endpoint with the
 * window's title as its caption.
 *
 * To send, set the four properties and call Send():
 * #Target (a caption, a caption's beginning or a handle),
 * #TargetSearchMethod (how #Target is matched, see SearchMethod), #LongData
 * and #StringData. Each addressed party is first offered to WindowCheck(),
 * whose handler may skip it; then for each one delivered() or
 * deliveryFailed() follows. startSend() sends the same way and returns an
 * InterProcSend that follows that one send: whom it addressed and, as a
 * value of InterProcSend::Outcome, how it ended for each of them. A payload
 * that arrives raises DataArrival().
 *
 * The endpoint connects when it is constructed. It learns which parties are
 * on the bus asynchronously, normally within a few milliseconds: until then
 * isReady() is false, and a Send() returns -1 and goes out, in order, once
 * ready() has been emitted. A Send() by caption also returns -1 while some
 * party has not yet told its caption (one busy when this endpoint started),
 * and goes out once every party has answered, at most 2 seconds later.
 * When the bus goes away, connectionLost() is emitted and the endpoint
 * neither sends nor receives any more.
 *
 * The endpoints of one thread share what they learn of the bus (over one
 * further bus connection for all of them): a program may host many, each
 * with a connection and a handle of its own but no thread of its own, and
 * each party on the bus is asked for its caption once however many there
 * are. An endpoint is used from the thread that made it, and only there:
 * every member checks it. A library built for tests (INTERPROC_THREAD_CHECKS)
 * stops the program on a call from another thread, naming the call; any
 * other build warns once (calvorn.interproc). An endpoint does not move to
 * another thread: moveToThread() warns (calvorn.interproc) and the endpoint
 * moves back from the target thread's event loop, as its connections stay
 * with the thread that made it. Make the endpoint in the thread that uses
 * it.
 *
 * Parties on the bus that do not use this library speak the contract
 * described in the D-Bus interface file org.calvorn.InterProc.xml (installed
 * under share/dbus-1/interfaces).
 *
 * @par Example: a console program that sends one payload and logs the answers
 *
 * Windows of the CalvornTest program answer every payload with an
 * acknowledgement, a payload whose text is @c OK @c from @c "<caption>";
 * acknowledgements themselves are never answered. An endpoint does not
 * acknowledge by itself: a program that should answer as a window does
 * answers from its DataArrival() handler by the rule of
 * InterProcConventions.
 *
 * @code
 * #include <InterProc/interprocendpoint.h>
 *
 * #include <QCoreApplication>
 * #include <QDebug>
 *
 * int main(int argc, char *argv[])
 * {
 *     QCoreApplication app(argc, argv);
 *     InterProcEndpoint endpoint(QStringLiteral("Backup daemon"));
 *     if (!endpoint.isConnected()) {
 *         qCritical() << endpoint.errorString();
 *         return 1;
 *     }
 *
 *     // Answers arrive here, one at a time, on this thread.
 *     QObject::connect(&endpoint, &InterProcEndpoint::DataArrival,
 *                      [&](qint32 from, const QString &name, qint32 number, const QString &text) {
 *                          qInfo() << name << "(handle" << from << ") sent" << number << text;
 *                          app.quit();
 *                      });
 *     QObject::connect(&endpoint, &InterProcEndpoint::deliveryFailed,
 *                      [&](qint32, const QString &caption, const QString &reason) {
 *                          qCritical() << caption << "did not take the payload:" << reason;
 *                          app.exit(1);
 *                      });
 *
 *     // Every party whose caption begins with "Calvorn Control Sample - Client".
 *     endpoint.setTarget(QStringLiteral("Calvorn Control Sample - Client"));
 *     endpoint.setTargetSearchMethod(InterProcEndpoint::CaptionPrefix);
 *     endpoint.setLongData(42);
 *     endpoint.setStringData(QStringLiteral("hello"));
 *     // -1 before the endpoint is ready: the payload then goes out once it is.
 *     const int addressed = endpoint.Send();
 *     if (addressed == 0) {
 *         qCritical() << "No client window is on the bus.";
 *         return 1;
 *     }
 *     return app.exec();
 * }
 * @endcode
 *
 * Link it with @c InterProc::Core from the CMake package
 * (<tt>find_package(InterProc)</tt>) or with <tt>pkg-config InterProcCore</tt>.
 */
class INTERPROCCORE_EXPORT InterProcEndpoint : public QObject
{
    Q_OBJECT
    /**
     * The address of the next Send(): a caption or the beginning of one
     * (a QString), or a party's handle (a qint32), as #TargetSearchMethod
     * says. Keeps the last value set; empty at first.
     */
    Q_PROPERTY(QVariant Target READ target WRITE setTarget)
    /**
     * The text of the next Send(), of any content (NUL characters included)
     * up to maxTextBytes() in UTF-8. Keeps the last value set; empty at first.
     */
    Q_PROPERTY(QString StringData READ stringData WRITE setStringData)
    /**
     * The whole number of the next Send(). Keeps the last value set; 0 at
     * first.
     */
    Q_PROPERTY(qint32 LongData READ longData WRITE setLongData)
    /**
     * How Send() matches #Target against the parties on the bus: one of
     * SearchMethod. Keeps the last value set; CaptionPrefix at first.
     */
    Q_PROPERTY(qint32 TargetSearchMethod READ targetSearchMethod WRITE setTargetSearchMethod)
    /**
     * This party's handle on the bus; see handle().
     */
    Q_PROPERTY(qint32 Handle READ handle CONSTANT)
    /**
     * The caption other parties address this one by; see caption().
     */
    Q_PROPERTY(QString Caption READ caption WRITE setCaption NOTIFY captionChanged)

public:
    /**
     * Dispatch identifiers of the control's members, kept for callers that
     * address members by number.
     */
    enum DispatchId : qint32 {
        DispIdTarget = 0x68030000,             ///< The #Target property.
        DispIdStringData = 0x68030001,         ///< The #StringData property.
        DispIdLongData = 0x68030002,           ///< The #LongData property.
        DispIdTargetSearchMethod = 0x68030003, ///< The #TargetSearchMethod property.
        DispIdSend = 0x60030006,               ///< The method Send().
        DispIdAboutBox = -552,                 ///< The method InterProc::AboutBox().
    };
    Q_ENUM(DispatchId)

    /**
     * The values of #TargetSearchMethod: how Send() matches #Target.
     * Captions are compared exactly, case and all.
     */
    enum SearchMethod : qint32 {
        ExactCaption = 0,  ///< The party whose caption equals #Target.
        CaptionPrefix = 1, ///< Every party whose caption begins with #Target.
        WindowHandle = 2,  ///< The party whose handle equals #Target.
    };
    Q_ENUM(SearchMethod)

    /**
     * A party on the bus as this endpoint knows it; see parties().
     */
    struct Party
    {
        /** The party's handle, a positive number unique on the bus. */
        qint32 handle = 0;
        /**
         * The party's caption. Empty also while the party has not told its
         * caption (one that was busy or stopped when this endpoint joined).
         */
        QString caption;
        /**
         * Whether the party has told its caption: false for one that has not
         * answered when asked for it (busy, stopped, or a name that some
         * other program took), which is addressed by its handle only.
         */
        bool captionKnown = false;
    };

    /** The name the component is registered under: "Calvorn.InterProc". */
    static constexpr const char *ProgId = "Calvorn.InterProc";
    /**
     * The component's version, as its about box shows it: "1.00"
     * (InterProcVersion::Short).
     */
    static constexpr const char *Version = InterProcVersion::Short;

    /**
     * Connects to the session bus at once and joins it as a party with an
     * empty caption. isConnected() tells whether that worked, errorString()
     * why not.
     *
     * @param parent the QObject parent
     */
    explicit InterProcEndpoint(QObject *parent = nullptr);
    /**
     * Connects to the session bus at once and joins it as a party with
     * @p caption. isConnected() tells whether that worked, errorString()
     * why not.
     *
     * @param caption the caption other parties address this one by
     * @param parent the QObject parent
     */
    explicit InterProcEndpoint(const QString &caption, QObject *parent = nullptr);
    /**
     * Leaves the bus and gives up the handle.
     */
    ~InterProcEndpoint() override;

    /** The address of the next Send(). @return the #Target */
    QVariant target() const;
    /**
     * Sets the #Target of the next Send().
     * @param target a caption or its beginning (QString), or a handle (qint32)
     */
    void setTarget(const QVariant &target);
    /** The text of the next Send(). @return the #StringData */
    QString stringData() const;
    /**
     * Sets the #StringData of the next Send().
     * @param text any text up to maxTextBytes() in UTF-8; Send() refuses a
     *        longer one and reports it through errorOccurred()
     */
    void setStringData(const QString &text);
    /** The number of the next Send(). @return the #LongData */
    qint32 longData() const;
    /**
     * Sets the #LongData of the next Send().
     * @param value any 32-bit whole number
     */
    void setLongData(qint32 value);
    /** How the next Send() matches #Target. @return the #TargetSearchMethod */
    qint32 targetSearchMethod() const;
    /**
     * Sets the #TargetSearchMethod of the next Send().
     * @param method one of SearchMethod
     */
    void setTargetSearchMethod(qint32 method);

    /**
     * This party's handle, the address that never changes.
     * @return a positive number unique among all parties on the session
     * bus; 0 while not connected
     */
    qint32 handle() const;
    /**
     * This party's caption.
     * @return the caption other parties address this one by
     */
    QString caption() const;
    /**
     * Changes the caption; the change is announced on the bus at once and
     * captionChanged() is emitted.
     * @param caption the new caption; NUL characters become U+FFFD, as a
     *        D-Bus string cannot hold them
     */
    void setCaption(const QString &caption);

    /**
     * Whether the endpoint is on the session bus.
     * @return false when it could not connect, and after connectionLost()
     */
    bool isConnected() const;
    /**
     * Whether the endpoint knows the parties on the bus.
     * @return whether it knows those that were on the bus when it connected
     * (normally a few milliseconds after construction; ready() follows)
     */
    bool isReady() const;
    /**
     * Why the endpoint is not connected.
     * @return why the endpoint is not (or no longer) connected, as a
     * sentence for the user, or an empty string
     */
    QString errorString() const;

    /**
     * The parties on the bus, as this endpoint knows them.
     * @return every party on the bus that this endpoint knows, itself
     * included, by ascending handle: the parties a Send() can address.
     * Complete once isReady(); kept current from the bus after that. On a
     * bus with thousands of names, a party whose owner the bus has not yet
     * named to this endpoint is listed without a caption, and is addressed
     * once it has.
     */
    QList<Party> parties() const;

    /**
     * Waits, without blocking, until the parties in @p handles have
     * answered what this endpoint delivered to them, then runs @p done.
     *
     * For a program that sends and then ends, such as a command-line tool:
     * a party that answers a payload from its DataArrival() handler (as
     * CalvornTest windows do with an acknowledgement) reports a failure when
     * its answer finds the sender gone. Call this once delivered() has come
     * for the parties, with those that have not answered yet, and end only
     * after @p done has run.
     *
     * The endpoint asks each party to describe itself and, once all have
     * replied, itself, over the bus. A party takes calls one after the
     * other, so its reply comes after what it sent while handling the
     * payloads it took before; the bus keeps the order of what each party
     * sends, so the reply to the endpoint's own question comes after it has
     * taken all of that. DataArrival() follows for each from the event loop
     * as usual.
     *
     * A party that has left the bus counts as done at once, a frozen one
     * after InterProcBus::DeliveryTimeoutMs: the wait lasts at most twice
     * that. @p done runs exactly once, from the event loop and never from
     * within this call, also when @p handles is empty and when the bus has
     * gone; it does not run once @p context or this endpoint has been
     * destroyed. Waits may overlap.
     *
     * @code
     * QEventLoop loop;
     * endpoint.awaitAnswers(silentWindows, &loop, [&loop] { loop.quit(); });
     * loop.exec();
     * @endcode
     *
     * @param handles the parties to wait for
     * @param context @p done runs in this object's thread, and not once it
     *        has been destroyed; null for this endpoint's thread
     * @param done what to run once the parties have answered
     */
    void awaitAnswers(const QList<qint32> &handles, QObject *context, std::function<void()> done);

    /**
     * The largest text a payload carries.
     * @return the largest #StringData, in bytes of UTF-8, that Send()
     * carries and a receiver accepts (128 MiB)
     */
    static qint64 maxTextBytes();

    /**
     * Sends as Send() does, with the same signals, and returns a handle that
     * follows this one send.
     *
     * The handle tells the number of parties addressed (also for a send held
     * back until the endpoint is ready), the outcome for each of them as an
     * InterProcSend::Outcome, and when all are known; see InterProcSend.
     *
     * @return a new handle, a child of this endpoint; delete it when done
     * with it (deleting it earlier only stops its reports)
     */
    InterProcSend *startSend();

public Q_SLOTS:
    /**
     * Sends #LongData and #StringData to every party that #Target and
     * #TargetSearchMethod address, leaving out each party that a
     * WindowCheck() handler skips. This endpoint is addressed too when it
     * matches: a handler that skips handle() leaves it out.
     *
     * Returns at once. For each party addressed, delivered() or
     * deliveryFailed() follows later; failures are also reported through
     * errorOccurred(). May be called from a DataArrival() handler.
     *
     * @return the number of parties addressed (0 when none matched, and when
     * nothing could be sent, which errorOccurred() then explains), or -1
     * before the endpoint is ready: the payload then goes out, WindowCheck()
     * first, once it is
     */
    int Send();

Q_SIGNALS:
    /**
     * A payload arrived. Emitted on the endpoint's thread, one at a time,
     * never while a previous DataArrival handler still runs (also when that
     * handler runs a nested event loop).
     *
     * @param SenderHandle the sender's handle, which as #Target with
     *        WindowHandle reaches the sender again; 0 for senders without a
     *        handle (command-line tools), which nothing reaches
     * @param SenderName the text naming the sender: its caption
     * @param LongData the payload's number
     * @param StringData the payload's text
     */
    void DataArrival(qint32 SenderHandle, const QString &SenderName, qint32 LongData,
                     const QString &StringData);
    /**
     * Emitted in the sending endpoint for each addressed party before
     * delivery, from within Send() (or when a Send() made before ready()
     * goes out). Connect with Qt::DirectConnection, as the handler answers
     * through @p Skip.
     *
     * @param WindowHandle the addressed party's handle
     * @param WindowName the addressed party's caption
     * @param Skip false on entry; set it to true to leave this party out
     */
    void WindowCheck(qint32 WindowHandle, const QString &WindowName, bool &Skip);

    /**
     * A payload that Send() addressed to a party was taken by it. For each
     * party a Send() addresses, either this or deliveryFailed() follows.
     *
     * @param WindowHandle the party's handle
     * @param WindowName the party's caption
     */
    void delivered(qint32 WindowHandle, const QString &WindowName);
    /**
     * A payload could not be delivered to a party, or (the reason says so)
     * the party has not taken it within 25 seconds: a frozen party still
     * takes it once it runs again.
     *
     * @param WindowHandle the party's handle
     * @param WindowName the party's caption
     * @param reason why, as a sentence for the user
     */
    void deliveryFailed(qint32 WindowHandle, const QString &WindowName, const QString &reason);
    /**
     * Any failure, delivery failures included.
     * @param message what went wrong, as a sentence for the user
     */
    void errorOccurred(const QString &message);
    /**
     * The endpoint knows the parties on the bus; see isReady(). Emitted once.
     */
    void ready();
    /**
     * The session bus went away (its daemon ended): from now on the
     * endpoint neither sends nor receives, and isConnected() is false.
     */
    void connectionLost();
    /**
     * The caption changed, through setCaption() or (for the InterProc
     * control) a new window title.
     * @param caption the new caption
     */
    void captionChanged(const QString &caption);

protected:
    /** Refuses a move to another thread; see the class description. */
    bool event(QEvent *event) override;

private:
    std::unique_ptr<InterProcEndpointPrivate> d;
    friend class InterProcEndpointPrivate;
};
