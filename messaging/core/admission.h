// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// Between a Deliver* call and the inbox: checks that the sender handle is a
// window of the calling connection and, for a text in a sealed memfd, reads
// it on a worker thread. Neither ever waits on the home thread: a call
// that needs the bus or the worker gets a delayed reply. Payloads of one
// caller reach the inbox in the order of their calls, whatever each needed.
#pragma once

#include "inbox.h"

#include "busconnection.h"
#include "payloadtext.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSet>

#include <deque>
#include <memory>

class PartyOwners;

// A Deliver* call marked for a delayed reply: the connection it came on (the
// bus or a direct channel), which answers it, and the unique bus name of the
// connection it speaks for, which is what its sender handle is checked
// against and what keeps its place in line.
struct IncomingCall
{
    BusMessage message;
    QPointer<BusConnection> connection;
    QString caller;
};

class Admission : public QObject
{
    Q_OBJECT

public:
    // owners (which outlives the admission) tells who owns the sender
    // handles, and asks the bus daemon when it does not know.
    Admission(const PartyOwners *owners, Inbox *inbox, QObject *parent);
    ~Admission() override;

    // A payload whose text is already known.
    void admit(const IncomingCall &call, Payload payload);
    // The payloads of one DeliverBatch call, all of the same sender: taken
    // together or refused together, and answered once the last is handed over.
    void admitBatch(const IncomingCall &call, QList<Payload> payloads);
    // A payload whose text is in a sealed memfd of `size` bytes, written as
    // encoding says; fd stays the call's, the text is read from a copy of it.
    void admitSealed(const IncomingCall &call, Payload payload, int fd, quint64 size,
                     PayloadText::Encoding encoding = PayloadText::Encoding::Utf8);

    // Refuses call, and says so, when the inbox has no room for `count` more
    // of its caller's payloads (with a large text or not): checked before
    // the texts are even decoded, so that a flood costs little to refuse.
    bool refusedAsFull(const IncomingCall &call, bool largeText = false, qsizetype count = 1);

    // Refuses a call at once, with a D-Bus error for its sender.
    void refuse(const IncomingCall &call, const QString &errorName, const QString &message);

private:
    struct Pending;
    using PendingPtr = std::shared_ptr<Pending>;
    // What the directory says of a call's sender handle, before the bus is asked.
    enum class SenderCheck { Verified, Refused, Unknown };

    SenderCheck checkSender(qint32 senderHandle, const QString &caller) const;
    PendingPtr hold(const IncomingCall &call, QList<Payload> payloads, bool batch,
                    SenderCheck sender);
    void lookUpOwner(qint32 handle);
    void ownerKnown(qint32 handle, const QString &owner);
    void drain(const QString &caller);
    void accept(const IncomingCall &call, QList<Payload> payloads, bool batch);
    void readNextText();
    void textPassedOn(const QString &text);
    void lookAtLastText();
    void refuseSender(const IncomingCall &call, qint32 senderHandle);

    const PartyOwners *m_owners;
    Inbox *m_inbox;
    // Calls not decided yet, or decided but behind an undecided one of the
    // same caller, by caller.
    QHash<QString, std::deque<PendingPtr>> m_held;
    // Payloads held, by caller and in all: a batch counts each of its own.
    QHash<QString, qsizetype> m_heldByCaller;
    qsizetype m_heldCount = 0;
    // Payloads refused for a full inbox from calls that wanted no answer,
    // and when that was last told.
    qint64 m_overflowUnanswered = 0;
    QElapsedTimer m_overflowTold;
    // Sender handles whose owner is being asked of the bus, with the calls
    // that wait for the answer.
    QHash<qint32, QList<PendingPtr>> m_lookups;
    // Texts in sealed memfds waiting to be read. Each can be 128 MiB that
    // costs its sender nothing (a sparse memfd) and the endpoint twice that
    // once read, so texts are read at once only up to 64 MiB (once read)
    // until they are passed on, a larger one alone, and after a text of a
    // million characters or more the next waits until the owner let go of it
    // (or held it for a second: an owner may keep texts).
    struct SealedText
    {
        PendingPtr pending;
        std::shared_ptr<PayloadText::UniqueFd> text;
        quint64 size = 0;
        PayloadText::Encoding encoding = PayloadText::Encoding::Utf8;
    };
    std::deque<SealedText> m_toRead;
    // Texts in m_toRead by caller, each a descriptor held for it.
    QHash<QString, int> m_unreadByCaller;
    qint64 m_readBytes = 0;
    QString m_lastText; // the last large text read, while the owner may hold it
    QElapsedTimer m_lastTextSince;
    bool m_lookingAgain = false;
    // Sender handles the bus said nobody owns, so that a flood of calls
    // naming one is refused at once instead of held.
    QSet<qint32> m_ownerless;
};
