// InterProc: carries one payload at a time (a 32-bit number and a text) from
// the window that hosts it to the windows of other programs that host one,
// over the D-Bus session bus.
#pragma once

#include <QObject>
#include <QString>
#include <QVariant>

#include <memory>

class QWidget;
class InterProcBusObject;

class InterProc : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QVariant Target READ target WRITE setTarget)
    Q_PROPERTY(QString StringData READ stringData WRITE setStringData)
    Q_PROPERTY(qint32 LongData READ longData WRITE setLongData)
    Q_PROPERTY(qint32 TargetSearchMethod READ targetSearchMethod WRITE setTargetSearchMethod)
    Q_PROPERTY(qint32 WindowHandle READ windowHandle CONSTANT)

public:
    // Dispatch identifiers of the control's members, kept for callers that
    // address members by number.
    enum DispatchId : qint32 {
        DispIdTarget = 0x68030000,
        DispIdStringData = 0x68030001,
        DispIdLongData = 0x68030002,
        DispIdTargetSearchMethod = 0x68030003,
        DispIdSend = 0x60030006,
        DispIdAboutBox = -552,
    };
    Q_ENUM(DispatchId)

    // Values of TargetSearchMethod.
    enum SearchMethod : qint32 {
        ExactCaption = 0,  // the window whose caption equals Target
        CaptionPrefix = 1, // every window whose caption begins with Target
        WindowHandle = 2,  // the window whose handle equals Target
    };
    Q_ENUM(SearchMethod)

    static constexpr const char *ProgId = "Calvorn.InterProc";
    static constexpr const char *Version = "1.00";

    // The instance lives in host's top-level window: that window's title is
    // its caption, and the instance is destroyed with host. Connects to the
    // session bus at once; isConnected() tells whether that worked.
    explicit InterProc(QWidget *host);
    ~InterProc() override;

    QVariant target() const;
    void setTarget(const QVariant &target);
    QString stringData() const;
    void setStringData(const QString &text);
    qint32 longData() const;
    void setLongData(qint32 value);
    qint32 targetSearchMethod() const;
    void setTargetSearchMethod(qint32 method);

    // This window's handle: a positive number unique among all windows on
    // the session bus that host an instance; 0 while not connected.
    qint32 windowHandle() const;
    // The caption other instances see: the host window's current title.
    QString caption() const;

    bool isConnected() const;
    // Whether the instance knows the windows that were on the bus when it
    // connected (normally a few milliseconds after construction; ready()
    // follows).
    bool isReady() const;
    // Why the instance is not (or no longer) connected, or empty.
    QString errorString() const;

    // Largest StringData, in bytes of UTF-8, that Send carries and a
    // receiver accepts.
    static qint64 maxTextBytes();

public slots:
    // Sends LongData and StringData to every window that Target and
    // TargetSearchMethod address, leaving out each window that a
    // WindowCheck handler skips. Returns at once with the number of windows
    // addressed; failures that happen later are reported through
    // deliveryFailed() and errorOccurred(). Before the instance is ready it
    // returns -1 and the payload goes out, WindowCheck first, once it is.
    int Send();
    // Shows a modal box with the component's name, version and purpose.
    void AboutBox();

signals:
    // A payload arrived from another window. Raised on the host's thread,
    // one at a time, never while a previous DataArrival handler still runs.
    // SenderHandle is 0 for senders without a window (command-line tools).
    void DataArrival(qint32 SenderHandle, const QString &SenderName, qint32 LongData,
                     const QString &StringData);
    // Raised in the sending instance for each addressed window before
    // delivery; setting Skip leaves that window out. Connect directly.
    void WindowCheck(qint32 WindowHandle, const QString &WindowName, bool &Skip);

    // A payload could not be delivered to one window, or (the reason says
    // so) the window has not taken it in time: a frozen window still takes
    // it once it runs again.
    void deliveryFailed(qint32 WindowHandle, const QString &WindowName, const QString &reason);
    // Any failure, as a sentence for the user (delivery failures included).
    void errorOccurred(const QString &message);
    // The instance knows the windows on the bus; see isReady().
    void ready();
    // The session bus went away (its daemon ended): from now on the
    // instance neither sends nor receives, and isConnected() is false.
    void connectionLost();

private:
    std::unique_ptr<InterProcBusObject> d;
    friend class InterProcBusObject;
};
