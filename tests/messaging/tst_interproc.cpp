// Contract tests of InterProc: instances in separate peer processes (see
// tests/support/interproc_peer.cpp), and two inside this process, all on the
// private session bus the test runs on.
#include "interproc.h"
#include "peerprocess.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusUnixFileDescriptor>
#include <QEventLoop>
#include <QProcess>
#include <QScopeGuard>
#include <QSet>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QWidget>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <optional>

using namespace TestSupport;

namespace {

constexpr int HugeTimeoutMs = 400000;

// A text of exactly `bytes` bytes of UTF-8: a leading byte order mark, then
// characters one to four bytes long with CR LF and NUL among them.
QString textOfUtf8Bytes(qsizetype bytes)
{
    static const QStringList pieces = {
        QStringLiteral("x"),      QStringLiteral("\r\n"),   QString(QChar(u'\0')),
        QStringLiteral("\u00fc"), QStringLiteral("\u20ac"), QString::fromUtf8("\xF0\x9F\x98\x80")};
    QString text = QStringLiteral("\uFEFF");
    qsizetype used = 3;
    for (qsizetype i = 0;; ++i) {
        const QString &piece = pieces.at(i % pieces.size());
        const qsizetype size = piece.toUtf8().size();
        if (used + size > bytes - 4)
            break;
        text += piece;
        used += size;
    }
    text += QString(bytes - used, QLatin1Char('z'));
    return text;
}

// Stops the test function when a helper that checks things has failed.
#define CHECKED(call)                                                                              \
    do {                                                                                           \
        call;                                                                                      \
        if (QTest::currentTestFailed())                                                            \
            return;                                                                                \
    } while (false)

struct Utf8Payload
{
    qint32 senderHandle;
    QString senderName;
    qint32 longData;
    QByteArray text;
};

} // namespace

class TestInterProc : public QObject
{
    Q_OBJECT

private slots:
    void addressing_data();
    void addressing();
    void prefixBroadcastLeavesOutSender_data();
    void prefixBroadcastLeavesOutSender();
    void acknowledgements_data();
    void acknowledgements();
    void senderNameFollowsCaption_data();
    void senderNameFollowsCaption();

    void manyPayloadsArriveInOrder_data();
    void manyPayloadsArriveInOrder();
    void textsArriveExactly_data();
    void textsArriveExactly();
    void hugeTextArrivesExactly();
    void killedReceiverHurtsNoOther();

    void handlesArePositiveAndDistinct_data();
    void handlesArePositiveAndDistinct();
    void twoInstancesInOneProcess();
    void sendBeforeReadyIsHeldBack();
    void receiverChecksSenderBeforeReady();
    void arrivalsWaitForANestedEventLoop();

    void commandLineDeliver_data();
    void commandLineDeliver();
    void refusesInvalidUtf8_data();
    void refusesInvalidUtf8();
    void checksTextDescriptor_data();
    void checksTextDescriptor();
    void reportsMissingSessionBus_data();
    void reportsMissingSessionBus();

private:
    bool startAll(const PeerList &peers, bool together = false);
    void expectArrival(Peer &receiver, const Arrival &expected, int timeoutMs = LineTimeoutMs);
    void expectNothingMoreFrom(Peer &sender, Peer &receiver);
    QDBusMessage deliverUtf8(const Peer &receiver, const QByteArray &text);

    int m_markers = 0;
};

// Starts the peers one after the other, or all at once.
bool TestInterProc::startAll(const PeerList &peers, bool together)
{
    for (const auto &peer : peers) {
        peer->start();
        if (!together && !peer->waitReady()) {
            qWarning("peer did not start:%s", peer->transcript().constData());
            return false;
        }
    }
    for (const auto &peer : peers) {
        if (together && !peer->waitReady()) {
            qWarning("peer did not start:%s", peer->transcript().constData());
            return false;
        }
    }
    return true;
}

void TestInterProc::expectArrival(Peer &receiver, const Arrival &expected, int timeoutMs)
{
    const std::optional<Arrival> arrival = receiver.nextArrival(timeoutMs);
    QVERIFY2(arrival, receiver.transcript().constData());
    QCOMPARE(*arrival, expected);
}

// Shows that sender has sent receiver nothing beyond what was taken: one
// connection's messages reach a receiver in order, so a marker that sender
// sends now must be the next payload receiver sees.
void TestInterProc::expectNothingMoreFrom(Peer &sender, Peer &receiver)
{
    const qint32 number = -(++m_markers);
    const QString marker = QStringLiteral("marker %1").arg(-number);
    QCOMPARE(sender.sendTo(receiver, number, marker), 1);
    CHECKED(
        expectArrival(receiver, Arrival::of(sender.handle(), sender.caption(), number, marker)));
}

void TestInterProc::addressing_data()
{
    QTest::addColumn<int>("method");
    QTest::addColumn<QString>("target");
    // Receivers by caption; for method 2 the target is the handle of the
    // window whose caption is target.
    QTest::addColumn<QStringList>("receivers");

    const QString alpha = QStringLiteral("Addr Alpha");
    const QString alphaTwo = QStringLiteral("Addr Alpha Two");
    const QString beta = QStringLiteral("Addr Beta");
    const QString sender = QStringLiteral("Addr Sender");

    QTest::newRow("exact caption") << 0 << alpha << QStringList{alpha};
    QTest::newRow("exact caption, longer captions left out")
        << 0 << alphaTwo << QStringList{alphaTwo};
    QTest::newRow("exact caption, a prefix matches none")
        << 0 << QStringLiteral("Addr Alph") << QStringList{};
    QTest::newRow("exact caption, trailing blank matches none")
        << 0 << QStringLiteral("Addr Beta ") << QStringList{};
    QTest::newRow("exact caption, own window") << 0 << sender << QStringList{sender};
    QTest::newRow("prefix") << 1 << QStringLiteral("Addr Alpha") << QStringList{alpha, alphaTwo};
    QTest::newRow("prefix, whole caption") << 1 << alphaTwo << QStringList{alphaTwo};
    QTest::newRow("prefix of every window")
        << 1 << QStringLiteral("Addr ") << QStringList{alpha, alphaTwo, beta, sender};
    QTest::newRow("prefix matching none") << 1 << QStringLiteral("Addr Gamma") << QStringList{};
    QTest::newRow("prefix longer than captions")
        << 1 << QStringLiteral("Addr Beta and more") << QStringList{};
    QTest::newRow("handle") << 2 << beta << QStringList{beta};
    QTest::newRow("own handle") << 2 << sender << QStringList{sender};
    QTest::newRow("handle of no window") << 2 << QString() << QStringList{};
}

void TestInterProc::addressing()
{
    QFETCH(int, method);
    QFETCH(QString, target);
    QFETCH(QStringList, receivers);

    const QStringList captions = {QStringLiteral("Addr Alpha"), QStringLiteral("Addr Alpha Two"),
                                  QStringLiteral("Addr Beta"), QStringLiteral("Addr Sender")};
    PeerList peers;
    for (const QString &caption : captions)
        peers.push_back(std::make_unique<Peer>(caption));
    QVERIFY(startAll(peers));
    Peer &sender = *peers.back();
    QVERIFY2(sender.waitUntilSees(1, QStringLiteral("Addr "), 4), sender.transcript().constData());

    if (method == InterProc::WindowHandle) {
        qint32 handle = 1;
        for (const auto &peer : peers) {
            if (peer->caption() == target)
                handle = peer->handle();
        }
        // A handle that no window has.
        while (target.isEmpty() && std::any_of(peers.begin(), peers.end(),
                                               [&](auto &p) { return p->handle() == handle; }))
            ++handle;
        target = QString::number(handle);
    }

    const QString text = QStringLiteral("addressed");
    QCOMPARE(sender.send(method, target, 17, text), int(receivers.size()));
    for (const auto &peer : peers) {
        if (receivers.contains(peer->caption()))
            CHECKED(expectArrival(*peer, Arrival::of(sender.handle(), sender.caption(), 17, text)));
        CHECKED(expectNothingMoreFrom(sender, *peer));
    }
}

void TestInterProc::prefixBroadcastLeavesOutSender_data()
{
    QTest::addColumn<int>("senderIndex"); // 0 the server, 1..3 the clients
    QTest::newRow("from a client") << 1;
    QTest::newRow("from the server") << 0;
}

// Every instance here answers WindowCheck and acknowledges what it receives
// with the window program's own code (skipOwnWindow, acknowledgementText,
// isAcknowledgement), as a window would.
void TestInterProc::prefixBroadcastLeavesOutSender()
{
    QFETCH(int, senderIndex);
    const QString clients = QStringLiteral("Calvorn Control Sample - Client");
    const QStringList options = {QStringLiteral("--skip-self"), QStringLiteral("--ack")};
    PeerList peers;
    peers.push_back(
        std::make_unique<Peer>(QStringLiteral("Calvorn Control Sample - Server App"), options));
    for (const char *time : {"10:23:45", "10:23:46", "10:23:46"})
        peers.push_back(std::make_unique<Peer>(
            clients + QLatin1String(" App - ") + QLatin1String(time), options));
    QVERIFY(startAll(peers));
    Peer &sender = *peers.at(senderIndex);
    QVERIFY2(sender.waitUntilSees(1, QStringLiteral("Calvorn Control Sample - "), 4),
             sender.transcript().constData());

    QList<Peer *> receivers;
    QSet<QByteArray> expectedChecks;
    for (qsizetype i = 1; i < qsizetype(peers.size()); ++i) {
        Peer &client = *peers.at(i);
        expectedChecks.insert(QByteArray::number(client.handle()) + ' ' + b64(client.caption()));
        if (&client != &sender)
            receivers.append(&client);
    }

    const QString text = QStringLiteral("to all clients");
    QCOMPARE(sender.send(1, clients, 99, text), int(receivers.size()));
    // WindowCheck ran in the sender, before Send returned, once for each
    // client window, the sender's own included.
    QSet<QByteArray> checks;
    for (const QByteArray &line : sender.takeReceivedLines("CHECK "))
        checks.insert(line.mid(6));
    QCOMPARE(checks, expectedChecks);

    for (Peer *receiver : receivers)
        CHECKED(expectArrival(*receiver, Arrival::of(sender.handle(), sender.caption(), 99, text)));
    if (senderIndex != 0)
        CHECKED(expectNothingMoreFrom(sender, *peers.at(0)));

    // Had the sender sent itself the payload, it would be among the sender's
    // arrivals before the answer to a marker sent after it.
    Peer &relay = *receivers.first();
    QCOMPARE(sender.sendTo(relay, 1, QStringLiteral("relay")), 1);
    QList<Arrival> arrivals;
    const Arrival ack = Arrival::of(relay.handle(), relay.caption(), 0,
                                    QStringLiteral("OK from \"%1\"").arg(relay.caption()));
    while (arrivals.count(ack) < 2) {
        const std::optional<Arrival> arrival = sender.nextArrival();
        QVERIFY2(arrival, sender.transcript().constData());
        arrivals.append(*arrival);
    }
    for (const Arrival &arrival : arrivals)
        QVERIFY2(arrival.sender != sender.handle(), sender.transcript().constData());
}

void TestInterProc::acknowledgements_data()
{
    QTest::addColumn<int>("method");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("answered");

    QTest::newRow("to the exact caption") << 0 << QStringLiteral("hello") << true;
    QTest::newRow("to a caption prefix") << 1 << QStringLiteral("hello") << true;
    QTest::newRow("to the handle") << 2 << QStringLiteral("hello") << true;
    QTest::newRow("empty text") << 2 << QString() << true;
    QTest::newRow("an acknowledgement") << 2 << QStringLiteral("OK from \"elsewhere\"") << false;
}

// Both peers answer what they receive, by the sender's handle, from inside
// DataArrival, with the window program's acknowledgement rules: the text
// names the receiver by its caption, and an acknowledgement is never
// answered.
void TestInterProc::acknowledgements()
{
    QFETCH(int, method);
    QFETCH(QString, text);
    QFETCH(bool, answered);

    PeerList peers;
    peers.push_back(std::make_unique<Peer>(QStringLiteral("Ack Receiver"),
                                           QStringList{QStringLiteral("--ack")}));
    peers.push_back(
        std::make_unique<Peer>(QStringLiteral("Ack Sender"), QStringList{QStringLiteral("--ack")}));
    QVERIFY(startAll(peers));
    Peer &receiver = *peers.at(0);
    Peer &sender = *peers.at(1);
    QVERIFY2(sender.waitUntilSees(0, receiver.caption(), 1), sender.transcript().constData());

    const QString target = method == InterProc::WindowHandle    ? QString::number(receiver.handle())
                           : method == InterProc::CaptionPrefix ? QStringLiteral("Ack Rec")
                                                                : receiver.caption();
    QCOMPARE(sender.send(method, target, 5, text), 1);
    CHECKED(expectArrival(receiver, Arrival::of(sender.handle(), sender.caption(), 5, text)));

    if (answered) {
        const QString ack = QStringLiteral("OK from \"%1\"").arg(receiver.caption());
        CHECKED(expectArrival(sender, Arrival::of(receiver.handle(), receiver.caption(), 0, ack)));
        // The sender logged the acknowledgement without answering it.
        CHECKED(expectNothingMoreFrom(sender, receiver));
    } else {
        CHECKED(expectNothingMoreFrom(receiver, sender));
    }
}

void TestInterProc::senderNameFollowsCaption_data()
{
    QTest::addColumn<QString>("renamed");
    QTest::newRow("plain") << QStringLiteral("Name After");
    QTest::newRow("non-ASCII") << QString::fromUtf8("Name \xC3\xBC \xF0\x9F\x98\x80 \xE2\x82\xAC");
    QTest::newRow("leading byte order mark") << QStringLiteral("\uFEFFName After");
    QTest::newRow("prefix of the old caption") << QStringLiteral("Name Bef");
    QTest::newRow("empty") << QString();
}

void TestInterProc::senderNameFollowsCaption()
{
    QFETCH(QString, renamed);
    const QString original = QStringLiteral("Name Before");

    PeerList peers;
    peers.push_back(std::make_unique<Peer>(QStringLiteral("Name Receiver")));
    peers.push_back(std::make_unique<Peer>(original));
    QVERIFY(startAll(peers));
    Peer &receiver = *peers.at(0);
    Peer &sender = *peers.at(1);
    QVERIFY2(sender.waitUntilSees(0, receiver.caption(), 1), sender.transcript().constData());

    QCOMPARE(sender.send(0, receiver.caption(), 1, QStringLiteral("first")), 1);
    CHECKED(expectArrival(receiver,
                          Arrival::of(sender.handle(), original, 1, QStringLiteral("first"))));

    QVERIFY(sender.rename(renamed));
    QCOMPARE(sender.sendTo(receiver, 2, QStringLiteral("second")), 1);
    const std::optional<Arrival> second = receiver.nextArrival();
    QVERIFY2(second, receiver.transcript().constData());
    // Captions and sender names travel as D-Bus strings, a leading U+FEFF
    // included.
    QCOMPARE(*second, Arrival::of(sender.handle(), renamed, 2, QStringLiteral("second")));

    // The receiver addresses the sender by its new caption only.
    QVERIFY2(receiver.waitUntilSees(0, renamed, 1), receiver.transcript().constData());
    QCOMPARE(receiver.probe(0, original), 0);
    QCOMPARE(receiver.send(0, renamed, 3, QStringLiteral("to the new caption")), 1);
    CHECKED(expectArrival(sender, Arrival::of(receiver.handle(), receiver.caption(), 3,
                                              QStringLiteral("to the new caption"))));
    QCOMPARE(receiver.send(0, original, 4, QStringLiteral("to the old caption")), 0);
    CHECKED(expectNothingMoreFrom(receiver, sender));
}

void TestInterProc::manyPayloadsArriveInOrder_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("short text") << QString::fromUtf8("payload \xE2\x9C\x93");
    QTest::newRow("text in a descriptor") << textOfUtf8Bytes(64 * 1024 + 1);
}

void TestInterProc::manyPayloadsArriveInOrder()
{
    QFETCH(QString, text);
    constexpr int Count = 1000;

    PeerList peers;
    peers.push_back(std::make_unique<Peer>(QStringLiteral("Many Receiver 1")));
    peers.push_back(std::make_unique<Peer>(QStringLiteral("Many Receiver 2")));
    peers.push_back(std::make_unique<Peer>(QStringLiteral("Many Sender")));
    QVERIFY(startAll(peers));
    Peer &sender = *peers.back();
    QVERIFY2(sender.waitUntilSees(1, QStringLiteral("Many Receiver"), 2),
             sender.transcript().constData());

    sender.sendMany(1, QStringLiteral("Many Receiver"), Count, text);
    QCOMPARE(sender.takeLine("SENT "), "SENT " + QByteArray::number(2 * Count));
    for (int r = 0; r < 2; ++r) {
        Peer &receiver = *peers.at(r);
        for (int i = 1; i <= Count; ++i)
            CHECKED(
                expectArrival(receiver, Arrival::of(sender.handle(), sender.caption(), i, text)));
        CHECKED(expectNothingMoreFrom(sender, receiver));
    }
    QCOMPARE(sender.takeReceivedLines("FAILED "), QList<QByteArray>());
}

void TestInterProc::textsArriveExactly_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << QString();
    QTest::newRow("CR LF") << QStringLiteral("a\r\nb");
    QTest::newRow("NUL characters") << QStringView(u"\0a\0\0b\0", 6).toString();
    QTest::newRow("only NUL") << QString(QChar(u'\0'));
    QTest::newRow("non-BMP") << QString::fromUtf8(
        "\xF0\x9F\x98\x80 \xF0\x9D\x84\x9E \xF0\xA0\x80\x8B");
    QTest::newRow("leading byte order mark") << QStringLiteral("\uFEFFtext");
    QTest::newRow("only a byte order mark") << QStringLiteral("\uFEFF");
    QTest::newRow("64 KiB - 1") << textOfUtf8Bytes(64 * 1024 - 1);
    QTest::newRow("64 KiB") << textOfUtf8Bytes(64 * 1024);
    QTest::newRow("64 KiB + 1") << textOfUtf8Bytes(64 * 1024 + 1);
    QTest::newRow("1 MiB") << textOfUtf8Bytes(1024 * 1024);
}

// Each text goes to two windows at once, so that both share what is sent.
void TestInterProc::textsArriveExactly()
{
    QFETCH(QString, text);

    PeerList peers;
    peers.push_back(std::make_unique<Peer>(QStringLiteral("Text Receiver 1")));
    peers.push_back(std::make_unique<Peer>(QStringLiteral("Text Receiver 2")));
    peers.push_back(std::make_unique<Peer>(QStringLiteral("Text Sender")));
    QVERIFY(startAll(peers));
    Peer &sender = *peers.back();
    QVERIFY2(sender.waitUntilSees(1, QStringLiteral("Text Receiver"), 2),
             sender.transcript().constData());

    QCOMPARE(sender.send(1, QStringLiteral("Text Receiver"), 8, text), 2);
    for (int r = 0; r < 2; ++r)
        CHECKED(
            expectArrival(*peers.at(r), Arrival::of(sender.handle(), sender.caption(), 8, text)));
}

void TestInterProc::hugeTextArrivesExactly()
{
    const qint64 Bytes = InterProc::maxTextBytes();
    PeerList peers;
    peers.push_back(std::make_unique<Peer>(QStringLiteral("Huge Receiver")));
    peers.push_back(std::make_unique<Peer>(QStringLiteral("Huge Sender")));
    QVERIFY(startAll(peers));
    Peer &receiver = *peers.at(0);
    Peer &sender = *peers.at(1);
    QVERIFY2(sender.waitUntilSees(2, QString::number(receiver.handle()), 1),
             sender.transcript().constData());

    // A small payload sent right behind it, while the huge text is still
    // being written out, must not overtake it.
    const QByteArray to = b64(QString::number(receiver.handle()));
    const QString small = QStringLiteral("right behind");
    sender.command("sendbig 2 " + to + " 9 " + QByteArray::number(Bytes) + "\nsend 2 " + to +
                   " 10 " + b64(small));
    const QList<QByteArray> sent = sender.takeLine("SENT ", HugeTimeoutMs).split(' ');
    QCOMPARE(sent.size(), 3);
    QCOMPARE(sent.at(1), "1");
    QCOMPARE(sender.takeLine("SENT "), "SENT 1");

    const std::optional<Arrival> arrival = receiver.nextArrival(HugeTimeoutMs);
    QVERIFY2(arrival, receiver.transcript().constData());
    QCOMPARE(arrival->sender, sender.handle());
    QCOMPARE(arrival->longData, 9);
    QVERIFY(arrival->characters > 0);
    QCOMPARE(arrival->digest, sent.at(2));
    CHECKED(expectArrival(receiver, Arrival::of(sender.handle(), sender.caption(), 10, small)));
    QCOMPARE(sender.takeReceivedLines("FAILED "), QList<QByteArray>());
}

void TestInterProc::killedReceiverHurtsNoOther()
{
    constexpr int Count = 1000;
    PeerList peers;
    for (int i = 1; i <= 3; ++i)
        peers.push_back(std::make_unique<Peer>(QStringLiteral("Stream Receiver %1").arg(i)));
    peers.push_back(std::make_unique<Peer>(QStringLiteral("Stream Sender")));
    QVERIFY(startAll(peers));
    Peer &victim = *peers.at(1);
    Peer &sender = *peers.back();
    QVERIFY2(sender.waitUntilSees(1, QStringLiteral("Stream Receiver"), 3),
             sender.transcript().constData());

    const QString text = QStringLiteral("stream ").repeated(200);
    sender.sendMany(1, QStringLiteral("Stream Receiver"), Count, text);
    QVERIFY2(victim.nextArrival(), victim.transcript().constData());
    victim.process().kill();
    QVERIFY(waitForExit(victim.process()));

    const QByteArray sent = sender.takeLine("SENT ");
    QVERIFY2(!sent.isEmpty(), sender.transcript().constData());
    // The killed window may or may not have been addressed by every send.
    const int count = sent.mid(5).toInt();
    QVERIFY2(count >= 2 * Count && count <= 3 * Count, sent);

    for (Peer *receiver : {peers.at(0).get(), peers.at(2).get()}) {
        for (int i = 1; i <= Count; ++i)
            CHECKED(
                expectArrival(*receiver, Arrival::of(sender.handle(), sender.caption(), i, text)));
        CHECKED(expectNothingMoreFrom(sender, *receiver));
    }
    for (const QByteArray &failed : sender.takeReceivedLines("FAILED "))
        QCOMPARE(failed.split(' ').value(1).toInt(), victim.handle());
    QCOMPARE(sender.process().state(), QProcess::Running);
}

void TestInterProc::handlesArePositiveAndDistinct_data()
{
    QTest::addColumn<int>("count");
    QTest::newRow("two") << 2;
    QTest::newRow("six started together") << 6;
}

void TestInterProc::handlesArePositiveAndDistinct()
{
    QFETCH(int, count);
    PeerList peers;
    for (int i = 0; i < count; ++i)
        peers.push_back(std::make_unique<Peer>(QStringLiteral("Handle %1").arg(i)));
    QVERIFY(startAll(peers, true));

    QSet<qint32> handles;
    QDBusConnection bus = QDBusConnection::sessionBus();
    for (const auto &peer : peers) {
        QVERIFY(peer->handle() > 0);
        handles.insert(peer->handle());
        // The window's bus name leads to an object that describes it.
        const QDBusMessage reply = bus.call(QDBusMessage::createMethodCall(
            serviceOf(peer->handle()), BusPath, BusInterface, QStringLiteral("Describe")));
        QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
        QCOMPARE(reply.arguments(), (QVariantList{peer->handle(), peer->caption()}));
    }
    QCOMPARE(handles.size(), count);
}

void TestInterProc::receiverChecksSenderBeforeReady()
{
    // The test's own connection owns a window name, as a window that was on
    // the bus before the receiver started would, and calls the receiver at
    // once: the receiver has not learnt who owns that window yet and must
    // ask the bus instead of refusing, or accepting, blindly.
    QDBusConnection bus = QDBusConnection::sessionBus();
    constexpr qint32 OwnWindow = 424242;
    QVERIFY(bus.interface()->registerService(serviceOf(OwnWindow)).isValid());
    const auto releaseName =
        qScopeGuard([&] { bus.interface()->unregisterService(serviceOf(OwnWindow)); });

    QWidget host;
    host.setWindowTitle(QStringLiteral("Fresh receiver"));
    auto *receiver = new InterProc(&host);
    QList<qint32> senders;
    connect(
        receiver, &InterProc::DataArrival, this,
        [&](qint32 sender, const QString &, qint32, const QString &) { senders.append(sender); });
    QVERIFY(!receiver->isReady());

    auto deliver = [&](qint32 senderHandle) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            serviceOf(receiver->windowHandle()), BusPath, BusInterface, QStringLiteral("Deliver"));
        call << senderHandle << QStringLiteral("early") << 1 << QStringLiteral("text");
        return bus.asyncCall(call);
    };
    QDBusPendingCall own = deliver(OwnWindow);
    QDBusPendingCall foreign = deliver(OwnWindow + 1); // nobody's window
    QTRY_VERIFY_WITH_TIMEOUT(own.isFinished() && foreign.isFinished(), LineTimeoutMs);
    QVERIFY2(!own.isError(), qPrintable(own.error().message()));
    QCOMPARE(foreign.error().name(), QStringLiteral("org.calvorn.InterProc.Error.SenderMismatch"));
    QTRY_COMPARE_WITH_TIMEOUT(senders, QList<qint32>{OwnWindow}, LineTimeoutMs);
}

void TestInterProc::arrivalsWaitForANestedEventLoop()
{
    // The first handler runs an event loop of its own, as a modal dialog
    // does, while a peer's further payloads come in: none of them may reach
    // a handler before the first one has returned, and all arrive in order.
    QWidget host;
    host.setWindowTitle(QStringLiteral("Modal Receiver"));
    auto *receiver = new InterProc(&host);
    QTRY_VERIFY_WITH_TIMEOUT(receiver->isReady(), LineTimeoutMs);
    Peer sender(QStringLiteral("Modal Sender"));
    sender.start();
    QVERIFY2(sender.waitReady(), sender.transcript().constData());
    QVERIFY2(
        sender.waitUntilSees(InterProc::WindowHandle, QString::number(receiver->windowHandle()), 1),
        sender.transcript().constData());

    constexpr int Count = 20;
    const QString target = QString::number(receiver->windowHandle());
    const QString text = QStringLiteral("while a dialog is open");
    int depth = 0;
    int deepest = 0;
    int sent = 1;
    QList<qint32> order;
    QDBusConnection bus = QDBusConnection::sessionBus();
    connect(receiver, &InterProc::DataArrival, this, [&](qint32, const QString &, qint32 number) {
        deepest = std::max(deepest, ++depth);
        order.append(number);
        if (number == 1) {
            // The rest is sent while this handler runs; waiting for each
            // SENT line spins an event loop, as a dialog would.
            for (int i = 2; i <= Count; ++i)
                sent += sender.send(InterProc::WindowHandle, target, i, text);
            // Calls are answered once queued, so when a call of ours made
            // after the last SENT line is answered, the payloads are in.
            QDBusMessage ping =
                QDBusMessage::createMethodCall(serviceOf(receiver->windowHandle()), BusPath,
                                               BusInterface, QStringLiteral("Describe"));
            QEventLoop nested;
            auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(ping), &nested);
            connect(watcher, &QDBusPendingCallWatcher::finished, &nested, &QEventLoop::quit);
            nested.exec();
            QTest::qWait(100); // a little longer, for anything still under way
        }
        --depth;
    });
    QCOMPARE(sender.send(InterProc::WindowHandle, target, 1, text), 1);
    QTRY_COMPARE_WITH_TIMEOUT(order.size(), Count, LineTimeoutMs);
    QCOMPARE(sent, Count);
    QCOMPARE(deepest, 1);
    for (int i = 0; i < Count; ++i)
        QCOMPARE(order.at(i), i + 1);
}

void TestInterProc::sendBeforeReadyIsHeldBack()
{
    QWidget hostA;
    hostA.setWindowTitle(QStringLiteral("Early receiver"));
    auto *a = new InterProc(&hostA);
    QTRY_VERIFY_WITH_TIMEOUT(a->isReady(), LineTimeoutMs);
    QList<std::pair<qint32, QString>> arrived;
    connect(a, &InterProc::DataArrival, this,
            [&](qint32 sender, const QString &, qint32, const QString &text) {
                arrived.append({sender, text});
            });

    // A sender that has not yet learnt the windows on the bus holds its
    // payloads back, in order, and checks each addressee only when it has.
    QWidget hostB;
    hostB.setWindowTitle(QStringLiteral("Early sender"));
    auto *b = new InterProc(&hostB);
    int checks = 0;
    connect(
        b, &InterProc::WindowCheck, this, [&](qint32, const QString &, bool &) { ++checks; },
        Qt::DirectConnection);
    QSignalSpy ready(b, &InterProc::ready);
    b->setTargetSearchMethod(InterProc::ExactCaption);
    b->setTarget(hostA.windowTitle());
    const int first = b->isReady() ? 1 : -1;
    for (const QString &text : {QStringLiteral("first"), QStringLiteral("second")}) {
        b->setStringData(text);
        QCOMPARE(b->Send(), first);
    }
    if (first == -1)
        QCOMPARE(checks, 0);
    QTRY_COMPARE_WITH_TIMEOUT(arrived.size(), 2, LineTimeoutMs);
    QCOMPARE(arrived, (QList<std::pair<qint32, QString>>{{b->windowHandle(), "first"},
                                                         {b->windowHandle(), "second"}}));
    QCOMPARE(checks, 2);
    QCOMPARE(ready.size(), first == -1 ? 1 : 0);
}

void TestInterProc::twoInstancesInOneProcess()
{
    QWidget hostA;
    QWidget hostB;
    hostA.setWindowTitle(QStringLiteral("In-process A"));
    hostB.setWindowTitle(QStringLiteral("In-process B"));
    auto *a = new InterProc(&hostA);
    auto *b = new InterProc(&hostB);
    QVERIFY2(a->isConnected(), qPrintable(a->errorString()));
    QVERIFY2(b->isConnected(), qPrintable(b->errorString()));
    QVERIFY(a->windowHandle() > 0);
    QVERIFY(b->windowHandle() > 0);
    QVERIFY(a->windowHandle() != b->windowHandle());

    struct Received
    {
        qint32 sender;
        QString name;
        qint32 longData;
        QString text;
        QThread *thread;
    };
    QList<Received> toA;
    QList<Received> toB;
    for (auto [instance, log] : {std::pair{a, &toA}, std::pair{b, &toB}}) {
        connect(
            instance, &InterProc::DataArrival, this,
            [log = log](qint32 sender, const QString &name, qint32 number, const QString &text) {
                log->append({sender, name, number, text, QThread::currentThread()});
            });
    }
    int probed = -1;
    QList<std::pair<qint32, QString>> checked;
    for (InterProc *instance : {a, b}) {
        connect(
            instance, &InterProc::WindowCheck, this,
            [&](qint32 handle, const QString &name, bool &skip) {
                if (probed >= 0) {
                    ++probed;
                    skip = true;
                } else {
                    checked.append({handle, name});
                }
            },
            Qt::DirectConnection);
    }
    auto sees = [&](InterProc *from, const QString &caption) {
        if (!from->isReady())
            return false; // a send now would be held back and go out later
        from->setTargetSearchMethod(InterProc::ExactCaption);
        from->setTarget(caption);
        probed = 0;
        from->Send();
        const bool seen = probed == 1;
        probed = -1;
        return seen;
    };
    QTRY_VERIFY_WITH_TIMEOUT(sees(a, hostB.windowTitle()), LineTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(sees(b, hostA.windowTitle()), LineTimeoutMs);

    a->setTargetSearchMethod(InterProc::WindowHandle);
    a->setTarget(b->windowHandle());
    a->setLongData(1);
    a->setStringData(QStringLiteral("from A"));
    QCOMPARE(a->Send(), 1);
    QCOMPARE(checked,
             (QList<std::pair<qint32, QString>>{{b->windowHandle(), hostB.windowTitle()}}));

    b->setTargetSearchMethod(InterProc::ExactCaption);
    b->setTarget(hostA.windowTitle());
    b->setLongData(2);
    b->setStringData(QStringLiteral("from B"));
    QCOMPARE(b->Send(), 1);

    QTRY_COMPARE_WITH_TIMEOUT(toB.size(), 1, LineTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(toA.size(), 1, LineTimeoutMs);
    QCOMPARE(toB.at(0).sender, a->windowHandle());
    QCOMPARE(toB.at(0).name, hostA.windowTitle());
    QCOMPARE(toB.at(0).longData, 1);
    QCOMPARE(toB.at(0).text, QStringLiteral("from A"));
    QCOMPARE(toB.at(0).thread, hostB.thread());
    QCOMPARE(toA.at(0).sender, b->windowHandle());
    QCOMPARE(toA.at(0).name, hostB.windowTitle());
    QCOMPARE(toA.at(0).longData, 2);
    QCOMPARE(toA.at(0).text, QStringLiteral("from B"));
    QCOMPARE(toA.at(0).thread, hostA.thread());
}

void TestInterProc::commandLineDeliver_data()
{
    QTest::addColumn<QString>("senderHandle"); // "other", "receiver" or a number
    QTest::addColumn<QString>("error");        // empty when accepted

    const QString mismatch = QStringLiteral("org.calvorn.InterProc.Error.SenderMismatch");
    QTest::newRow("without a window") << QStringLiteral("0") << QString();
    QTest::newRow("another window's handle") << QStringLiteral("other") << mismatch;
    QTest::newRow("the receiver's own handle") << QStringLiteral("receiver") << mismatch;
    QTest::newRow("a handle no window has") << QStringLiteral("unused") << mismatch;
    QTest::newRow("a negative handle") << QStringLiteral("-5") << mismatch;
}

void TestInterProc::commandLineDeliver()
{
    QFETCH(QString, senderHandle);
    QFETCH(QString, error);

    PeerList peers;
    peers.push_back(std::make_unique<Peer>(QStringLiteral("Command Line Receiver")));
    peers.push_back(std::make_unique<Peer>(QStringLiteral("Command Line Other")));
    QVERIFY(startAll(peers));
    Peer &receiver = *peers.at(0);
    Peer &other = *peers.at(1);
    if (senderHandle == QLatin1String("other"))
        senderHandle = QString::number(other.handle());
    else if (senderHandle == QLatin1String("receiver"))
        senderHandle = QString::number(receiver.handle());
    else if (senderHandle == QLatin1String("unused"))
        senderHandle = QString::number(receiver.handle() == 1 || other.handle() == 1 ? 2 : 1);

    auto gdbusDeliver = [&](const QString &handle, const QString &text) {
        auto gdbus = std::make_unique<QProcess>();
        gdbus->start(QStringLiteral("gdbus"),
                     {QStringLiteral("call"), QStringLiteral("--session"), QStringLiteral("--dest"),
                      serviceOf(receiver.handle()), QStringLiteral("--object-path"), BusPath,
                      QStringLiteral("--method"), BusInterface + QLatin1String(".Deliver"),
                      QStringLiteral("--"), handle, QStringLiteral("gdbus"), QStringLiteral("42"),
                      text});
        return gdbus;
    };
    const auto call = gdbusDeliver(senderHandle, QStringLiteral("hello"));
    QVERIFY(call->waitForFinished(LineTimeoutMs));
    const QByteArray errorOutput = call->readAllStandardError();
    if (error.isEmpty()) {
        QVERIFY2(call->exitStatus() == QProcess::NormalExit && call->exitCode() == 0, errorOutput);
        CHECKED(expectArrival(
            receiver, Arrival::of(0, QStringLiteral("gdbus"), 42, QStringLiteral("hello"))));
    } else {
        QVERIFY(call->exitCode() != 0);
        QVERIFY2(errorOutput.contains(error.toUtf8()), errorOutput);
    }

    // The refused call was answered before this one started: had it left a
    // payload, that would arrive first.
    const auto after = gdbusDeliver(QStringLiteral("0"), QStringLiteral("afterwards"));
    QVERIFY(after->waitForFinished(LineTimeoutMs));
    QCOMPARE(after->exitCode(), 0);
    CHECKED(expectArrival(
        receiver, Arrival::of(0, QStringLiteral("gdbus"), 42, QStringLiteral("afterwards"))));
}

QDBusMessage TestInterProc::deliverUtf8(const Peer &receiver, const QByteArray &text)
{
    QDBusMessage call = QDBusMessage::createMethodCall(serviceOf(receiver.handle()), BusPath,
                                                       BusInterface, QStringLiteral("DeliverUtf8"));
    call << 0 << QStringLiteral("tst") << 3 << text;
    return QDBusConnection::sessionBus().call(call, QDBus::Block, LineTimeoutMs);
}

void TestInterProc::refusesInvalidUtf8_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("valid");

    QTest::newRow("valid, NUL and four-byte characters")
        << QByteArray("a\0b\xF0\x9F\x98\x80", 7) << true;
    QTest::newRow("valid, leading byte order mark") << QByteArray("\xEF\xBB\xBFx") << true;
    QTest::newRow("stray continuation byte") << QByteArray("a\x80z") << false;
    QTest::newRow("truncated sequence at the end") << QByteArray("ab\xE2\x82") << false;
    QTest::newRow("truncated sequence inside") << QByteArray("\xE2\x82z") << false;
    QTest::newRow("overlong NUL") << QByteArray("\xC0\x80") << false;
    QTest::newRow("overlong slash") << QByteArray("\xE0\x80\xAF") << false;
    QTest::newRow("encoded surrogate") << QByteArray("\xED\xA0\x80") << false;
    QTest::newRow("beyond U+10FFFF") << QByteArray("\xF4\x90\x80\x80") << false;
    QTest::newRow("0xFF byte") << QByteArray("\xFF") << false;
}

void TestInterProc::refusesInvalidUtf8()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, valid);

    PeerList peers;
    peers.push_back(std::make_unique<Peer>(QStringLiteral("Utf8 Receiver")));
    QVERIFY(startAll(peers));
    Peer &receiver = *peers.at(0);

    const QDBusMessage reply = deliverUtf8(receiver, bytes);
    if (valid) {
        QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
        CHECKED(
            expectArrival(receiver, Arrival::of(0, QStringLiteral("tst"), 3, exactUtf8(bytes))));
    } else {
        QCOMPARE(reply.errorName(), QStringLiteral("org.calvorn.InterProc.Error.InvalidText"));
    }
    QCOMPARE(deliverUtf8(receiver, "still here").type(), QDBusMessage::ReplyMessage);
    CHECKED(expectArrival(receiver,
                          Arrival::of(0, QStringLiteral("tst"), 3, QStringLiteral("still here"))));
}

namespace {
enum class Descriptor { Sealed, SealedOnlyAgainstWriting, Unsealed, Pipe, CharacterDevice };

// A descriptor for DeliverSealed that holds bytes, made as kind says.
int makeDescriptor(Descriptor kind, const QByteArray &bytes)
{
    if (kind == Descriptor::Pipe) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0)
            return -1;
        if (::write(ends[1], bytes.constData(), size_t(bytes.size())) != bytes.size())
            qWarning("short write to a pipe");
        ::close(ends[1]);
        return ends[0];
    }
    if (kind == Descriptor::CharacterDevice)
        return ::open("/dev/zero", O_RDONLY | O_CLOEXEC);
    const int fd = ::memfd_create("tst-interproc", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0 || ::write(fd, bytes.constData(), size_t(bytes.size())) != bytes.size())
        return -1;
    int seals = 0;
    if (kind == Descriptor::Sealed)
        seals = F_SEAL_WRITE | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL;
    else if (kind == Descriptor::SealedOnlyAgainstWriting)
        seals = F_SEAL_WRITE;
    if (seals && ::fcntl(fd, F_ADD_SEALS, seals) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}
} // namespace

void TestInterProc::checksTextDescriptor_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<qint64>("declaredSize"); // -1: the size of bytes
    QTest::addColumn<QString>("error");       // empty when accepted

    const QByteArray text = "sealed \xF0\x9F\x98\x80 text";
    const QString bad = QStringLiteral("org.calvorn.InterProc.Error.BadDescriptor");
    const QString tooLarge = QStringLiteral("org.calvorn.InterProc.Error.TooLarge");
    const int sealed = int(Descriptor::Sealed);

    QTest::newRow("sealed memfd") << sealed << text << qint64(-1) << QString();
    QTest::newRow("sealed empty memfd") << sealed << QByteArray() << qint64(-1) << QString();
    QTest::newRow("pipe") << int(Descriptor::Pipe) << text << qint64(-1) << bad;
    QTest::newRow("character device")
        << int(Descriptor::CharacterDevice) << text << qint64(-1) << bad;
    QTest::newRow("unsealed memfd") << int(Descriptor::Unsealed) << text << qint64(-1) << bad;
    QTest::newRow("memfd sealed only against writing")
        << int(Descriptor::SealedOnlyAgainstWriting) << text << qint64(-1) << bad;
    QTest::newRow("declared size larger") << sealed << text << qint64(text.size() + 1) << bad;
    QTest::newRow("declared size smaller") << sealed << text << qint64(text.size() - 1) << bad;
    QTest::newRow("declared size over the limit")
        << sealed << text << InterProc::maxTextBytes() + 1 << tooLarge;
    QTest::newRow("declared size far over the limit")
        << sealed << text << std::numeric_limits<qint64>::max() << tooLarge;
    QTest::newRow("invalid UTF-8") << sealed << QByteArray("ab\xC0\x80") << qint64(-1)
                                   << QStringLiteral("org.calvorn.InterProc.Error.InvalidText");

    // A receiver reads a text a megabyte at a time: sequences across the
    // boundary are decoded whole, and judged as anywhere else.
    const QString invalid = QStringLiteral("org.calvorn.InterProc.Error.InvalidText");
    const auto across = [&](const char *name, qsizetype before, const QByteArray &tail,
                            const QString &error) {
        QTest::newRow(name) << sealed << QByteArray(1024 * 1024 - before, 'a') + tail << qint64(-1)
                            << error;
    };
    across("four-byte character across 1 MiB", 2, "\xF0\x9F\x98\x80z", QString());
    across("three-byte character ending at 1 MiB", 3, "\xE2\x82\xACz", QString());
    across("byte order mark after 1 MiB", 0, "\xEF\xBB\xBFz", QString());
    across("truncated sequence at 1 MiB", 1, "\xE2z", invalid);
    across("stray continuation byte after 1 MiB", 0, "\x80z", invalid);
    across("truncated sequence at the end, after 1 MiB", 0, "z\xF0\x9F", invalid);
}

void TestInterProc::checksTextDescriptor()
{
    QFETCH(int, kind);
    QFETCH(QByteArray, bytes);
    QFETCH(qint64, declaredSize);
    QFETCH(QString, error);

    PeerList peers;
    peers.push_back(std::make_unique<Peer>(QStringLiteral("Descriptor Receiver")));
    QVERIFY(startAll(peers));
    Peer &receiver = *peers.at(0);

    const int fd = makeDescriptor(Descriptor(kind), bytes);
    QVERIFY(fd >= 0);
    QDBusMessage call = QDBusMessage::createMethodCall(
        serviceOf(receiver.handle()), BusPath, BusInterface, QStringLiteral("DeliverSealed"));
    call << 0 << QStringLiteral("tst") << 4 << QVariant::fromValue(QDBusUnixFileDescriptor(fd))
         << qulonglong(declaredSize < 0 ? bytes.size() : declaredSize);
    ::close(fd);
    const QDBusMessage reply =
        QDBusConnection::sessionBus().call(call, QDBus::Block, LineTimeoutMs);
    if (error.isEmpty()) {
        QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
        CHECKED(
            expectArrival(receiver, Arrival::of(0, QStringLiteral("tst"), 4, exactUtf8(bytes))));
    } else {
        QCOMPARE(reply.errorName(), error);
    }
    QCOMPARE(deliverUtf8(receiver, "still here").type(), QDBusMessage::ReplyMessage);
    CHECKED(expectArrival(receiver,
                          Arrival::of(0, QStringLiteral("tst"), 3, QStringLiteral("still here"))));
}

void TestInterProc::reportsMissingSessionBus_data()
{
    QTest::addColumn<QString>("address");
    QTest::newRow("no such socket") << QStringLiteral("unix:path=/nonexistent");
    QTest::newRow("no such abstract socket") << QStringLiteral("unix:abstract=calvorn-no-bus-here");
    QTest::newRow("malformed address") << QStringLiteral("not an address");
}

void TestInterProc::reportsMissingSessionBus()
{
    QFETCH(QString, address);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), address);
    Peer peer(QStringLiteral("Busless"), {}, env);
    peer.start();

    const QByteArray line = peer.takeLine("NOTCONNECTED ");
    QVERIFY2(!line.isEmpty(), peer.transcript().constData());
    QVERIFY(!QByteArray::fromBase64(line.mid(13)).trimmed().isEmpty());
    QVERIFY(waitForExit(peer.process()));
    QCOMPARE(peer.process().exitStatus(), QProcess::NormalExit);
    QVERIFY(peer.process().exitCode() != 0);
}

QTEST_MAIN(TestInterProc)
#include "tst_interproc.moc"
