// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// Sending: picks the addressees of a payload from the directory, lets the
// owner skip any through WindowCheck, and hands the payload for each to the
// deliveries, whose outcome is reported, never waited for. A text that
// travels in a sealed memfd is written there on a worker thread; later
// sends wait behind it, so that every receiver gets the payloads in the
// order of the sends.
#pragma once

#include "sendoutcome.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariant>

#include <deque>
#include <memory>

class Deliveries;
class EndpointDirectory;
struct Identity;
struct PartyInfo;

class Outbox : public QObject
{
    Q_OBJECT

public:
    struct Outgoing
    {
        QVariant target;
        qint32 method = 0;
        qint32 longData = 0;
        QString stringData;
        QString senderName;
        quint64 send = 0; // the endpoint's number for the send, 0 when nobody follows it
    };

    // identity gives the sender's handle; canPassFds tells whether the bus
    // connection takes the sealed texts of large payloads.
    Outbox(const Identity *identity, EndpointDirectory *directory, Deliveries *deliveries,
           bool canPassFds, QObject *parent);

    // Sends now when the directory is ready (returns the number of windows
    // addressed), or holds the payload back until it is (returns -1). A send
    // by caption is also held while windows are still asked for their
    // captions, at most DescribeTimeoutMs: a busy window is still a window.
    int send(Outgoing payload);
    // Sends what was held back and may go now, in order.
    void sendHeldBack();
    // Tells every send still held back that it goes to nobody, and why:
    // the endpoint can no longer send.
    void dropHeldBack(const SendOutcome &why);

signals:
    // Raised for each addressee before delivery; setting skip leaves it out.
    void windowCheck(qint32 handle, const QString &caption, bool &skip);
    // The windows a followed send (Outgoing::send other than 0) goes to,
    // before any of their outcomes; none when nothing matched.
    void addressed(quint64 send, const QList<PartyInfo> &windows);
    // A payload that was addressed to a window cannot be delivered to it.
    void undelivered(quint64 send, qint32 handle, const QString &caption, const SendOutcome &why);
    // A send that goes to nobody although windows matched, and why.
    void failure(quint64 send, const SendOutcome &why);

private:
    struct Queued;
    using QueuedPtr = std::shared_ptr<Queued>;

    int sendNow(const Outgoing &payload);
    // Queues a send whose text goes in a sealed memfd; false when it cannot.
    bool sendSealed(const Outgoing &payload, const QueuedPtr &queued);
    // Writes the text in each form its addressees take, on a worker thread.
    void seal(const QueuedPtr &queued, const QString &text);
    // Makes the calls of every send at the head of the queue whose text is ready.
    void issueReady();
    void issue(const Queued &queued);
    bool nothingSent(quint64 send, const SendOutcome &why);
    bool waitsForCaptions(const Outgoing &payload) const;

    const Identity *m_identity;
    EndpointDirectory *m_directory;
    Deliveries *m_deliveries;
    bool m_canPassFds;
    QList<Outgoing> m_heldBack; // sent before the directory was loaded, or captions known
    QTimer m_captionWait;       // bounds the wait for captions
    bool m_captionWaitOver = false;
    std::deque<QueuedPtr> m_queue; // sends whose calls are not made yet, in order
    // The UTF-8 of the last inline text and sender name, which a program
    // acknowledging a flood sends again and again (at most InlineTextLimit
    // units and one caption).
    QString m_lastText;
    QByteArray m_lastTextUtf8;
    QString m_lastSenderName;
    QByteArray m_lastSenderNameUtf8;
};
