// A helper program driven one line at a time over its standard input and
// reporting one line at a time on its standard output: interproc_peer (see
// its header for the lines) and faults_windowhost. Lines are kept until a
// test takes them, so that a test can wait for the line it expects while
// others come in between.
#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <optional>

namespace Faults {

inline constexpr int LineTimeoutMs = 60000;

inline QByteArray b64(const QString &text)
{
    return text.toUtf8().toBase64();
}

inline QString unb64(const QByteArray &field)
{
    return QString::fromUtf8(QByteArray::fromBase64(field));
}

// True once the process has ended, however long ago.
inline bool waitForExit(QProcess &process, int timeoutMs = LineTimeoutMs)
{
    return process.state() == QProcess::NotRunning || process.waitForFinished(timeoutMs);
}

// A payload as interproc_peer reports it (short texts only).
struct Arrival
{
    qint32 sender = 0;
    QString name;
    qint32 longData = 0;
    QString text;

    static std::optional<Arrival> parse(const QByteArray &line)
    {
        const QList<QByteArray> f = line.split(' ');
        if (f.size() != 5 || f.at(0) != "ARRIVAL")
            return std::nullopt;
        return Arrival{f.at(1).toInt(), unb64(f.at(2)), f.at(3).toInt(), unb64(f.at(4))};
    }
};

class LineProcess
{
public:
    LineProcess(const QString &program, const QStringList &arguments,
                const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
    {
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.setProgram(program);
        m_process.setArguments(arguments);
    }

    virtual ~LineProcess()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        // A stopped process reads no quit.
        ::kill(pid_t(m_process.processId()), SIGCONT);
        m_process.write("quit\n");
        m_process.closeWriteChannel();
        if (!waitForExit(m_process, 30000)) {
            m_process.kill();
            waitForExit(m_process, 30000);
        }
    }

    LineProcess(const LineProcess &) = delete;
    LineProcess &operator=(const LineProcess &) = delete;

    void start() { m_process.start(); }
    QProcess &process() { return m_process; }
    pid_t pid() const { return pid_t(m_process.processId()); }
    bool isRunning() const { return m_process.state() == QProcess::Running; }

    void command(const QByteArray &line) { m_process.write(line + '\n'); }

    // Takes the first line not taken yet that matches, waiting for it; empty
    // when none came in time or the process ended without it.
    template <typename Predicate>
    QByteArray takeLineIf(Predicate matches, int timeoutMs = LineTimeoutMs)
    {
        QByteArray found;
        auto take = [&] {
            readAvailable();
            for (qsizetype i = 0; i < m_pending.size(); ++i) {
                if (matches(m_pending.at(i))) {
                    found = m_pending.takeAt(i);
                    return true;
                }
            }
            return m_process.state() == QProcess::NotRunning && !m_process.bytesAvailable();
        };
        if (!take())
            (void)QTest::qWaitFor(take, timeoutMs);
        return found;
    }

    QByteArray takeLine(const QByteArray &prefix, int timeoutMs = LineTimeoutMs)
    {
        return takeLineIf([&](const QByteArray &l) { return l.startsWith(prefix); }, timeoutMs);
    }

    // Takes every line received so far that starts with prefix.
    QList<QByteArray> takeReceivedLines(const QByteArray &prefix)
    {
        readAvailable();
        QList<QByteArray> taken;
        for (qsizetype i = 0; i < m_pending.size();) {
            if (m_pending.at(i).startsWith(prefix))
                taken.append(m_pending.takeAt(i));
            else
                ++i;
        }
        return taken;
    }

    // Counts, without taking them, the lines received so far that start
    // with prefix.
    qsizetype countReceivedLines(const QByteArray &prefix)
    {
        readAvailable();
        return std::count_if(m_pending.cbegin(), m_pending.cend(),
                             [&](const QByteArray &l) { return l.startsWith(prefix); });
    }

    // The last lines the process printed, for failure messages.
    QByteArray transcript()
    {
        readAvailable();
        QByteArray text = "\n--- " + m_process.arguments().value(0).toUtf8() + ", last lines:";
        for (const QByteArray &line : m_history)
            text += '\n' + line.left(160);
        return text;
    }

protected:
    void readAvailable()
    {
        m_buffer += m_process.readAllStandardOutput();
        qsizetype start = 0;
        qsizetype end;
        while ((end = m_buffer.indexOf('\n', start)) >= 0) {
            const QByteArray line = m_buffer.mid(start, end - start);
            start = end + 1;
            m_pending.append(line);
            m_history.append(line);
            if (m_history.size() > 30)
                m_history.removeFirst();
        }
        m_buffer.remove(0, start);
    }

private:
    QProcess m_process;
    QByteArray m_buffer;
    QList<QByteArray> m_pending;
    QList<QByteArray> m_history;
};

// One interproc_peer process hosting one instance.
class Peer : public LineProcess
{
public:
    explicit Peer(const QString &caption, const QStringList &options = {},
                  const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
        : LineProcess(QStringLiteral(INTERPROC_PEER), QStringList{caption} + options, env),
          m_caption(caption)
    {}

    // Waits until the instance is on the bus; false if it reported anything
    // else first or the process ended.
    bool waitReady(int timeoutMs = LineTimeoutMs)
    {
        const QByteArray line = takeLineIf(
            [](const QByteArray &l) {
                return l.startsWith("READY ") || l.startsWith("NOTCONNECTED ");
            },
            timeoutMs);
        if (!line.startsWith("READY "))
            return false;
        m_handle = line.mid(6).toInt();
        return m_handle > 0;
    }

    qint32 handle() const { return m_handle; }
    QString caption() const { return m_caption; }

    std::optional<Arrival> nextArrival(int timeoutMs = LineTimeoutMs)
    {
        return Arrival::parse(takeLine("ARRIVAL ", timeoutMs));
    }

    // Sends through the instance; the count Send returned, or -1.
    int send(int method, const QString &target, qint32 longData, const QString &text)
    {
        command("send " + QByteArray::number(method) + ' ' + b64(target) + ' ' +
                QByteArray::number(longData) + ' ' + b64(text));
        return int(numberIn(takeLine("SENT ")));
    }

    int sendTo(const Peer &receiver, qint32 longData, const QString &text)
    {
        return send(2, QString::number(receiver.handle()), longData, text);
    }

    // Sends LongData 1..count with one text; the command's SENT line is
    // left for the caller.
    void sendMany(int method, const QString &target, int count, const QString &text)
    {
        command("sendmany " + QByteArray::number(method) + ' ' + b64(target) + ' ' +
                QByteArray::number(count) + ' ' + b64(text));
    }

    // How many windows a send would address now; -1 if the peer did not say.
    int probe(int method, const QString &target, int timeoutMs = LineTimeoutMs)
    {
        command("probe " + QByteArray::number(method) + ' ' + b64(target));
        return int(numberIn(takeLine("MATCHES ", timeoutMs)));
    }

    // The payloads that have arrived so far, by the peer's own count.
    qint64 arrivedCount(int timeoutMs = LineTimeoutMs)
    {
        command("count");
        return numberIn(takeLine("COUNT ", timeoutMs));
    }

    // Other instances learn of new windows from the bus a little later than
    // they appear: waits until this one sees `count`.
    bool waitUntilSees(int method, const QString &target, int count)
    {
        QDeadlineTimer deadline(LineTimeoutMs);
        while (!deadline.hasExpired()) {
            const int seen = probe(method, target);
            if (seen == count)
                return true;
            if (seen < 0)
                return false;
            QTest::qWait(20);
        }
        return false;
    }

    static qint64 numberIn(const QByteArray &line)
    {
        const QList<QByteArray> f = line.split(' ');
        bool ok = false;
        const qint64 n = f.value(1).toLongLong(&ok);
        return f.size() >= 2 && ok ? n : -1;
    }

private:
    QString m_caption;
    qint32 m_handle = 0;
};

} // namespace Faults
