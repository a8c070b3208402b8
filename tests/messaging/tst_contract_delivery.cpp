// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The contract between instances in peer processes (tests/support), by
// what arrives: many payloads in order, texts of any content and size
// exactly, and a receiver killed midway costs the others nothing.
#include "contractpeers.h"
#include "utf8text.h"

using namespace TestSupport;

namespace {

constexpr int HugeTimeoutMs = 400000;

// A text of exactly `bytes` bytes of UTF-8: a leading byte order mark, then
// characters one to four bytes long with CR LF and NUL among them.
QString textOfUtf8Bytes(qint64 bytes)
{
    return exactUtf8("\xEF\xBB\xBF" + utf8Text(bytes - 3));
}

} // namespace

class TestContractDelivery : public QObject
{
    Q_OBJECT

private slots:
    void manyPayloadsArriveInOrder_data();
    void manyPayloadsArriveInOrder();
    void textsArriveExactly_data();
    void textsArriveExactly();
    void hugeTextArrivesExactly();
    void killedReceiverHurtsNoOther();
};

void TestContractDelivery::manyPayloadsArriveInOrder_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("short text") << QString::fromUtf8("payload \xE2\x9C\x93");
    QTest::newRow("text in a descriptor") << textOfUtf8Bytes(InterProcBus::InlineTextLimit + 1);
}

void TestContractDelivery::manyPayloadsArriveInOrder()
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

void TestContractDelivery::textsArriveExactly_data()
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
    QTest::newRow("64 KiB - 1") << textOfUtf8Bytes(InterProcBus::InlineTextLimit - 1);
    QTest::newRow("64 KiB") << textOfUtf8Bytes(InterProcBus::InlineTextLimit);
    QTest::newRow("64 KiB + 1") << textOfUtf8Bytes(InterProcBus::InlineTextLimit + 1);
    QTest::newRow("1 MiB") << textOfUtf8Bytes(1024 * 1024);
}

// Each text goes to two windows at once, so that both share what is sent.
void TestContractDelivery::textsArriveExactly()
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

void TestContractDelivery::hugeTextArrivesExactly()
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

void TestContractDelivery::killedReceiverHurtsNoOther()
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

QTEST_GUILESS_MAIN(TestContractDelivery)
#include "tst_contract_delivery.moc"
