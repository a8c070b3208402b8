// The working part of an InterProc instance: its own bus connection, the
// window name it owns, the object it exports (through the generated
// adaptor), the sending and the queue of arrived payloads.
#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QPointer>
#include <QQueue>
#include <QString>
#include <QVariant>

class InterProc;
class QTimer;
class QWidget;
class WindowDirectory;
struct WindowInfo;

class InterProcBusObject : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_PROPERTY(int Handle READ Handle)
    Q_PROPERTY(QString Caption READ Caption)

public:
    InterProcBusObject(InterProc *q, QWidget *host);
    ~InterProcBusObject() override;

    int send();
    void aboutBox();

    QVariant target;
    QString stringData;
    qint32 longData = 0;
    qint32 searchMethod = 0;

    qint32 handle() const { return m_handle; }
    QString caption() const { return m_caption; }
    bool isConnected() const { return m_connected; }
    bool isReady() const;
    QString errorString() const { return m_error; }

    // Bus properties and methods (see org.calvorn.InterProc.xml).
    int Handle() const { return m_handle; }
    QString Caption() const { return m_caption; }

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

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    struct Outgoing
    {
        QVariant target;
        qint32 method;
        qint32 longData;
        QString stringData;
        QString senderName;
    };
    struct Payload
    {
        qint32 senderHandle;
        QString senderName;
        qint32 longData;
        QString stringData;
    };

    void connectToBus();
    int sendNow(const Outgoing &payload);
    void sendDeferred();
    bool claimHandle();
    bool senderOwns(qint32 senderHandle);
    void enqueue(Payload payload);
    void dispatchArrivals();
    void watchDelivery(const QDBusPendingCall &call, const WindowInfo &window);
    void reportFailure(const QString &message);
    void checkConnection();
    void loseConnection();

    InterProc *q;
    QPointer<QWidget> m_window;
    QString m_connectionName;
    QDBusConnection m_connection;
    WindowDirectory *m_directory = nullptr;
    qint32 m_handle = 0;
    bool m_connected = false;
    QTimer *m_connectionCheck = nullptr;
    QString m_caption; // the window title, as sent on the bus
    QString m_error;

    QList<Outgoing> m_deferred; // sent before the directory was loaded
    QQueue<Payload> m_inbox;
    bool m_dispatchScheduled = false;
    bool m_dispatching = false;
};
