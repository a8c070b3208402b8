// InterProcEndpoint: one addressable party on the D-Bus session bus that
// sends and receives InterProc payloads (a 32-bit number and a text). Needs
// no window: console tools, daemons and QML programs host one directly; the
// InterProc control of the widgets library is the same endpoint with its
// caption following a window's title.
#pragma once

#include <InterProc/interproccore_export.h>

#include <QList>
#include <QObject>
#include <QString>
#include <QVariant>

#include <memory>

class InterProcEndpointPrivate;

class INTERPROCCORE_EXPORT InterProcEndpoint : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QVariant Target READ target WRITE setTarget)
    Q_PROPERTY(QString StringData READ stringData WRITE setStringData)
    Q_PROPERTY(qint32 LongData READ longData WRITE setLongData)
    Q_PROPERTY(qint32 TargetSearchMethod READ targetSearchMethod WRITE setTargetSearchMethod)
    Q_PROPERTY(qint32 Handle READ handle CONSTANT)
    Q_PROPERTY(QString Caption READ caption WRITE setCaption NOTIFY captionChanged)

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
        ExactCaption = 0,  // the party whose caption equals Target
        CaptionPrefix = 1, // every party whose caption begins with Target
        WindowHandle = 2,  // the party whose handle equals Target
    };
    Q_ENUM(SearchMethod)

    // A party on the bus as this endpoint knows it.
    struct Party
    {
        qint32 handle = 0;
        // Empty also while the party has not told its caption (one that was
        // busy or stopped when this endpoint joined).
        QString caption;
    };

    static constexpr const char *ProgId = "Calvorn.InterProc";
    static constexpr const char *Version = "1.00";

    // Connects to the session bus at once and joins it as a party with an
    // empty caption (or the one given); isConnected() tells whether that
    // worked, errorString() why not.
    explicit InterProcEndpoint(QObject *parent = nullptr);
    explicit InterProcEndpoint(const QString &caption, QObject *parent = nullptr);
    ~InterProcEndpoint() override;

    QVariant target() const;
    void setTarget(const QVariant &target);
    QString stringData() const;
    void setStringData(const QString &text);
    qint32 longData() const;
    void setLongData(qint32 value);
    qint32 targetSearchMethod() const;
    void setTargetSearchMethod(qint32 method);

    // This party's handle: a positive number unique among all parties on
    // the session bus; 0 while not connected.
    qint32 handle() const;
    // The caption other parties address this one by. A change is announced
    // on the bus at once. NUL characters become U+FFFD, as a D-Bus string
    // cannot hold them.
    QString caption() const;
    void setCaption(const QString &caption);

    bool isConnected() const;
    // Whether the endpoint knows the parties that were on the bus when it
    // connected (normally a few milliseconds after construction; ready()
    // follows).
    bool isReady() const;
    // Why the endpoint is not (or no longer) connected, or empty.
    QString errorString() const;

    // Every party on the bus that this endpoint knows, itself included, by
    // ascending handle: the parties a Send can address. Complete once
    // isReady(); kept current from the bus after that.
    QList<Party> parties() const;

    // Largest StringData, in bytes of UTF-8, that Send carries and a
    // receiver accepts.
    static qint64 maxTextBytes();

public Q_SLOTS:
    // Sends LongData and StringData to every party that Target and
    // TargetSearchMethod address, leaving out each party that a WindowCheck
    // handler skips. Returns at once with the number of parties addressed;
    // failures that happen later are reported through deliveryFailed() and
    // errorOccurred(). Before the endpoint is ready it returns -1 and the
    // payload goes out, WindowCheck first, once it is.
    int Send();

Q_SIGNALS:
    // A payload arrived. Raised on the endpoint's thread, one at a time,
    // never while a previous DataArrival handler still runs (also when that
    // handler runs a nested event loop). SenderHandle is 0 for senders
    // without a handle (command-line tools).
    void DataArrival(qint32 SenderHandle, const QString &SenderName, qint32 LongData,
                     const QString &StringData);
    // Raised in the sending endpoint for each addressed party before
    // delivery; setting Skip leaves that party out. Connect directly.
    void WindowCheck(qint32 WindowHandle, const QString &WindowName, bool &Skip);

    // A payload that Send addressed to this party was taken by it. For each
    // party a Send addresses, either this or deliveryFailed() follows.
    void delivered(qint32 WindowHandle, const QString &WindowName);
    // A payload could not be delivered to one party, or (the reason says
    // so) the party has not taken it in time: a frozen party still takes it
    // once it runs again.
    void deliveryFailed(qint32 WindowHandle, const QString &WindowName, const QString &reason);
    // Any failure, as a sentence for the user (delivery failures included).
    void errorOccurred(const QString &message);
    // The endpoint knows the parties on the bus; see isReady().
    void ready();
    // The session bus went away (its daemon ended): from now on the
    // endpoint neither sends nor receives, and isConnected() is false.
    void connectionLost();
    void captionChanged(const QString &caption);

private:
    std::unique_ptr<InterProcEndpointPrivate> d;
    friend class InterProcEndpointPrivate;
};
