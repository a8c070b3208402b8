// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// A receiver frozen with SIGSTOP while a sender streams payloads to it and
// to others: nobody else waits for it, and after it thaws every payload has
// either arrived, in order, or been reported as lost by the sender; one
// reported as not taken in time may still arrive. A sender that floods a
// frozen receiver keeps answering, stays small, and refuses what its queue
// for that receiver cannot hold. A receiver that ends or is killed in the
// middle of a stream leaves each payload delivered once or reported failed.
#include "describeprobe.h"
#include "measure.h"
#include "peerprocess.h"

#include <QScopeGuard>

#include <QElapsedTimer>
#include <QFile>

#include <csignal>
#include <memory>

using namespace TestSupport;

class FaultsFrozen : public QObject
{
    Q_OBJECT
private slots:
    void frozenReceiverLosesNothing_data();
    void frozenReceiverLosesNothing();
    void floodOfAFrozenReceiverStaysBounded();
    void busyReceiverIsAddressedByCaption();
    void busyThreadStillTellsItsCaption();
    void receiverThatEndsLosesNothing_data();
    void receiverThatEndsLosesNothing();
};

void FaultsFrozen::frozenReceiverLosesNothing_data()
{
    // Whether the receiver stays frozen until the sender has given up on
    // every payload to it, or thaws as soon as the others have theirs.
    QTest::addColumn<bool>("pastTimeout");
    QTest::newRow("thawed when the others are done") << false;
    QTest::newRow("thawed after the delivery timeout") << true;
}

void FaultsFrozen::frozenReceiverLosesNothing()
{
    QFETCH(bool, pastTimeout);
    constexpr int Count = 200;
    const QString prefix = QStringLiteral("Stop Receiver");
    const QString text = QStringLiteral("to the frozen and the others");

    PeerList peers;
    peers.push_back(std::make_unique<Peer>(prefix + QStringLiteral(" frozen")));
    peers.push_back(std::make_unique<Peer>(prefix + QStringLiteral(" A")));
    peers.push_back(std::make_unique<Peer>(prefix + QStringLiteral(" B")));
    peers.push_back(
        std::make_unique<Peer>(QStringLiteral("Stop Sender"), QStringList{"--handles"}));
    QVERIFY(startAll(peers, true));
    Peer &frozen = *peers.at(0);
    Peer &sender = *peers.back();
    QVERIFY2(sender.waitUntilSees(1, prefix, 3), sender.transcript().constData());

    QCOMPARE(::kill(frozen.pid(), SIGSTOP), 0);
    QTRY_COMPARE(processState(frozen.pid()), 'T');

    QElapsedTimer clock;
    clock.start();
    sender.sendMany(1, prefix, Count, text);
    const QByteArray sent = sender.takeLine("SENT ");
    const qint64 sentMs = clock.elapsed();
    QCOMPARE(sent, "SENT " + QByteArray::number(3 * Count));
    // The sender still takes commands while its payloads wait for the frozen one.
    QCOMPARE(sender.probe(1, prefix), 3);
    const qint64 probeMs = clock.elapsed();

    for (Peer *other : {peers.at(1).get(), peers.at(2).get()}) {
        for (int i = 1; i <= Count; ++i) {
            const std::optional<Arrival> arrival = other->nextArrival();
            QVERIFY2(arrival, other->transcript().constData());
            QCOMPARE(arrival->sender, sender.handle());
            QCOMPARE(arrival->longData, i);
            QCOMPARE(arrival->text, text);
        }
    }
    const qint64 othersMs = clock.elapsed();
    QCOMPARE(processState(frozen.pid()), 'T');
    qInfo("Send x%d returned after %lld ms, the sender answered a probe after %lld ms, the "
          "others had all %d payloads after %lld ms",
          Count, sentMs, probeMs, Count, othersMs);

    int failures = 0;
    QList<QByteArray> failedLines;
    if (pastTimeout) {
        // The sender gives up on each payload the frozen one has not taken,
        // and keeps taking commands while it waits.
        QElapsedTimer waited;
        waited.start();
        while (failures < Count && waited.elapsed() < 120000) {
            const QList<QByteArray> failed = sender.takeReceivedLines("FAILED ");
            failedLines += failed;
            failures += int(failed.size());
            QCOMPARE(sender.probe(1, prefix), 3);
            QTest::qWait(200);
        }
        qInfo("the sender reported %d failures within %lld ms", failures, waited.elapsed());
        QCOMPARE(failures, Count);
    }

    QCOMPARE(::kill(frozen.pid(), SIGCONT), 0);
    // One connection's payloads reach a receiver in order, so once this
    // marker is in, everything sent before it is in too.
    QCOMPARE(sender.sendTo(frozen, -1, QStringLiteral("marker")), 1);
    QList<qint32> arrived;
    for (;;) {
        const std::optional<Arrival> arrival = frozen.nextArrival();
        QVERIFY2(arrival, frozen.transcript().constData());
        QCOMPARE(arrival->sender, sender.handle());
        if (arrival->longData == -1)
            break;
        QCOMPARE(arrival->text, text);
        arrived.append(arrival->longData);
    }
    const QList<QByteArray> failed = sender.takeReceivedLines("FAILED ");
    failedLines += failed;
    failures += int(failed.size());
    for (const QByteArray &line : std::as_const(failedLines))
        QCOMPARE(line.split(' ').value(1).toInt(), frozen.handle());
    // A payload the frozen one has not taken in time is reported as such,
    // and may still arrive; any other outcome but taken means it is lost.
    // Each payload has one outcome, and the marker one more.
    const QByteArray toFrozen = "OUTCOME " + QByteArray::number(frozen.handle()) + ' ';
    QList<QByteArray> outcomes;
    QVERIFY2(QTest::qWaitFor(
                 [&] {
                     outcomes += sender.takeReceivedLines(toFrozen);
                     return outcomes.size() >= Count + 1;
                 },
                 LineTimeoutMs),
             sender.transcript().constData());
    int lost = 0;
    for (const QByteArray &line : std::as_const(outcomes)) {
        const QByteArray outcome = line.split(' ').value(2);
        lost += outcome != "Delivered" && outcome != "NotTakenInTime";
    }
    qInfo("after it thawed the frozen receiver had %lld of %d payloads; the sender reported %d "
          "as failed",
          qint64(arrived.size()), Count, failures);

    // In order, each at most once, and whatever is missing was reported.
    for (qsizetype i = 0; i < arrived.size(); ++i) {
        QVERIFY2(arrived.at(i) >= 1 && arrived.at(i) <= Count, qPrintable(QString::number(i)));
        if (i > 0)
            QVERIFY2(arrived.at(i) > arrived.at(i - 1), qPrintable(QString::number(i)));
    }
    const QString account =
        QStringLiteral("%1 payloads missing, %2 failures reported, %3 of them as lost")
            .arg(Count - arrived.size())
            .arg(failures)
            .arg(lost);
    QVERIFY2(failures >= Count - arrived.size(), qPrintable(account));
    QVERIFY2(lost == Count - arrived.size(), qPrintable(account));
    for (Peer *other : {peers.at(1).get(), peers.at(2).get()})
        QCOMPARE(other->takeReceivedLines("ARRIVAL ").size(), 0);
    QVERIFY(sender.isRunning());
    QVERIFY(frozen.isRunning());
}

void FaultsFrozen::floodOfAFrozenReceiverStaysBounded()
{
    // More than the sender queues for one receiver (256 calls on their way
    // and 32768 waiting), so that the last ones are refused at once.
    constexpr int Count = 40000;
    [[maybe_unused]] constexpr qint64 MaxGrowthKiB = 64 * 1024;
    constexpr qint64 GenerousAnswerMs = 2000;
    Peer receiver(QStringLiteral("Flooded Receiver"));
    Peer sender(QStringLiteral("Flooding Sender"), {QStringLiteral("--quiet")});
    receiver.start();
    sender.start();
    QVERIFY2(receiver.waitReady(), receiver.transcript().constData());
    QVERIFY2(sender.waitReady(), sender.transcript().constData());
    const qint64 startKiB = residentKiB(sender.pid());
    QVERIFY(startKiB > 0);

    QCOMPARE(::kill(receiver.pid(), SIGSTOP), 0);
    const auto thaw = qScopeGuard([&] { ::kill(receiver.pid(), SIGCONT); });
    DescribeProbe probe(sender.handle());
    sender.sendMany(InterProc::WindowHandle, QString::number(receiver.handle()), Count,
                    QStringLiteral("flood"));
    qint64 peakKiB = startKiB;
    QList<QByteArray> failed;
    QElapsedTimer settled;
    bool sent = false;
    // Sent, and two more seconds of the sender answering with its queue full.
    QVERIFY2(waitAnswering(
                 probe,
                 [&] {
                     peakKiB = std::max(peakKiB, residentKiB(sender.pid()));
                     failed += sender.takeReceivedLines("FAILED ");
                     if (!sent && !sender.takeReceivedLines("SENT ").isEmpty()) {
                         sent = true;
                         settled.start();
                     }
                     return sent && settled.elapsed() > 2000;
                 },
                 5 * LineTimeoutMs),
             qPrintable(probe.failure()));
    QCOMPARE(processState(receiver.pid()), 'T');
    qInfo("%d sends to a frozen receiver: the sender answered Describe within %lld ms, grew by "
          "%lld KiB and refused %lld at once",
          Count, probe.longestMs(), peakKiB - startKiB, qint64(failed.size()));
    QVERIFY2(probe.longestMs() <= GenerousAnswerMs, qPrintable(QString::number(probe.longestMs())));
#ifndef __SANITIZE_ADDRESS__
    // AddressSanitizer pads every allocation and keeps freed memory in
    // quarantine (256 MiB by default): the plain build holds the bound.
    QVERIFY2(peakKiB - startKiB <= MaxGrowthKiB, qPrintable(QString::number(peakKiB - startKiB)));
#endif
    QVERIFY(!failed.isEmpty());
    for (const QByteArray &line : std::as_const(failed)) {
        const QString reason = unb64(line.split(' ').value(2));
        QVERIFY2(reason.contains(QLatin1String("not taking its payloads")), qPrintable(reason));
    }

    // Thawed: each payload arrives once, in order, or was reported failed;
    // "gets the payload if it runs again" only for one that does arrive.
    ::kill(receiver.pid(), SIGCONT);
    QList<qint32> arrived;
    int laterFailures = 0;
    QVERIFY2(QTest::qWaitFor(
                 [&] {
                     for (const QByteArray &line : receiver.takeReceivedLines("ARRIVAL ")) {
                         const std::optional<Arrival> a = Arrival::parse(line);
                         if (a && a->sender == sender.handle())
                             arrived.append(a->longData);
                     }
                     for (const QByteArray &line : sender.takeReceivedLines("FAILED ")) {
                         const QString reason = unb64(line.split(' ').value(2));
                         if (reason.contains(QLatin1String("gets the payload if it runs again")))
                             continue; // counted when it arrives
                         ++laterFailures;
                     }
                     return arrived.size() + failed.size() + laterFailures >= Count;
                 },
                 5 * LineTimeoutMs),
             qPrintable(QStringLiteral("%1 arrived, %2 + %3 reported failed")
                            .arg(arrived.size())
                            .arg(failed.size())
                            .arg(laterFailures)));
    QCOMPARE(arrived.size() + failed.size() + laterFailures, qsizetype(Count));
    for (qsizetype i = 1; i < arrived.size(); ++i)
        QVERIFY2(arrived.at(i) > arrived.at(i - 1), qPrintable(QString::number(i)));
}

void FaultsFrozen::busyReceiverIsAddressedByCaption()
{
    // A window too busy to describe itself while a new sender learns the
    // windows is still a window: a send by its caption reaches it once it
    // runs again.
    const QString caption = QStringLiteral("Busy While Others Join");
    Peer receiver(caption);
    receiver.start();
    QVERIFY2(receiver.waitReady(), receiver.transcript().constData());
    QCOMPARE(::kill(receiver.pid(), SIGSTOP), 0);
    const auto thaw = qScopeGuard([&] { ::kill(receiver.pid(), SIGCONT); });
    QTRY_COMPARE(processState(receiver.pid()), 'T');

    Peer sender(QStringLiteral("Joins While Others Are Busy"));
    sender.start();
    QVERIFY2(sender.waitReady(), sender.transcript().constData());
    const int addressed = sender.send(InterProc::ExactCaption, caption, 7, QStringLiteral("late"));
    QTest::qWait(700);
    QCOMPARE(processState(receiver.pid()), 'T');
    QCOMPARE(::kill(receiver.pid(), SIGCONT), 0);

    const std::optional<Arrival> arrival = receiver.nextArrival();
    QVERIFY2(arrival, (sender.transcript() + receiver.transcript()).constData());
    QCOMPARE(*arrival, Arrival::of(sender.handle(), sender.caption(), 7, QStringLiteral("late")));
    QCOMPARE(addressed, -1);
    QCOMPARE(sender.takeReceivedLines("FAILED "), QList<QByteArray>());
}

void FaultsFrozen::busyThreadStillTellsItsCaption()
{
    // A program stuck in a long handler (or behind a flood of payloads) has
    // its caption told apart from its own thread: a party that joins
    // meanwhile learns it, the latest one, and can address it by it.
    constexpr int BlockMs = 8000;
    Peer receiver(QStringLiteral("Caption Before"));
    receiver.start();
    QVERIFY2(receiver.waitReady(), receiver.transcript().constData());
    QVERIFY(receiver.rename(QStringLiteral("Caption While Busy")));
    QElapsedTimer blocked;
    blocked.start();
    receiver.block(BlockMs);

    Peer joining(QStringLiteral("Joins A Busy Window"));
    joining.start();
    QVERIFY2(joining.waitReady(), joining.transcript().constData());
    std::optional<QString> caption;
    while (!caption && blocked.elapsed() < BlockMs / 2) {
        caption = joining.partyCaption(receiver.handle());
        QTest::qWait(50);
    }
    QVERIFY2(blocked.elapsed() < BlockMs, "the test took longer than the window was busy");
    QCOMPARE(caption, std::optional(QStringLiteral("Caption While Busy")));
}

void FaultsFrozen::receiverThatEndsLosesNothing_data()
{
    // How the receiver ends in the middle of a stream, and whether the
    // payloads go over a direct channel or the bus.
    QTest::addColumn<bool>("killed");
    QTest::addColumn<bool>("direct");
    QTest::newRow("ends, channel") << false << true;
    QTest::newRow("ends, bus") << false << false;
    QTest::newRow("killed, channel") << true << true;
    QTest::newRow("killed, bus") << true << false;
}

void FaultsFrozen::receiverThatEndsLosesNothing()
{
    // Each payload ends as delivered once or reported failed: one the
    // receiver took is never reported failed when it ends by itself, and
    // none is reported delivered that it never took.
    QFETCH(bool, killed);
    QFETCH(bool, direct);
    constexpr int Count = 3000;
    constexpr int EndAfter = 1000;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!direct)
        env.insert(QStringLiteral("INTERPROC_DIRECT_CHANNELS"), QStringLiteral("0"));
    Peer receiver(QStringLiteral("Receiver That Ends"), {}, env);
    Peer sender(QStringLiteral("Sender To One That Ends"),
                {QStringLiteral("--outcomes"), QStringLiteral("--handles")}, env);
    receiver.start();
    sender.start();
    QVERIFY2(receiver.waitReady(), receiver.transcript().constData());
    QVERIFY2(sender.waitReady(), sender.transcript().constData());
    // The first payload goes over the bus and opens the channel for the rest.
    QCOMPARE(sender.sendTo(receiver, 0, QStringLiteral("first")), 1);
    QVERIFY2(receiver.nextArrival(), receiver.transcript().constData());
    QVERIFY2(!sender.takeLine("DELIVERED ").isEmpty(), sender.transcript().constData());
    QCOMPARE(sender.takeLine("OUTCOME ").split(' ').value(2), "Delivered");
    QTest::qWait(300);

    if (!killed) {
        receiver.command("quitafter " + QByteArray::number(EndAfter));
        QVERIFY(!receiver.takeLine("EXPECTING ").isEmpty());
    }
    sender.sendMany(InterProc::WindowHandle, QString::number(receiver.handle()), Count,
                    QStringLiteral("to one that ends"));
    if (killed) {
        QVERIFY(QTest::qWaitFor([&] { return receiver.countReceivedLines("ARRIVAL ") >= EndAfter; },
                                LineTimeoutMs));
        QCOMPARE(::kill(receiver.pid(), SIGKILL), 0);
    }
    // The event loop runs meanwhile, for the sender's command to go out.
    QVERIFY(QTest::qWaitFor([&] { return !receiver.isRunning(); }, LineTimeoutMs));
    QList<qint32> arrived;
    for (const QByteArray &line : receiver.takeReceivedLines("ARRIVAL "))
        arrived.append(Arrival::parse(line).value_or(Arrival{}).longData);

    qsizetype delivered = 0;
    QList<QByteArray> failed;
    QList<QByteArray> outcomes;
    auto collect = [&] {
        delivered += sender.takeReceivedLines("DELIVERED ").size();
        failed += sender.takeReceivedLines("FAILED ");
        outcomes += sender.takeReceivedLines("OUTCOME ");
        return delivered + failed.size() >= Count && outcomes.size() >= Count;
    };
    QVERIFY2(
        QTest::qWaitFor(collect, LineTimeoutMs),
        qPrintable(QStringLiteral("%1 delivered, %2 failed").arg(delivered).arg(failed.size())));
    QTest::qWait(500); // none is told twice
    collect();
    qInfo("the receiver took %lld of %d payloads; the sender reported %lld delivered and %lld "
          "failed",
          qint64(arrived.size()), Count, qint64(delivered), qint64(failed.size()));
    QCOMPARE(delivered + failed.size(), qsizetype(Count));
    for (qsizetype i = 0; i < arrived.size(); ++i)
        QCOMPARE(arrived.at(i), qint32(i + 1));
    QVERIFY(arrived.size() >= EndAfter);
    // The handles tell the same: gone, or maybe taken, for each failure;
    // on a starved machine some wait out their time on the sender's side.
    QCOMPARE(outcomes.size(), qsizetype(Count));
    qsizetype handlesDelivered = 0;
    for (const QByteArray &line : std::as_const(outcomes)) {
        const QByteArray outcome = line.split(' ').value(2);
        handlesDelivered += outcome == "Delivered";
        QVERIFY2(outcome == "Delivered" || outcome == "ReceiverGone" || outcome == "Uncertain" ||
                     outcome == "QueueFull",
                 line.constData());
    }
    QCOMPARE(handlesDelivered, delivered);
    // Killed, it may have answered the payload it was raising, and cannot
    // see to it that its sender reads the answers it wrote.
    QVERIFY2(
        killed ? delivered <= arrived.size() + 1 : delivered == arrived.size(),
        qPrintable(
            QStringLiteral("%1 taken, %2 reported delivered").arg(arrived.size()).arg(delivered)));
}

QTEST_GUILESS_MAIN(FaultsFrozen)
#include "tst_faults_frozen.moc"
