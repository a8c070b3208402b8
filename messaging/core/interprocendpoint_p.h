// The working part of an InterProcEndpoint: its own bus connection, the
// name it owns (which makes its handle), and the pieces it is built from:
// the exported bus object, the admission of arriving calls, the inbox, the
// outbox, the window directory and both ends of direct channels.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QVariant>

class Admission;
class BusObject;
class ChannelRouter;
class ChannelServer;
class Inbox;
class InterProcEndpoint;
class Outbox;
class QTimer;
class SendThread;
class WindowDirectory;

class InterProcEndpointPrivate : public QObject
{
    Q_OBJECT

public:
    InterProcEndpointPrivate(InterProcEndpoint *q, const QString &caption);
    ~InterProcEndpointPrivate() override;

    int send();
    void setCaption(const QString &caption);
    bool isReady() const;
    void reportFailure(const QString &message);
    // Notices a connection that has gone away and reports it once.
    void checkConnection();

    InterProcEndpoint *const q;

    // The four properties, as last set.
    QVariant target;
    QString stringData;
    qint32 longData = 0;
    qint32 searchMethod = 1; // CaptionPrefix, as the window's control is stored

    QDBusConnection connection;
    qint32 handle = 0;
    QString caption; // as sent on the bus
    bool connected = false;
    QString error;

    WindowDirectory *directory = nullptr;
    ChannelRouter *channels = nullptr;
    SendThread *sender = nullptr;

private:
    void connectToBus();
    bool claimHandle();
    void loseConnection();

    QString m_connectionName;
    Inbox *m_inbox = nullptr;
    Admission *m_admission = nullptr;
    BusObject *m_busObject = nullptr;
    ChannelServer *m_channelServer = nullptr;
    Outbox *m_outbox = nullptr;
    QTimer *m_connectionCheck = nullptr;
};
