// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The session bus daemon ends while copies run on it: every instance says
// so within seconds and keeps running with what it had received, and no
// payload that was under way disappears without a report.
#include "nametakerprocess.h"
#include "windowhostprocess.h"

#include <QElapsedTimer>
#include <QTemporaryDir>

#include <csignal>

using namespace TestSupport;

namespace {

const QString serverCaption = QStringLiteral("Calvorn Control Sample - Server App");

// A session bus daemon of the test's own, which the test can end.
class PrivateBus
{
public:
    ~PrivateBus()
    {
        if (m_daemon.state() != QProcess::NotRunning) {
            m_daemon.kill();
            m_daemon.waitForFinished();
        }
    }

    bool start()
    {
        if (!m_dir.isValid())
            return false;
        m_daemon.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_daemon.start(QStringLiteral("dbus-daemon"),
                       {QStringLiteral("--session"), QStringLiteral("--nofork"),
                        QStringLiteral("--print-address=1"),
                        QStringLiteral("--address=unix:tmpdir=") + m_dir.path()});
        if (!QTest::qWaitFor([&] { return m_daemon.canReadLine(); }, LineTimeoutMs))
            return false;
        m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
        return !m_address.isEmpty();
    }

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_address);
        return env;
    }

    QProcess &daemon() { return m_daemon; }

private:
    QTemporaryDir m_dir;
    QProcess m_daemon;
    QString m_address;
};

// Ends a helper with its quit command; true when it ended normally with 0.
bool quitCleanly(LineProcess &process)
{
    process.command("quit");
    process.process().closeWriteChannel();
    return waitForExit(process.process()) &&
           process.process().exitStatus() == QProcess::NormalExit &&
           process.process().exitCode() == 0;
}

} // namespace

class FaultsBusGone : public QObject
{
    Q_OBJECT
private slots:
    void instancesOutliveTheBus_data();
    void instancesOutliveTheBus();
    void takenPayloadsAreNotReportedLost();
    void heldSendEndsWhenTheBusGoes();
};

void FaultsBusGone::instancesOutliveTheBus_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<int>("inFlight"); // payloads under way when the bus ends

    QTest::newRow("daemon killed, idle") << int(SIGKILL) << 0;
    QTest::newRow("daemon terminated, idle") << int(SIGTERM) << 0;
    QTest::newRow("daemon killed, payloads under way") << int(SIGKILL) << 5000;
    QTest::newRow("daemon terminated, payloads under way") << int(SIGTERM) << 5000;
}

void FaultsBusGone::instancesOutliveTheBus()
{
    QFETCH(int, signal);
    QFETCH(int, inFlight);

    PrivateBus bus;
    QVERIFY(bus.start());
    WindowHost window(bus.environment());
    QVERIFY2(window.waitReady(), window.transcript().constData());
    QCOMPARE(window.role(), QByteArray("server"));
    Peer receiver(QStringLiteral("Gone Receiver"), {}, bus.environment());
    Peer sender(QStringLiteral("Gone Sender"), {QStringLiteral("--handles")}, bus.environment());
    receiver.start();
    sender.start();
    QVERIFY2(receiver.waitReady(), receiver.transcript().constData());
    QVERIFY2(sender.waitReady(), sender.transcript().constData());
    QVERIFY2(sender.waitUntilSees(0, serverCaption, 1), sender.transcript().constData());

    // Something received by each before the bus goes.
    const QString before = QStringLiteral("before the bus went");
    QCOMPARE(sender.send(0, serverCaption, 7, before), 1);
    const std::optional<Arrival> ack = sender.nextArrival();
    QVERIFY2(ack, sender.transcript().constData());
    QCOMPARE(ack->text, QStringLiteral("OK from \"%1\"").arg(serverCaption));
    QCOMPARE(sender.sendTo(receiver, 8, before), 1);
    QVERIFY2(receiver.nextArrival(), receiver.transcript().constData());
    const QString windowLog = window.log();
    QCOMPARE(windowLog, QStringLiteral("Sender = Gone Sender\nLongData = 7\nStringData = %1\n%2\n")
                            .arg(before, QString(63, u'*')));

    if (inFlight > 0) {
        sender.sendMany(2, QString::number(receiver.handle()), inFlight,
                        QStringLiteral("under way"));
        QCOMPARE(sender.takeLine("SENT "), "SENT " + QByteArray::number(inFlight));
        // The stream has begun to arrive.
        QVERIFY2(!receiver.takeLine("ARRIVAL ").isEmpty(), receiver.transcript().constData());
    }

    QElapsedTimer sinceEnd;
    sinceEnd.start();
    QCOMPARE(::kill(pid_t(bus.daemon().processId()), signal), 0);
    QVERIFY(waitForExit(bus.daemon()));

    // Each instance tells why, and that the bus is lost.
    for (LineProcess *instance :
         {static_cast<LineProcess *>(&window), static_cast<LineProcess *>(&receiver),
          static_cast<LineProcess *>(&sender)}) {
        const QByteArray lost = instance->takeLine("LOST ");
        QVERIFY2(!lost.isEmpty(), instance->transcript().constData());
        qInfo(
            "%s had reported the lost bus %lld ms after the daemon ended: %s",
            instance->process().arguments().value(0, QStringLiteral("window")).toUtf8().constData(),
            sinceEnd.elapsed(), qPrintable(unb64(lost.mid(5))));
        QVERIFY2(unb64(lost.mid(5)).contains(QLatin1String("session bus")), lost);
        const QByteArray error = instance->takeLine("ERROR ");
        QVERIFY2(unb64(error.mid(6)).contains(QLatin1String("session bus")),
                 instance->transcript().constData());
    }

    // The window keeps its log for reading and can no longer send.
    QCOMPARE(window.buttons(), QByteArray("BUTTONS 0 0"));
    QCOMPARE(window.log(), windowLog);

    // The receiver keeps what it had: its own count matches all it reported,
    // and the stream (if any) came without gaps, as one connection's payloads
    // come in order. Payloads queued before the loss may still be handed
    // over, so the count is taken until it stands still.
    const int takenBefore = inFlight > 0 ? 2 : 1;
    QList<QByteArray> received;
    qint64 counted = -1;
    QVERIFY2(QTest::qWaitFor(
                 [&] {
                     counted = receiver.arrivedCount();
                     received += receiver.takeReceivedLines("ARRIVAL ");
                     return counted == received.size() + takenBefore;
                 },
                 LineTimeoutMs),
             receiver.transcript().constData());
    for (qsizetype i = 0; i < received.size(); ++i) {
        const std::optional<Arrival> a = Arrival::parse(received.at(i));
        QVERIFY(a);
        QCOMPARE(a->longData, qint32(i + 2)); // LongData 1 was taken above
    }
    const int streamed = inFlight > 0 ? int(received.size()) + 1 : 0;
    QCOMPARE(sender.arrivedCount(), qint64(1));

    // Every payload under way either arrived or is reported as failed; one
    // that may have arrived is never reported as not taken.
    int failures = 0;
    int notTaken = 0;
    auto countFailures = [&] {
        for (const QByteArray &line : sender.takeReceivedLines("OUTCOME ")) {
            const QByteArray outcome = line.split(' ').value(2);
            failures += outcome != "Delivered";
            notTaken += outcome != "Delivered" && outcome != "Uncertain";
        }
    };
    QVERIFY2(QTest::qWaitFor(
                 [&] {
                     countFailures();
                     return failures >= inFlight - streamed;
                 },
                 LineTimeoutMs),
             qPrintable(QStringLiteral("%1 of %2 arrived, %3 reported as failed")
                            .arg(streamed)
                            .arg(inFlight)
                            .arg(failures)));
    // Reports still on their way come within a moment.
    QTest::qWait(200);
    countFailures();
    if (inFlight > 0)
        qInfo("of %d payloads under way %d arrived, %d were reported as not taken and %d as "
              "maybe taken",
              inFlight, streamed, notTaken, failures - notTaken);
    QVERIFY2(notTaken <= inFlight - streamed,
             qPrintable(QStringLiteral("%1 reported as not taken, but only %2 did not arrive")
                            .arg(notTaken)
                            .arg(inFlight - streamed)));

    // A send now goes nowhere and says so.
    QCOMPARE(sender.sendTo(receiver, 9, QStringLiteral("after")), 0);
    QVERIFY2(!sender
                  .takeLineIf([](const QByteArray &l) {
                      return l.startsWith("ERROR ") &&
                             unb64(l.mid(6)).startsWith(QLatin1String("Nothing was sent"));
                  })
                  .isEmpty(),
             sender.transcript().constData());

    QVERIFY2(quitCleanly(window), window.transcript().constData());
    QVERIFY2(quitCleanly(receiver), receiver.transcript().constData());
    QVERIFY2(quitCleanly(sender), sender.transcript().constData());
}

void FaultsBusGone::takenPayloadsAreNotReportedLost()
{
    // The bus daemon ends holding the answers to calls that the receiver
    // took: their sender must not report those payloads as not taken. The
    // answers are held back behind a flood to the stopped sender.
    constexpr int Count = 2000;
    PrivateBus bus;
    QVERIFY(bus.start());
    Peer receiver(QStringLiteral("Taking Receiver"), {QStringLiteral("--quiet")},
                  bus.environment());
    Peer sender(QStringLiteral("Stopped Sender"), {QStringLiteral("--handles")}, bus.environment());
    Peer filler(QStringLiteral("Filler"), {QStringLiteral("--quiet")}, bus.environment());
    for (Peer *peer : {&receiver, &sender, &filler}) {
        peer->start();
        QVERIFY2(peer->waitReady(), peer->transcript().constData());
    }
    const QString receiverHandle = QString::number(receiver.handle());
    const QString senderHandle = QString::number(sender.handle());
    QVERIFY2(sender.waitUntilSees(2, receiverHandle, 1), sender.transcript().constData());
    QVERIFY2(filler.waitUntilSees(2, senderHandle, 1), filler.transcript().constData());

    // The sender's calls wait at the stopped receiver, then the sender stops
    // and a flood for it fills its socket and the daemon's queue for it.
    QCOMPARE(::kill(receiver.pid(), SIGSTOP), 0);
    sender.sendMany(2, receiverHandle, Count, QStringLiteral("taken"));
    QCOMPARE(sender.takeLine("SENT "), "SENT " + QByteArray::number(Count));
    QTest::qWait(1000);
    QCOMPARE(::kill(sender.pid(), SIGSTOP), 0);
    filler.sendMany(2, senderHandle, 64, QString(60000, u'f'));
    QCOMPARE(filler.takeLine("SENT "), QByteArray("SENT 64"));
    QTest::qWait(1000);
    // The receiver takes what reached it; its answers queue behind the flood.
    QCOMPARE(::kill(receiver.pid(), SIGCONT), 0);
    qint64 taken = -1;
    QVERIFY(QTest::qWaitFor(
        [&] {
            const qint64 now = receiver.arrivedCount();
            const bool still = now == taken && now > 0;
            taken = now;
            QTest::qWait(300);
            return still;
        },
        LineTimeoutMs));
    QCOMPARE(::kill(pid_t(bus.daemon().processId()), SIGKILL), 0);
    QVERIFY(waitForExit(bus.daemon()));
    QCOMPARE(::kill(sender.pid(), SIGCONT), 0);

    int delivered = 0;
    int notTaken = 0;
    int maybe = 0;
    QVERIFY2(QTest::qWaitFor(
                 [&] {
                     for (const QByteArray &line : sender.takeReceivedLines("OUTCOME ")) {
                         const QByteArray outcome = line.split(' ').value(2);
                         if (outcome == "Delivered")
                             ++delivered;
                         else if (outcome == "Uncertain")
                             ++maybe;
                         else
                             ++notTaken;
                     }
                     return delivered + notTaken + maybe >= Count;
                 },
                 LineTimeoutMs),
             sender.transcript().constData());
    qInfo("of %d payloads the receiver took %lld: %d reported delivered, %d as maybe taken, %d as "
          "not taken",
          Count, taken, delivered, maybe, notTaken);
    QCOMPARE(delivered + notTaken + maybe, Count);
    QVERIFY2(notTaken <= Count - taken,
             qPrintable(QStringLiteral("%1 reported as not taken, but the receiver took %2 of %3")
                            .arg(notTaken)
                            .arg(taken)
                            .arg(Count)));
}

void FaultsBusGone::heldSendEndsWhenTheBusGoes()
{
    // A send by caption waits while a party that was there before the
    // sender has not told its caption; the bus going meanwhile ends it as
    // not sent, not later as a send that matched nobody, and not never.
    PrivateBus bus;
    QVERIFY(bus.start());
    NameTaker silent(1, NameTaker::Never);
    silent.process().setProcessEnvironment(bus.environment());
    silent.start();
    QVERIFY2(!silent.takeLine("READY ").isEmpty(), silent.transcript().constData());
    Peer sender(QStringLiteral("Held Sender"), {QStringLiteral("--handles")}, bus.environment());
    sender.start();
    QVERIFY2(sender.waitReady(), sender.transcript().constData());
    QCOMPARE(
        sender.send(InterProc::ExactCaption, QStringLiteral("Nobody"), 1, QStringLiteral("held")),
        -1);

    QCOMPARE(::kill(pid_t(bus.daemon().processId()), SIGKILL), 0);
    QVERIFY(waitForExit(bus.daemon()));
    QVERIFY2(!sender.takeLine("LOST ").isEmpty(), sender.transcript().constData());
    QCOMPARE(sender.takeLine("FINISHED "), QByteArray("FINISHED NotConnected"));
    QVERIFY2(quitCleanly(sender), sender.transcript().constData());
}

QTEST_GUILESS_MAIN(FaultsBusGone)
#include "tst_faults_busgone.moc"
