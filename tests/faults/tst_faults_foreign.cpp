// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// Callers that are not well-behaved copies of the program: another user's
// process, and bus clients (this test) that call a window with wrong
// argument types, someone else's sender handle, an oversized text, or ten
// thousand calls at once. None of it delivers anything it should not, and
// the receiver keeps running with every valid payload. Parties that offer a
// window a direct channel of their own making, present a token that was
// given to another process, or take every place for channels do not get a
// window to run, connect to or refuse anything.
#include "channellog.h"
#include "interproc.h"
#include "nametakerprocess.h"
#include "peerprocess.h"
#include "sealedtext.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>
#include <QDBusVirtualObject>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QWidget>

#include <InterProc/interprocendpoint.h>

#include <pwd.h>
#include <unistd.h>

#include <limits>
#include <memory>

using namespace TestSupport;

namespace {

const QString SenderMismatch = QLatin1String(InterProcBus::ErrorSenderMismatch);
const QString InvalidText = QLatin1String(InterProcBus::ErrorInvalidText);
const QString TooLarge = QLatin1String(InterProcBus::ErrorTooLarge);
const QString UnknownMethod = QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod");

QDBusMessage callTo(qint32 handle, const QString &method, const QVariantList &arguments)
{
    QDBusMessage call =
        QDBusMessage::createMethodCall(serviceForHandle(handle), BusPath, BusInterface, method);
    call.setArguments(arguments);
    return call;
}

// The text argument(s) of a Deliver, DeliverUtf8 or DeliverSealed call.
void appendText(QVariantList &arguments, const QString &method, const QByteArray &text)
{
    if (method == QLatin1String("Deliver"))
        arguments << QString::fromUtf8(text);
    else if (method == QLatin1String("DeliverUtf8"))
        arguments << text;
    else
        arguments << QVariant::fromValue(sealedText(text)) << qulonglong(text.size());
}

// A value for a D-Bus address, escaped as the address syntax wants.
QByteArray addressValue(const QString &value)
{
    QByteArray escaped;
    for (char c : QFile::encodeName(value)) {
        if (std::isalnum(uchar(c)) || std::strchr("-_/.\\*", c))
            escaped += c;
        else
            escaped += '%' + QByteArray::number(uchar(c), 16).rightJustified(2, '0');
    }
    return escaped;
}

// A window played by this test that takes payloads and answers
// OpenDirectChannel with the address it was given.
class OfferingWindow : public QDBusVirtualObject
{
public:
    OfferingWindow(qint32 handle, const QByteArray &address) : m_handle(handle), m_address(address)
    {}

    QList<qint32> delivered;
    int offers = 0;

    QString introspect(const QString &) const override { return {}; }

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        const QString member = message.member();
        if (member == QLatin1String("Describe")) {
            connection.send(message.createReply({m_handle, QStringLiteral("Offering")}));
        } else if (member.startsWith(QLatin1String("Deliver"))) {
            delivered.append(message.arguments().value(2).toInt());
            connection.send(message.createReply());
        } else if (member == QLatin1String("OpenDirectChannel")) {
            ++offers;
            connection.send(
                message.createReply({QString::fromLatin1(m_address), QByteArray(16, 't')}));
        } else {
            return false;
        }
        return true;
    }

private:
    qint32 m_handle;
    QByteArray m_address;
};

// The socket path of a window's direct channel address, asked over the bus.
QString channelSocketOf(qint32 handle, QByteArray *token = nullptr)
{
    const QDBusMessage offer =
        QDBusConnection::sessionBus().call(callTo(handle, QStringLiteral("OpenDirectChannel"), {}));
    const QString address = offer.arguments().value(0).toString();
    if (token)
        *token = offer.arguments().value(1).toByteArray();
    if (!address.startsWith(QLatin1String("unix:path=")))
        return {};
    return QFile::decodeName(QByteArray::fromPercentEncoding(address.mid(10).toLatin1()));
}

} // namespace

class FaultsForeign : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();

    void otherUserIsRefused();
    void wrongArgumentTypes_data();
    void wrongArgumentTypes();
    void refusedSenderHandle_data();
    void refusedSenderHandle();
    void textOneByteOverTheLimit_data();
    void textOneByteOverTheLimit();
    void senderNameOverTheLimit_data();
    void senderNameOverTheLimit();
    void tenThousandCallsAtOnce();
    void offeredChannelNotFollowed_data();
    void offeredChannelNotFollowed();
    void channelTokenServesOnlyItsProcess();
    void oneProcessCannotTakeEveryChannel();
    void heldCallsKeepNoDescriptors();
    void unreadTextsBoundedPerCaller();
    void namesPosingAsAWindowsAreIgnored_data();
    void namesPosingAsAWindowsAreIgnored();

private:
    // Shows that nothing arrived at the receiver beyond what was taken: a
    // payload sent now on the same connection must be the next to arrive.
    void expectNothingMore();

    std::unique_ptr<Peer> m_receiver;
    std::unique_ptr<Peer> m_other;
    int m_markers = 0;
    qint32 m_nextOfferingHandle = 2000000000;
};

void FaultsForeign::initTestCase()
{
    m_receiver = std::make_unique<Peer>(QStringLiteral("Foreign Receiver"));
    m_other = std::make_unique<Peer>(QStringLiteral("Foreign Other"));
    m_receiver->start();
    m_other->start();
    QVERIFY2(m_receiver->waitReady(), m_receiver->transcript().constData());
    QVERIFY2(m_other->waitReady(), m_other->transcript().constData());
    // The receiver knows the other window and its owner.
    QVERIFY2(m_receiver->waitUntilSees(2, QString::number(m_other->handle()), 1),
             m_receiver->transcript().constData());
}

void FaultsForeign::cleanupTestCase()
{
    m_receiver.reset();
    m_other.reset();
}

void FaultsForeign::cleanup()
{
    QVERIFY2(m_receiver->isRunning(), m_receiver->transcript().constData());
    expectNothingMore();
}

void FaultsForeign::expectNothingMore()
{
    const qint32 marker = -(++m_markers);
    const QDBusMessage reply = QDBusConnection::sessionBus().call(
        callTo(m_receiver->handle(), QStringLiteral("Deliver"),
               {0, QStringLiteral("tst"), marker, QStringLiteral("marker")}));
    QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
    const std::optional<Arrival> arrival = m_receiver->nextArrival();
    QVERIFY2(arrival, m_receiver->transcript().constData());
    QCOMPARE(arrival->longData, marker);
    QCOMPARE(m_receiver->takeReceivedLines("FAILED "), QList<QByteArray>());
}

void FaultsForeign::otherUserIsRefused()
{
    if (::geteuid() != 0)
        QSKIP("only root can run a process as another user");
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    if (setpriv.isEmpty())
        QSKIP("setpriv is not installed");
    const passwd *nobody = ::getpwnam("nobody");
    if (!nobody)
        QSKIP("there is no user nobody");
    const QStringList asNobody = {QStringLiteral("--reuid=%1").arg(nobody->pw_uid),
                                  QStringLiteral("--regid=%1").arg(nobody->pw_gid),
                                  QStringLiteral("--clear-groups"), QStringLiteral("--")};
    if (QProcess::execute(setpriv,
                          asNobody + QStringList{QStringLiteral("test"), QStringLiteral("-x"),
                                                 QStringLiteral(INTERPROC_PEER)}) != 0)
        QSKIP("user nobody cannot run the peer program where it was built");

    // The same program, on the same bus address, as another user.
    LineProcess foreign(setpriv, asNobody + QStringList{QStringLiteral(INTERPROC_PEER),
                                                        QStringLiteral("Foreign User")});
    foreign.start();
    const QByteArray line = foreign.takeLineIf([](const QByteArray &l) {
        return l.startsWith("NOTCONNECTED ") || l.startsWith("READY ");
    });
    QVERIFY2(line.startsWith("NOTCONNECTED "), foreign.transcript().constData());
    qInfo("as user nobody: %s", qPrintable(unb64(line.mid(13))));
    QVERIFY(!unb64(line.mid(13)).trimmed().isEmpty());
    QVERIFY(waitForExit(foreign.process()));
    QCOMPARE(foreign.process().exitStatus(), QProcess::NormalExit);
    QVERIFY(foreign.process().exitCode() != 0);
}

void FaultsForeign::wrongArgumentTypes_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QVariantList>("arguments");

    const QString tst = QStringLiteral("tst");
    const QString text = QStringLiteral("text");
    QTest::newRow("Deliver(iisi)") << "Deliver" << QVariantList{0, 5, 3, text};
    QTest::newRow("Deliver(isi)") << "Deliver" << QVariantList{0, tst, 3};
    QTest::newRow("Deliver(isiss)") << "Deliver" << QVariantList{0, tst, 3, text, text};
    QTest::newRow("Deliver(usus)") << "Deliver" << QVariantList{0u, tst, 3u, text};
    QTest::newRow("Deliver(isxs)") << "Deliver" << QVariantList{0, tst, qlonglong(3), text};
    QTest::newRow("Deliver()") << "Deliver" << QVariantList{};
    QTest::newRow("DeliverUtf8(isis)") << "DeliverUtf8" << QVariantList{0, tst, 3, text};
    QTest::newRow("DeliverUtf8(isiai)")
        << "DeliverUtf8" << QVariantList{0, tst, 3, QVariant::fromValue(QList<int>{104, 105})};
    QTest::newRow("DeliverSealed(isiit)")
        << "DeliverSealed" << QVariantList{0, tst, 3, 5, qulonglong(4)};
    QTest::newRow("DeliverSealed(isih)")
        << "DeliverSealed" << QVariantList{0, tst, 3, QVariant::fromValue(sealedText("text"))};
    QTest::newRow("DeliverSealed(isiay)")
        << "DeliverSealed" << QVariantList{0, tst, 3, QByteArray("text")};
    QTest::newRow("DeliverSealed(isihi)")
        << "DeliverSealed" << QVariantList{0, tst, 3, QVariant::fromValue(sealedText("text")), 4};
    QTest::newRow("DeliverSealedUtf16(isiay)")
        << "DeliverSealedUtf16" << QVariantList{0, tst, 3, QByteArray("t\0e\0", 4)};
    QTest::newRow("DeliverSealedUtf16(isih)")
        << "DeliverSealedUtf16"
        << QVariantList{0, tst, 3, QVariant::fromValue(sealedText(QByteArray("t\0", 2)))};
    QTest::newRow("Features(s)") << "Features" << QVariantList{text};
}

void FaultsForeign::wrongArgumentTypes()
{
    QFETCH(QString, method);
    QFETCH(QVariantList, arguments);

    const QDBusMessage reply =
        QDBusConnection::sessionBus().call(callTo(m_receiver->handle(), method, arguments));
    // No method of the window takes these arguments.
    QCOMPARE(reply.errorName(), UnknownMethod);
    // cleanup() shows that nothing arrived.
}

void FaultsForeign::refusedSenderHandle_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QString>("handle"); // a number, or whose handle it is

    for (const char *method : {"Deliver", "DeliverUtf8", "DeliverSealed"}) {
        const auto row = [&](const char *what, const char *handle) {
            QTest::addRow("%s, %s", method, what) << QString::fromLatin1(method) << handle;
        };
        row("-1", "-1");
        row("lowest", "-2147483648");
        row("highest", "2147483647");
        row("another process's window", "other");
        row("the receiver's own window", "receiver");
        row("a window of this process on another connection", "in-process");
    }
}

void FaultsForeign::refusedSenderHandle()
{
    QFETCH(QString, method);
    QFETCH(QString, handle);

    // A window of this process, which has a bus connection of its own.
    QWidget host;
    host.setWindowTitle(QStringLiteral("Foreign In-process"));
    auto *ip = new InterProc(&host);
    QVERIFY2(ip->isConnected(), qPrintable(ip->errorString()));
    QVERIFY2(m_receiver->waitUntilSees(0, host.windowTitle(), 1),
             m_receiver->transcript().constData());

    qint32 senderHandle = 0;
    if (handle == QLatin1String("other"))
        senderHandle = m_other->handle();
    else if (handle == QLatin1String("receiver"))
        senderHandle = m_receiver->handle();
    else if (handle == QLatin1String("in-process"))
        senderHandle = ip->windowHandle();
    else
        senderHandle = handle.toInt();

    QVariantList arguments{senderHandle, QStringLiteral("tst"), 5};
    appendText(arguments, method, "refused");
    const QDBusMessage reply =
        QDBusConnection::sessionBus().call(callTo(m_receiver->handle(), method, arguments));
    QCOMPARE(reply.errorName(), SenderMismatch);
}

void FaultsForeign::textOneByteOverTheLimit_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<qint64>("size");
    QTest::newRow("sealed") << QStringLiteral("DeliverSealed") << InterProc::maxTextBytes() + 1;
    QTest::newRow("UTF-8 bytes") << QStringLiteral("DeliverUtf8")
                                 << qint64(InterProcBus::InlineTextLimit + 1);
    QTest::newRow("string") << QStringLiteral("Deliver")
                            << qint64(InterProcBus::InlineTextLimit + 1);
}

void FaultsForeign::textOneByteOverTheLimit()
{
    QFETCH(QString, method);
    QFETCH(qint64, size);
    QVariantList arguments{0, QStringLiteral("tst"), 6};
    if (method == QLatin1String("DeliverSealed")) {
        // Sparse: the file takes no memory until someone reads it.
        const QDBusUnixFileDescriptor descriptor = sealedText({}, size);
        QVERIFY(descriptor.isValid());
        arguments << QVariant::fromValue(descriptor) << qulonglong(size);
    } else if (method == QLatin1String("DeliverUtf8")) {
        arguments << QByteArray(size, 'u');
    } else {
        arguments << QString(size, u's');
    }
    const QDBusMessage reply =
        QDBusConnection::sessionBus().call(callTo(m_receiver->handle(), method, arguments));
    QCOMPARE(reply.errorName(), TooLarge);
}

void FaultsForeign::senderNameOverTheLimit_data()
{
    QTest::addColumn<QString>("method");
    for (const char *method : {"Deliver", "DeliverUtf8", "DeliverSealed"})
        QTest::newRow(method) << QString::fromLatin1(method);
}

void FaultsForeign::senderNameOverTheLimit()
{
    QFETCH(QString, method);
    // A name is a caption, 1024 characters of at most 4 bytes each; one
    // byte more is refused, a name of that many bytes is taken.
    for (const qsizetype bytes : {4097, 4096}) {
        QVariantList arguments{0, QString(bytes, u'n'), 8};
        appendText(arguments, method, "named");
        const QDBusMessage reply =
            QDBusConnection::sessionBus().call(callTo(m_receiver->handle(), method, arguments));
        if (bytes > 4096) {
            QCOMPARE(reply.errorName(), TooLarge);
        } else {
            QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
            const std::optional<Arrival> arrival = m_receiver->nextArrival();
            QVERIFY2(arrival, m_receiver->transcript().constData());
            QCOMPARE(arrival->name.size(), bytes);
        }
    }
}

void FaultsForeign::tenThousandCallsAtOnce()
{
    constexpr int Calls = 10000;
    // Each fifth call is valid through Deliver, each fifth through
    // DeliverUtf8; the others are refused for their text, their argument
    // types or their sender handle.
    enum Kind { Valid, ValidUtf8, BadText, BadTypes, BadSender, Kinds };
    const qint64 before = m_receiver->arrivedCount();
    QVERIFY(before >= 0);

    QList<qint32> expected;
    int answered = 0;
    QStringList wrong;
    QElapsedTimer clock;
    clock.start();
    QDBusConnection bus = QDBusConnection::sessionBus();
    const qint32 receiver = m_receiver->handle();
    for (int i = 0; i < Calls; ++i) {
        const qint32 number = i + 1;
        const int kind = i % Kinds;
        QDBusMessage call;
        switch (kind) {
        case Valid:
            call = callTo(receiver, QStringLiteral("Deliver"),
                          {0, QStringLiteral("tst"), number, QStringLiteral("valid")});
            break;
        case ValidUtf8:
            call = callTo(receiver, QStringLiteral("DeliverUtf8"),
                          {0, QStringLiteral("tst"), number, QByteArray("valid")});
            break;
        case BadText:
            call = callTo(receiver, QStringLiteral("DeliverUtf8"),
                          {0, QStringLiteral("tst"), number, QByteArray("in\xC0valid")});
            break;
        case BadTypes:
            call = callTo(receiver, QStringLiteral("Deliver"),
                          {0, number, number, QStringLiteral("wrong types")});
            break;
        case BadSender:
            call = callTo(receiver, QStringLiteral("DeliverUtf8"),
                          {m_other->handle(), QStringLiteral("tst"), number, QByteArray("theirs")});
            break;
        }
        if (kind == Valid || kind == ValidUtf8)
            expected.append(number);
        auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this,
                [&, kind, number](QDBusPendingCallWatcher *w) {
                    w->deleteLater();
                    ++answered;
                    const QDBusMessage reply = w->reply();
                    bool right = false;
                    switch (kind) {
                    case Valid:
                    case ValidUtf8:
                        right = reply.type() == QDBusMessage::ReplyMessage;
                        break;
                    case BadText:
                        right = reply.errorName() == InvalidText;
                        break;
                    case BadTypes:
                        right = reply.errorName() == UnknownMethod;
                        break;
                    case BadSender:
                        right = reply.errorName() == SenderMismatch;
                        break;
                    }
                    if (!right)
                        wrong.append(QStringLiteral("call %1: %2 %3")
                                         .arg(number)
                                         .arg(reply.errorName(), reply.errorMessage()));
                });
    }
    const qint64 issuedMs = clock.elapsed();

    // Arrivals are read while the calls are answered, so that the receiver
    // never waits for its output to be taken.
    QList<qint32> arrived;
    QStringList strange;
    QVERIFY2(QTest::qWaitFor(
                 [&] {
                     for (const QByteArray &line : m_receiver->takeReceivedLines("ARRIVAL ")) {
                         const std::optional<Arrival> a = Arrival::parse(line);
                         if (a && a->sender == 0 && a->name == QLatin1String("tst") &&
                             a->text == QLatin1String("valid"))
                             arrived.append(a->longData);
                         else
                             strange.append(QString::fromUtf8(line));
                     }
                     return answered == Calls && arrived.size() >= expected.size();
                 },
                 4 * LineTimeoutMs),
             qPrintable(QStringLiteral("%1 of %2 calls answered, %3 of %4 payloads arrived")
                            .arg(answered)
                            .arg(Calls)
                            .arg(arrived.size())
                            .arg(expected.size())));
    const qint64 doneMs = clock.elapsed();
    qInfo("%d calls issued in %lld ms; all answered and %lld payloads logged after %lld ms "
          "(%.0f calls/s)",
          Calls, issuedMs, qint64(arrived.size()), doneMs, Calls * 1000.0 / std::max(doneMs, 1LL));

    QCOMPARE(wrong.mid(0, 5), QStringList());
    QCOMPARE(strange.mid(0, 5), QStringList());
    QCOMPARE(arrived, expected);
    QCOMPARE(m_receiver->arrivedCount(), before + expected.size());
}

void FaultsForeign::offeredChannelNotFollowed_data()
{
    QTest::addColumn<QString>("offer");
    QTest::newRow("a command after a missing socket") << QStringLiteral("command");
    QTest::newRow("a TCP port after a missing socket") << QStringLiteral("tcp");
    QTest::newRow("a socket outside the runtime directory") << QStringLiteral("outside");
    QTest::newRow("a link to it in the runtime directory") << QStringLiteral("link");
    QTest::newRow("a socket of another process") << QStringLiteral("other process");
}

void FaultsForeign::offeredChannelNotFollowed()
{
    QFETCH(QString, offer);
    // A party that owns a window name is sent a payload by the receiver,
    // which asks it for a direct channel and is offered one of the party's
    // making. The receiver must neither run, nor connect to, nor speak to
    // anything of it, and its payloads go over the bus as before.
    QTemporaryDir scratch;
    QVERIFY(scratch.isValid());
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    QVERIFY(!runtime.isEmpty());
    QByteArray random(8, Qt::Uninitialized);
    for (char &c : random)
        c = char(QRandomGenerator::global()->bounded(256));
    const QString name =
        QStringLiteral("calvorn-interproc-%1.socket").arg(QString::fromLatin1(random.toHex()));
    const QString inRuntime = runtime + u'/' + name;
    const auto removeLink = qScopeGuard([&] { QFile::remove(inRuntime); });

    QByteArray address;
    std::function<bool()> followed;
    const QString ran = scratch.filePath(QStringLiteral("ran"));
    QTcpServer tcp;
    QLocalServer local;
    bool connected = false;
    connect(&local, &QLocalServer::newConnection, this, [&] { connected = true; });
    std::unique_ptr<LineProcess> listener;
    if (offer == QLatin1String("command")) {
        address = "unix:path=/missing;unixexec:path=/bin/sh,argv1=-c,argv2=" +
                  addressValue(QStringLiteral("touch ") + ran);
        followed = [&] {
            return QFile::exists(ran);
        };
    } else if (offer == QLatin1String("tcp")) {
        QVERIFY(tcp.listen(QHostAddress::LocalHost));
        address =
            "unix:path=/missing;tcp:host=127.0.0.1,port=" + QByteArray::number(tcp.serverPort());
        followed = [&] {
            return tcp.hasPendingConnections();
        };
    } else if (offer == QLatin1String("outside") || offer == QLatin1String("link")) {
        // Listened on by this process, which also owns the offering name.
        const QString socket = scratch.filePath(name);
        QVERIFY(local.listen(socket));
        if (offer == QLatin1String("link"))
            QVERIFY(QFile::link(socket, inRuntime));
        address = "unix:path=" + addressValue(offer == QLatin1String("link") ? inRuntime : socket);
        followed = [&] {
            return connected;
        };
    } else {
        // Where an endpoint's socket would be, but another process listens.
        listener = std::make_unique<LineProcess>(QStringLiteral(FAULTS_CLIENT),
                                                 QStringList{QStringLiteral("listen"), inRuntime});
        listener->start();
        QVERIFY2(!listener->takeLine("LISTENING").isEmpty(), listener->transcript().constData());
        address = "unix:path=" + addressValue(inRuntime);
        followed = [&] {
            return listener->countReceivedLines("RECEIVED ") > 0;
        };
    }

    const qint32 handle = ++m_nextOfferingHandle;
    const QString connectionName = QStringLiteral("offering %1").arg(handle);
    QDBusConnection bus =
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, connectionName);
    const auto disconnect =
        qScopeGuard([&] { QDBusConnection::disconnectFromBus(connectionName); });
    OfferingWindow window(handle, address);
    QVERIFY(bus.registerVirtualObject(BusPath, &window));
    QVERIFY(bus.registerService(serviceForHandle(handle)));
    QVERIFY2(m_receiver->waitUntilSees(InterProc::WindowHandle, QString::number(handle), 1),
             m_receiver->transcript().constData());

    QCOMPARE(m_receiver->send(InterProc::WindowHandle, QString::number(handle), 11,
                              QStringLiteral("first")),
             1);
    QTRY_VERIFY_WITH_TIMEOUT(window.offers == 1 && !window.delivered.isEmpty(), LineTimeoutMs);
    QVERIFY2(!QTest::qWaitFor(followed, 2000), qPrintable(QStringLiteral("the receiver followed "
                                                                         "the offer ") +
                                                          QString::fromLatin1(address)));
    QCOMPARE(m_receiver->send(InterProc::WindowHandle, QString::number(handle), 12,
                              QStringLiteral("second")),
             1);
    QTRY_COMPARE_WITH_TIMEOUT(window.delivered, (QList<qint32>{11, 12}), LineTimeoutMs);
    QVERIFY(!followed());
    QCOMPARE(window.offers, 1);
    // cleanup() shows that the receiver reported no failure.
}

void FaultsForeign::channelTokenServesOnlyItsProcess()
{
    // This process is given a token; another process presents it.
    QByteArray token;
    const QString socket = channelSocketOf(m_receiver->handle(), &token);
    QVERIFY2(!socket.isEmpty(), "the receiver offers no channel: is XDG_RUNTIME_DIR private?");
    LineProcess other(QStringLiteral(FAULTS_CLIENT),
                      {QStringLiteral("attach"),
                       QStringLiteral("unix:path=") + QString::fromLatin1(addressValue(socket)),
                       QString::fromLatin1(token.toHex())});
    other.start();
    const QByteArray denied = "org.freedesktop.DBus.Error.AccessDenied";
    QCOMPARE(other.takeLine("ATTACHED "), "ATTACHED " + denied);
    QCOMPARE(other.takeLine("DELIVERED "), "DELIVERED " + denied);
    QVERIFY(waitForExit(other.process()));
    // cleanup() shows that nothing arrived.
}

void FaultsForeign::oneProcessCannotTakeEveryChannel()
{
    // One process keeps as many connections open as a window holds in all,
    // opening them again as they are closed; another still gets a channel.
    const QString socket = channelSocketOf(m_receiver->handle());
    QVERIFY2(!socket.isEmpty(), "the receiver offers no channel: is XDG_RUNTIME_DIR private?");
    LineProcess hog(QStringLiteral(FAULTS_CLIENT),
                    {QStringLiteral("hog"), socket, QStringLiteral("32")});
    hog.start();
    QTest::qWait(1000);

    const ChannelLog log;
    InterProcEndpoint sender(QStringLiteral("Foreign Channel Seeker"));
    QTRY_VERIFY_WITH_TIMEOUT(sender.isReady(), LineTimeoutMs);
    sender.setTargetSearchMethod(InterProcEndpoint::WindowHandle);
    sender.setTarget(QString::number(m_receiver->handle()));
    sender.setLongData(21);
    sender.setStringData(QStringLiteral("through"));
    QCOMPARE(sender.Send(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(!ChannelLog::lines().isEmpty(), 5000);
    QVERIFY2(ChannelLog::lines().first().endsWith(QLatin1String("open")),
             qPrintable(ChannelLog::lines().join(u'\n')));
    const std::optional<Arrival> arrival = m_receiver->nextArrival();
    QVERIFY2(arrival, m_receiver->transcript().constData());
    QCOMPARE(arrival->longData, 21);
    QVERIFY(hog.isRunning());
}

namespace {
// The texts in memfds this process has open, as senders name them.
int openTextDescriptors()
{
    int count = 0;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QFileInfo &fd : fds.entryInfoList(QDir::Files | QDir::System)) {
        if (fd.symLinkTarget().contains(QLatin1String("memfd:calvorn-interproc-text")))
            ++count;
    }
    return count;
}
} // namespace

void FaultsForeign::heldCallsKeepNoDescriptors()
{
    // While the program is busy with a payload, the calls of the next ones
    // wait to be answered; their texts have been read, and nothing of what
    // their calls carried stays open.
    constexpr int Texts = 10;
    InterProcEndpoint receiver(QStringLiteral("Foreign Busy Receiver"));
    QTRY_VERIFY_WITH_TIMEOUT(receiver.isReady(), LineTimeoutMs);
    QVERIFY2(m_other->waitUntilSees(InterProc::WindowHandle, QString::number(receiver.handle()), 1),
             m_other->transcript().constData());
    int arrived = 0;
    int heldOpen = -1;
    connect(&receiver, &InterProcEndpoint::DataArrival, this, [&] {
        if (++arrived == 1) {
            QTest::qWait(2000);
            heldOpen = openTextDescriptors();
        }
    });
    for (int i = 1; i <= Texts; ++i) {
        m_other->command("sendbig " + QByteArray::number(InterProc::WindowHandle) + ' ' +
                         b64(QString::number(receiver.handle())) + ' ' + QByteArray::number(i) +
                         " 100000");
        QVERIFY2(m_other->takeLine("SENT 1").size() > 0, m_other->transcript().constData());
    }
    QTRY_COMPARE_WITH_TIMEOUT(arrived, Texts, LineTimeoutMs);
    QCOMPARE(heldOpen, 0);
    QCOMPARE(m_other->takeReceivedLines("FAILED "), QList<QByteArray>());
}

void FaultsForeign::unreadTextsBoundedPerCaller()
{
    // A receiver waits before it reads the next text while its program holds
    // a text of a million characters (up to a second). Meanwhile one caller
    // sends more texts in memfds than it may have waiting: the rest are
    // refused, and every other one arrives. On a machine so loaded that the
    // calls take longer than that wait to be read, none need be refused: the
    // receiver is given three tries.
    constexpr int Calls = 400;
    constexpr int Tries = 3;
    QDBusConnection bus = QDBusConnection::sessionBus();
    auto sealedCall = [](const QString &window, const QByteArray &text) {
        QDBusMessage call =
            QDBusMessage::createMethodCall(window, BusPath, BusInterface, "DeliverSealed");
        call << 0 << QStringLiteral("tst") << 1 << QVariant::fromValue(sealedText(text))
             << qulonglong(text.size());
        return call;
    };
    int refused = 0;
    for (int attempt = 1; attempt <= Tries && refused == 0; ++attempt) {
        InterProcEndpoint receiver(QStringLiteral("Foreign Holding Receiver %1").arg(attempt));
        QTRY_VERIFY_WITH_TIMEOUT(receiver.isReady(), LineTimeoutMs);
        QString held;
        int arrived = 0;
        connect(&receiver, &InterProcEndpoint::DataArrival, this,
                [&](qint32, const QString &, qint32, const QString &text) {
                    if (held.isNull())
                        held = text;
                    else
                        ++arrived;
                });
        const QString window = serviceForHandle(receiver.handle());
        // Made beforehand, so that they go out well within the receiver's
        // wait.
        QList<QDBusMessage> smalls;
        for (int i = 0; i < Calls; ++i)
            smalls.append(sealedCall(window, "small"));
        // The receiver answers from this thread's event loop: no call here
        // blocks.
        const QDBusPendingCall first =
            bus.asyncCall(sealedCall(window, QByteArray(1024 * 1024, 'h')));
        QTRY_VERIFY_WITH_TIMEOUT(!held.isNull(), LineTimeoutMs);
        QList<QDBusPendingCall> calls;
        for (const QDBusMessage &call : std::as_const(smalls))
            calls.append(bus.asyncCall(call));
        QTRY_VERIFY_WITH_TIMEOUT(
            std::all_of(calls.cbegin(), calls.cend(),
                        [](const QDBusPendingCall &c) { return c.isFinished(); }),
            LineTimeoutMs);
        for (const QDBusPendingCall &call : calls) {
            const QDBusMessage reply = QDBusPendingReply<>(call).reply();
            if (reply.type() == QDBusMessage::ErrorMessage) {
                QCOMPARE(reply.errorName(),
                         QStringLiteral("org.freedesktop.DBus.Error.LimitsExceeded"));
                ++refused;
            }
        }
        QVERIFY2(refused <= Calls - 256, qPrintable(QString::number(refused)));
        QTRY_COMPARE_WITH_TIMEOUT(arrived, Calls - refused, LineTimeoutMs);
        QVERIFY(first.isFinished() && !first.isError());
    }
    QVERIFY2(refused > 0, "no text was refused in any try");
}

void FaultsForeign::namesPosingAsAWindowsAreIgnored_data()
{
    // Another process takes a name that a party might take for a window's:
    // its caption desk (the window has none) before the party joins, or the
    // window's name spelt with a leading zero once the party knows it.
    QTest::addColumn<int>("guise");
    QTest::newRow("caption desk") << int(NameTaker::CaptionDesk);
    QTest::newRow("H0<handle>") << int(NameTaker::Alias);
}

void FaultsForeign::namesPosingAsAWindowsAreIgnored()
{
    QFETCH(int, guise);
    NameTaker window(1, NameTaker::Now, QStringLiteral("Real Window"));
    window.start();
    QVERIFY(window.waitReady(1));
    const qint32 handle = window.firstHandle();
    const std::unique_ptr<NameTaker> poser =
        NameTaker::posingAs(NameTaker::Guise(guise), handle, QStringLiteral("Forged Window"));
    Peer party(QStringLiteral("Joins Among Posers"), {QStringLiteral("--outcomes")});
    const auto join = [&party] {
        party.start();
        return party.waitReady();
    };
    if (guise == NameTaker::Alias)
        QVERIFY2(join(), party.transcript().constData());
    poser->start();
    QVERIFY(poser->waitReady(1));
    if (guise == NameTaker::CaptionDesk)
        QVERIFY2(join(), party.transcript().constData());
    // The bus tells the party of names in the order they were taken: once it
    // sees a window that came later, it has heard of the poser.
    NameTaker later(1, NameTaker::Now, QStringLiteral("Later Window"));
    later.start();
    QVERIFY(later.waitReady(1));
    QVERIFY2(party.waitUntilSees(InterProc::WindowHandle, QString::number(later.firstHandle()), 1),
             party.transcript().constData());

    QTRY_COMPARE_WITH_TIMEOUT(party.partyCaption(handle),
                              std::optional(QStringLiteral("Real Window")), LineTimeoutMs);
    QCOMPARE(party.send(InterProc::WindowHandle, QString::number(handle), 1,
                        QStringLiteral("to the real one")),
             1);
    QCOMPARE(party.takeLine("DELIVERED "), "DELIVERED " + QByteArray::number(handle));
    QCOMPARE(party.takeReceivedLines("FAILED "), QList<QByteArray>());
}

QTEST_MAIN(FaultsForeign)
#include "tst_faults_foreign.moc"
