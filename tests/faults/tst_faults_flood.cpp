// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// A flood of payloads from many sender processes into one real window, the
// server, living in this process: every payload is logged in order and
// acknowledged, and the window's event loop keeps running meanwhile.
#include "frmmain.h"
#include "interproc.h"
#include "peerprocess.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHash>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QTimer>

#include <ctime>
#include <memory>

using namespace TestSupport;

namespace {
const QString serverCaption = QStringLiteral("Calvorn Control Sample - Server App");
const QString stars(63, u'*');

// Processor time this thread has used, in nanoseconds.
qint64 threadCpuNs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}
} // namespace

class FaultsFlood : public QObject
{
    Q_OBJECT
private slots:
    void floodReachesOneWindow();
};

void FaultsFlood::floodReachesOneWindow()
{
    constexpr int senders = 8;
    constexpr int perSender = 1250;
    constexpr int total = senders * perSender;

    frmMain window;
    window.show();
    QVERIFY(window.isServer());
    QCOMPARE(window.windowTitle(), serverCaption);
    InterProc *ip = window.interProc();
    QTRY_VERIFY_WITH_TIMEOUT(ip->isReady(), LineTimeoutMs);
    QSignalSpy errors(ip, &InterProc::errorOccurred);

    PeerList peers;
    for (int i = 1; i <= senders; ++i)
        peers.push_back(std::make_unique<Peer>(QStringLiteral("Flood Sender %1").arg(i)));
    QVERIFY(startAll(peers, true));
    for (const auto &peer : peers)
        QVERIFY2(peer->waitUntilSees(0, serverCaption, 1), peer->transcript().constData());

    int arrivals = 0;
    QElapsedTimer clock;
    qint64 lastArrivalNs = 0;
    connect(ip, &InterProc::DataArrival, this, [&] {
        ++arrivals;
        lastArrivalNs = clock.nsecsElapsed();
    });

    // The window's event loop is this test's: a 1 ms timer shows how long it
    // was ever kept from running, and the thread's processor time between two
    // ticks how much of that was work on this thread rather than waiting for
    // a processor that the senders and the bus daemon share.
    qint64 lastTickNs = 0;
    qint64 lastTickCpuNs = 0;
    qint64 longestStallNs = 0;
    qint64 longestBusyNs = 0;
    int ticks = 0;
    int ticksDuringFlood = 0;
    QTimer heartbeat;
    heartbeat.setTimerType(Qt::PreciseTimer);
    heartbeat.setInterval(1);
    connect(&heartbeat, &QTimer::timeout, this, [&] {
        const qint64 now = clock.nsecsElapsed();
        const qint64 cpu = threadCpuNs();
        if (ticks > 0) {
            longestStallNs = std::max(longestStallNs, now - lastTickNs);
            longestBusyNs = std::max(longestBusyNs, cpu - lastTickCpuNs);
        }
        lastTickNs = now;
        lastTickCpuNs = cpu;
        ++ticks;
        if (arrivals > 0 && arrivals < total)
            ++ticksDuringFlood;
    });

    // Acknowledgements each sender has taken, and the lines that were no
    // acknowledgement from the window.
    QHash<Peer *, int> acks;
    QHash<Peer *, QByteArray> sent;
    QStringList strayLines;
    const QString expectedAck = QStringLiteral("OK from \"%1\"").arg(serverCaption);
    auto collect = [&] {
        bool complete = arrivals == total;
        for (const auto &peer : peers) {
            for (const QByteArray &line : peer->takeReceivedLines("ARRIVAL ")) {
                const std::optional<Arrival> ack = Arrival::parse(line);
                if (ack && ack->sender == ip->windowHandle() && ack->text == expectedAck &&
                    ack->longData == 0)
                    ++acks[peer.get()];
                else
                    strayLines.append(QString::fromUtf8(line));
            }
            if (const QList<QByteArray> s = peer->takeReceivedLines("SENT "); !s.isEmpty())
                sent[peer.get()] = s.last();
            complete = complete && acks.value(peer.get()) == perSender;
        }
        return complete;
    };

    const QString text = QStringLiteral("flood payload");
    clock.start();
    heartbeat.start();
    for (const auto &peer : peers)
        peer->sendMany(0, serverCaption, perSender, text);

    QEventLoop loop;
    QTimer poll;
    connect(&poll, &QTimer::timeout, &loop, [&] {
        if (collect())
            loop.quit();
    });
    poll.start(20);
    QTimer::singleShot(240000, &loop, &QEventLoop::quit);
    loop.exec();
    const qint64 doneNs = clock.nsecsElapsed();
    heartbeat.stop();
    poll.stop();
    collect();

    qInfo("%d payloads logged in %.0f ms (%.0f entries/s), all acknowledged after %.0f ms",
          arrivals, lastArrivalNs / 1e6, arrivals / (lastArrivalNs / 1e9), doneNs / 1e6);
    qInfo("event loop: %d ticks of the 1 ms timer, %d of them during the flood; longest stall "
          "%.1f ms; most processor time used by this thread between two ticks %.1f ms",
          ticks, ticksDuringFlood, longestStallNs / 1e6, longestBusyNs / 1e6);

    for (const auto &peer : peers) {
        QCOMPARE(sent.value(peer.get()), "SENT " + QByteArray::number(perSender));
        QVERIFY2(acks.value(peer.get()) == perSender,
                 qPrintable(QStringLiteral("%1 has %2 acknowledgements")
                                .arg(peer->caption())
                                .arg(acks.value(peer.get()))));
        QCOMPARE(peer->takeReceivedLines("FAILED "), QList<QByteArray>());
    }
    QCOMPARE(strayLines, QStringList());
    QCOMPARE(arrivals, total);
    QCOMPARE(errors.size(), 0);
    QVERIFY2(ticksDuringFlood >= 5, "the window's event loop stood still during the flood");

    // Each entry is four lines; per sender, LongData runs 1, 2, ... in order.
    const QStringList lines = window.findChild<QPlainTextEdit *>(QStringLiteral("txtReceived"))
                                  ->toPlainText()
                                  .split(u'\n');
    QCOMPARE(lines.size(), 4 * total + 1);
    QCOMPARE(lines.last(), QString());
    QHash<QString, int> lastSeen;
    for (qsizetype i = 0; i + 4 <= lines.size(); i += 4) {
        QVERIFY2(lines.at(i).startsWith(QLatin1String("Sender = ")), qPrintable(lines.at(i)));
        const QString sender = lines.at(i).mid(9);
        const int expected = lastSeen.value(sender) + 1;
        QCOMPARE(lines.at(i + 1), QStringLiteral("LongData = %1").arg(expected));
        QCOMPARE(lines.at(i + 2), QStringLiteral("StringData = ") + text);
        QCOMPARE(lines.at(i + 3), stars);
        lastSeen[sender] = expected;
    }
    QCOMPARE(lastSeen.size(), senders);
    for (const auto &peer : peers)
        QCOMPARE(lastSeen.value(peer->caption()), perSender);
}

QTEST_MAIN(FaultsFlood)
#include "tst_faults_flood.moc"
