// The object an endpoint exports at /org/calvorn/InterProc through the
// adaptor generated from org.calvorn.InterProc.xml: its properties, Describe,
// the Deliver* entry points and the CaptionChanged signal.
#pragma once

#include <QDBusContext>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QString>

class Admission;
class InterProcEndpointPrivate;

class BusObject : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_PROPERTY(int Handle READ Handle)
    Q_PROPERTY(QString Caption READ Caption)

public:
    BusObject(InterProcEndpointPrivate *endpoint, Admission *admission);

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

signals:
    void CaptionChanged(int handle, const QString &caption);

private:
    // The incoming call, answered later by the admission.
    QDBusMessage takeCall();

    InterProcEndpointPrivate *m_endpoint;
    Admission *m_admission;
};
