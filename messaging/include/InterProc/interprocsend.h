// SPDX-License-Identifier: MIT
// InterProcSend: what became of one send of an InterProcEndpoint, addressee
// by addressee, as a value a program can act on.
#pragma once

/**
 * @file interprocsend.h
 * @brief InterProcSend, the handle of one send (InterProc::Core).
 */

#include <InterProc/interproccore_export.h>
#include <InterProc/interprocendpoint.h>

#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class InterProcSendPrivate;

/**
 * @class InterProcSend interprocsend.h <InterProc/interprocsend.h>
 *
 * @brief The handle of one send: whom it addressed and how it ended for
 * each of them.
 *
 * InterProcEndpoint::startSend() sends as InterProcEndpoint::Send() does
 * (the same WindowCheck(), delivered(), deliveryFailed() and errorOccurred()
 * follow on the endpoint) and returns this handle, which follows that one
 * send alone: addressedKnown() once the parties it goes to are known,
 * outcomeKnown() once for each of them, finished() once every one has an
 * outcome. Outcomes are values of #Outcome, so that a program tells them
 * apart without reading the sentences meant for its user.
 *
 * The accessors tell what is known so far. The signals are never emitted
 * from within startSend(): they come from the event loop, in order
 * (addressedKnown(), then outcomeKnown() for each addressee, then
 * finished()), also for a send whose outcome is already known when
 * startSend() returns (one that addressed nobody is finished at once).
 *
 * @par Ownership
 * The handle is a child of the endpoint that made it, and goes with it.
 * The caller may delete it at any time (deleteLater() from one of its own
 * signals): it then stops reporting, and the send goes on. A handle given
 * another parent (or none) may outlive the endpoint; it stops reporting when
 * the endpoint is destroyed.
 *
 * @par Threads
 * A handle belongs to its endpoint's thread and is used there only: every
 * member checks it, as the endpoint's do.
 *
 * @code
 * InterProcSend *send = endpoint.startSend();
 * QObject::connect(send, &InterProcSend::finished, send, [send] {
 *     for (const InterProcEndpoint::Party &party : send->addressees()) {
 *         if (send->outcome(party.handle) == InterProcSend::NotTakenInTime)
 *             qInfo() << party.caption << "is busy; it gets the payload later";
 *     }
 *     send->deleteLater();
 * });
 * @endcode
 */
class INTERPROCCORE_EXPORT InterProcSend : public QObject
{
    Q_OBJECT
    /**
     * The number of parties addressed; see addressed().
     */
    Q_PROPERTY(int addressed READ addressed NOTIFY addressedKnown)

public:
    /**
     * How a payload ended for one addressee, or, for outcome() without a
     * handle, for the whole send. Only #Delivered means the party took it.
     */
    enum Outcome : qint32 {
        /** No outcome yet. */
        Pending = 0,
        /** The party took the payload: its program has it (or is given it). */
        Delivered,
        /**
         * The party left the bus, or its program ended, before it took the
         * payload, which it never gets.
         */
        ReceiverGone,
        /**
         * The party has not taken the payload within
         * InterProcBus::DeliveryTimeoutMs: it is busy or stopped and still
         * gets the payload if it runs again.
         */
        NotTakenInTime,
        /**
         * The connection to the party (the session bus or a direct channel)
         * closed after the payload was written to it and before the party's
         * answer was read: it may or may not have taken the payload.
         */
        Uncertain,
        /**
         * The party, or the bus on its behalf, answered with an error: it
         * did not take the payload. remoteErrorName() names the error, such
         * as org.freedesktop.DBus.Error.LimitsExceeded for a party whose
         * inbox is full.
         */
        Refused,
        /**
         * Not sent: the party is not taking its payloads, and too many were
         * still waiting here for it, or this one waited here
         * InterProcBus::DeliveryTimeoutMs without being sent.
         */
        QueueFull,
        /**
         * Not sent: the text takes more than InterProcEndpoint::maxTextBytes()
         * bytes of UTF-8, or more than the bus carries inline on a bus
         * connection that cannot pass file descriptors.
         */
        TooLarge,
        /**
         * Not sent: the endpoint is not on the session bus, or lost it
         * before the payload was written.
         */
        NotConnected,
        /**
         * Not sent: no party matched the address (WindowCheck() handlers
         * skipping all that did), or the address is invalid (a search method
         * other than 0, 1 or 2). For the whole send only.
         */
        NoAddressee,
        /**
         * Not sent: this side could not make the call or put the text in
         * shared memory (a system resource ran out); reason() says which.
         */
        LocalError,
    };
    Q_ENUM(Outcome)

    /**
     * Stops reporting; the send goes on.
     */
    ~InterProcSend() override;

    /**
     * The number of parties the send addressed, as InterProcEndpoint::Send()
     * returns it.
     * @return the count once known, 0 for a send that went to nobody
     * (outcome() says why), or -1 while the send is held back until the
     * endpoint is ready or knows the parties' captions
     */
    int addressed() const;
    /**
     * The parties the send addressed, each with the caption it was
     * addressed under.
     * @return the addressees in the order they were offered to
     * WindowCheck(); empty until addressedKnown()
     */
    QList<InterProcEndpoint::Party> addressees() const;
    /**
     * Whether every addressee has an outcome.
     * @return true once the send's outcome is known, which may be before
     * finished() is emitted
     */
    Q_INVOKABLE bool isFinished() const;

    /**
     * How the send ended as a whole.
     * @return #Pending until isFinished(); then #Delivered when every
     * addressee took the payload, why nothing was sent when it went to
     * nobody, else the outcome of the first addressee that did not take it
     */
    Q_INVOKABLE InterProcSend::Outcome outcome() const;
    /**
     * How the send ended for one addressee.
     * @param handle the addressee's handle
     * @return its outcome, #Pending while it has none (and for a party the
     * send did not address)
     */
    Q_INVOKABLE InterProcSend::Outcome outcome(qint32 handle) const;
    /**
     * Why the send went to nobody or did not reach every addressee, as a
     * sentence for the user.
     * @return for a send that went to nobody, the sentence
     * InterProcEndpoint::errorOccurred() carried (or, when nobody matched,
     * says so); else the reason() of the first addressee that did not take
     * the payload; empty while pending or when all took it
     */
    Q_INVOKABLE QString reason() const;
    /**
     * Why one addressee did not take the payload, as a sentence for the user.
     * @param handle the addressee's handle
     * @return the reason InterProcEndpoint::deliveryFailed() carried for it;
     * empty while pending and when it took the payload
     */
    Q_INVOKABLE QString reason(qint32 handle) const;
    /**
     * The D-Bus error with which an addressee refused the payload.
     * @param handle the addressee's handle
     * @return the error's name for #Refused, such as
     * org.freedesktop.DBus.Error.LimitsExceeded; empty for any other outcome
     */
    Q_INVOKABLE QString remoteErrorName(qint32 handle) const;

    /**
     * Waits, without blocking, until the addressees that took the payload so
     * far have answered what the endpoint delivered to them, then runs
     * @p done: InterProcEndpoint::awaitAnswers() for those parties. Call it
     * once finished() has come.
     *
     * @param context @p done runs in this object's thread, and not once it
     *        has been destroyed; null for the endpoint's thread
     * @param done what to run once they have answered; it runs from the
     *        event loop, also when the endpoint is gone
     */
    void awaitAnswers(QObject *context, std::function<void()> done);

Q_SIGNALS:
    /**
     * The parties the send goes to are known. Emitted once, first.
     * @param count the number addressed, as addressed() returns it (0 for
     * a send that went to nobody)
     */
    void addressedKnown(int count);
    /**
     * The payload ended for one addressee. Emitted once for each, in the
     * order the outcomes became known.
     * @param handle the addressee's handle
     * @param caption the caption it was addressed under
     * @param outcome how it ended, never #Pending
     */
    void outcomeKnown(qint32 handle, const QString &caption, InterProcSend::Outcome outcome);
    /**
     * Every addressee has an outcome (or the send went to nobody). Emitted
     * once, last.
     */
    void finished();

private:
    explicit InterProcSend(InterProcEndpoint *endpoint);

    std::unique_ptr<InterProcSendPrivate> d;
    friend class InterProcSendPrivate;
    friend class InterProcEndpoint;
};
