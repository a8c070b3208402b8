// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// What the benchmark drivers share: reporting, waiting on the event loop,
// and the helper processes they start: the peers, through the tests' driver
// (tests/support), and helpers next to the driver's own program.
#pragma once

#include "measure.h"
#include "peerprocess.h"
#include "utf8text.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

namespace Bench {

constexpr int WaitMs = 60000;

[[noreturn]] inline void fail(const QString &message)
{
    std::fprintf(stderr, "%s: %s\n",
                 qPrintable(QFileInfo(QCoreApplication::applicationFilePath()).fileName()),
                 qPrintable(message));
    std::exit(1);
}

// One figure, in the form run.sh collects.
inline void result(const QByteArray &key, double value)
{
    std::printf("RESULT %s %.6g\n", key.constData(), value);
    std::fflush(stdout);
}

// Runs the event loop until done() holds; gives up after WaitMs.
inline void spinUntil(const std::function<bool()> &done, const char *what)
{
    QDeadlineTimer deadline(WaitMs);
    QTimer tick; // wakes the loop now and then to look at the deadline
    tick.start(50);
    while (!done()) {
        if (deadline.hasExpired())
            fail(QStringLiteral("timed out waiting for %1").arg(QLatin1String(what)));
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}

// The fields of the next line from a helper that is word, or starts with
// it; a helper that reports a failure, ends, or says nothing of the kind
// within a minute ends the benchmark.
inline QList<QByteArray> expectLine(TestSupport::LineProcess &helper, const QByteArray &word)
{
    const QByteArray line = helper.takeLineIf([&](const QByteArray &l) {
        return l == word || l.startsWith(word + ' ') || l.startsWith("FAILED ") ||
               l.startsWith("ERROR ");
    });
    if (line.isEmpty())
        fail(QStringLiteral("no %1 from a helper:%2")
                 .arg(QString::fromLatin1(word), QString::fromUtf8(helper.transcript())));
    const QList<QByteArray> fields = line.split(' ');
    if (fields.first() != word)
        fail(QStringLiteral("a helper reports: ") + TestSupport::unb64(fields.last()));
    return fields;
}

// Starts `count` peers (tests/support/interproc_peer) at once, the i-th with
// the caption caption(i), and waits until each is on the bus.
inline TestSupport::PeerList startPeers(int count, const std::function<QString(int)> &caption,
                                        const QStringList &options)
{
    TestSupport::PeerList peers;
    for (int i = 0; i < count; ++i)
        peers.push_back(std::make_unique<TestSupport::Peer>(caption(i), options));
    if (!TestSupport::startAll(peers, true))
        fail(QStringLiteral("a peer did not start"));
    return peers;
}

inline std::unique_ptr<TestSupport::Peer> startPeer(const QString &caption,
                                                    const QStringList &options)
{
    TestSupport::PeerList peers = startPeers(
        1, [&](int) { return caption; }, options);
    return std::move(peers.front());
}

// Starts `count` copies of a helper program that sits beside this one, the
// i-th with the arguments args(i), and waits until each says READY.
inline std::vector<std::unique_ptr<TestSupport::LineProcess>>
startHelpers(const QString &program, int count, const std::function<QStringList(int)> &args)
{
    std::vector<std::unique_ptr<TestSupport::LineProcess>> helpers;
    for (int i = 0; i < count; ++i) {
        helpers.push_back(std::make_unique<TestSupport::LineProcess>(
            QCoreApplication::applicationDirPath() + QLatin1Char('/') + program, args(i)));
        helpers.back()->start();
    }
    for (const auto &helper : helpers)
        expectLine(*helper, "READY");
    return helpers;
}

// The positive whole numbers that follow a benchmark's figure name on its
// command line.
inline QList<qint64> positiveNumbers(const QStringList &args)
{
    QList<qint64> numbers;
    for (const QString &arg : args) {
        bool ok = false;
        numbers.append(arg.toLongLong(&ok));
        if (!ok || numbers.last() <= 0)
            fail(QStringLiteral("not a positive number: ") + arg);
    }
    return numbers;
}

} // namespace Bench
