// The object an endpoint exports at /org/calvorn/InterProc through the
// adaptor generated from org.calvorn.InterProc.xml: its properties, Describe,
// the Deliver* entry points, the direct channel's two calls and the
// CaptionChanged signal. The same object answers on the bus and on every
// direct channel.
#pragma once

#include <QDBusContext>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QString>

class Admission;
class ChannelServer;
class InterProcEndpointPrivate;
struct IncomingCall;

class BusObject : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_PROPERTY(int Handle READ Handle)
    Q_PROPERTY(QString Caption READ Caption)

public:
    BusObject(InterProcEndpointPrivate *endpoint, Admission *admission, ChannelServer *channels);

    int Handle() const;
    QString Caption() const;

public slots:
    int Describe(QString &caption);
    void Deliver(int senderHandle, const QString &senderName, int longData,
                 const QString &stringData);
    void DeliverUtf8(int senderHandle, const QString &senderName, int longData,
                     const QByteArray &stringData);
    void DeliverSealed(int senderHandle, const QString &senderName, int longData,
                       const QDBusUnixFileDescriptor &stringData, qulonglong size);
    QString OpenDirectChannel(QByteArray &token);
    void AttachDirectChannel(const QByteArray &token);

signals:
    void CaptionChanged(int handle, const QString &caption);

private:
    // The incoming call, answered later by the admission; false when it came
    // on a direct channel that is not attached, and has been refused.
    bool takeCall(IncomingCall &call);

    InterProcEndpointPrivate *m_endpoint;
    Admission *m_admission;
    ChannelServer *m_channels;
};
