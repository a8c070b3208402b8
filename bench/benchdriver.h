// What the benchmark drivers share: reporting, waiting on the event loop,
// and the helper processes they start (next to the driver's own program).
#pragma once

#include "benchtext.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QProcess>
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

// A helper process, talked to in lines over its standard input and output.
class Peer
{
public:
    Peer(const QString &program, const QStringList &arguments)
    {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QCoreApplication::applicationDirPath() + QLatin1Char('/') + program,
                        arguments);
        if (!m_process.waitForStarted())
            fail(QStringLiteral("cannot start %1: %2").arg(program, m_process.errorString()));
    }

    ~Peer()
    {
        m_process.closeWriteChannel(); // the end of its input ends it
        if (!m_process.waitForFinished(5000))
            m_process.kill();
    }

    void command(const QByteArray &line) { m_process.write(line + '\n'); }

    // The fields of the next line that starts with word; lines before it
    // are dropped.
    QList<QByteArray> waitFor(const QByteArray &word)
    {
        QList<QByteArray> fields;
        spinUntil(
            [&] {
                m_buffer += m_process.readAllStandardOutput();
                qsizetype end;
                while ((end = m_buffer.indexOf('\n')) >= 0) {
                    const QByteArray line = m_buffer.left(end);
                    m_buffer.remove(0, end + 1);
                    if (line.startsWith("FAILED "))
                        fail(QStringLiteral("a helper reports: ") + QString::fromUtf8(line.mid(7)));
                    fields = line.split(' ');
                    if (fields.first() == word)
                        return true;
                }
                if (m_process.state() == QProcess::NotRunning)
                    fail(QStringLiteral("a helper ended while waiting for ") +
                         QString::fromLatin1(word));
                return false;
            },
            word.constData());
        return fields;
    }

private:
    QProcess m_process;
    QByteArray m_buffer;
};

// Starts `count` peers of one kind, the i-th with the arguments args(i), and
// waits until each is ready.
inline std::vector<std::unique_ptr<Peer>> startPeers(const QString &program, int count,
                                                     const std::function<QStringList(int)> &args)
{
    std::vector<std::unique_ptr<Peer>> peers;
    for (int i = 0; i < count; ++i)
        peers.push_back(std::make_unique<Peer>(program, args(i)));
    for (const auto &peer : peers)
        peer->waitFor("READY");
    return peers;
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
