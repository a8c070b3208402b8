// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The contract between instances in peer processes (tests/support), by
// address: exact caption, caption prefix and handle; WindowCheck and the
// window program's acknowledgements; a sender's name follows its caption.
#include "contractpeers.h"

#include <QSet>

#include <algorithm>

using namespace TestSupport;

class TestContractAddressing : public QObject
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
};

void TestContractAddressing::addressing_data()
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

void TestContractAddressing::addressing()
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

void TestContractAddressing::prefixBroadcastLeavesOutSender_data()
{
    QTest::addColumn<int>("senderIndex"); // 0 the server, 1..3 the clients
    QTest::newRow("from a client") << 1;
    QTest::newRow("from the server") << 0;
}

// Every instance here answers WindowCheck and acknowledges what it receives
// with the window program's own code (skipOwnWindow, acknowledgementText,
// isAcknowledgement), as a window would.
void TestContractAddressing::prefixBroadcastLeavesOutSender()
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

void TestContractAddressing::acknowledgements_data()
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
void TestContractAddressing::acknowledgements()
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

void TestContractAddressing::senderNameFollowsCaption_data()
{
    QTest::addColumn<QString>("renamed");
    QTest::newRow("plain") << QStringLiteral("Name After");
    QTest::newRow("non-ASCII") << QString::fromUtf8("Name \xC3\xBC \xF0\x9F\x98\x80 \xE2\x82\xAC");
    QTest::newRow("leading byte order mark") << QStringLiteral("\uFEFFName After");
    QTest::newRow("prefix of the old caption") << QStringLiteral("Name Bef");
    QTest::newRow("empty") << QString();
}

void TestContractAddressing::senderNameFollowsCaption()
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

QTEST_MAIN(TestContractAddressing)
#include "tst_contract_addressing.moc"
