// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The working part of an InterProcEndpoint: its own bus connection, the
// name it owns (which makes its handle), and the parts it is built from:
// the exported bus object, the admission of arriving calls, the inbox, the
// outbox and its deliveries, its view of the window directory (which the
// endpoints of a thread share, over a bus connection of its own) and both
// ends of direct channels. Each part gets what it needs when it is made and
// reports back with signals.
//
// Threads: everything here, every part and every bus connection (the bus,
// the shared directory's and each direct channel) runs on the thread that
// owns the endpoint; the connections are driven by socket notifiers and
// timers of that thread's event loop. The caption desk answers Describe on
// a connection and thread of its own (captiondesk.h). The only other
// threads are workers of the global QThreadPool that write a large text
// into a sealed memfd (Outbox) and check and decode one that arrived
// (Admission); they touch nothing but their own copy of the text and hand
// the result back to the home thread (offthread.h). The parts assert
// that they run on the home thread.
#pragma once

#include "identity.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QVariant>

#include <memory>

class Admission;
class BusConnection;
class BusObject;
class CaptionDesk;
class ChannelRouter;
class ChannelServer;
class Deliveries;
class Inbox;
class InterProcEndpoint;
class InterProcSend;
class InterProcSendPrivate;
class Outbox;
class EndpointDirectory;
struct SendOutcome;
struct PartyInfo;

class InterProcEndpointPrivate : public QObject
{
    Q_OBJECT

public:
    InterProcEndpointPrivate(InterProcEndpoint *q, const QString &caption);
    ~InterProcEndpointPrivate() override;

    // Sends with the current properties; `handle`, when given, follows the send.
    int send(InterProcSend *handle = nullptr);
    void setCaption(const QString &caption);
    bool isReady() const;
    bool isConnected() const { return m_connected; }
    qint32 handle() const { return m_identity.handle; }
    QString caption() const { return m_identity.caption; }
    QString errorString() const { return m_error; }
    QList<PartyInfo> windows() const;
    // The connection to the session bus, while there is one.
    BusConnection *busConnection() const { return m_connected ? m_bus : nullptr; }

    // The four properties the next send() uses, as the public class last
    // set them.
    struct Properties
    {
        QVariant target;
        QString stringData;
        qint32 longData = 0;
        qint32 searchMethod = 1; // CaptionPrefix, as the window's control is stored
    };
    Properties &properties() { return m_properties; }
    const Properties &properties() const { return m_properties; }

private:
    void connectToBus();
    bool claimHandle();
    void loseConnection();
    void reportFailure(const QString &message);
    // What became of a send: told to the endpoint's signals and to the
    // send's handle, if it has one.
    void reportAddressed(quint64 send, const QList<PartyInfo> &windows);
    void reportNothingSent(quint64 send, const SendOutcome &why);
    void reportDelivered(quint64 send, qint32 handle, const QString &caption);
    void reportUndelivered(quint64 send, qint32 handle, const QString &caption,
                           const SendOutcome &why);

    InterProcEndpoint *const q;
    Properties m_properties;
    Identity m_identity;
    bool m_connected = false;
    QString m_error;

    BusConnection *m_bus = nullptr;
    // The process's, which answers Describe for this endpoint apart from
    // the payloads; none when the bus would not give it a connection or a
    // name.
    std::shared_ptr<CaptionDesk> m_desk;
    EndpointDirectory *m_directory = nullptr;
    Inbox *m_inbox = nullptr;
    Admission *m_admission = nullptr;
    ChannelServer *m_channelServer = nullptr;
    ChannelRouter *m_channels = nullptr;
    BusObject *m_busObject = nullptr;
    Deliveries *m_deliveries = nullptr;
    Outbox *m_outbox = nullptr;

    QHash<quint64, InterProcSendPrivate *> m_sends; // the handles still to be told, by send
    quint64 m_lastSend = 0;
};
