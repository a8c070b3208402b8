// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// Drives a helper program over its standard input and output, one line at a
// time (see lineprotocol.h): interproc_peer (see its source for the lines),
// for the tests and the benchmarks, calvorn_windowhost (windowhostprocess.h)
// and the benchmarks' dbus_echo. Lines are kept until the driver takes them,
// so that it can wait for the line it expects while others come in between.
#pragma once

#include "interproc.h"
#include "lineprotocol.h"

#include <InterProc/interprocbus.h>

#include <QByteArray>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <memory>
#include <optional>
#include <vector>

#ifndef INTERPROC_PEER
#error "INTERPROC_PEER must name the peer program"
#endif

namespace TestSupport {

inline constexpr int LineTimeoutMs = 60000;
// interproc_peer reports texts longer than this by length and digest.
inline constexpr qsizetype PeerInlineChars = 4096;

inline const QString BusInterface = QLatin1String(InterProcBus::Interface);
inline const QString BusPath = QLatin1String(InterProcBus::ObjectPath);
using InterProcBus::serviceForHandle;

// True once the process has ended, however long ago.
inline bool waitForExit(QProcess &process, int timeoutMs = LineTimeoutMs)
{
    return process.state() == QProcess::NotRunning || process.waitForFinished(timeoutMs);
}

// A payload as interproc_peer reports it.
struct Arrival
{
    qint32 sender = 0;
    QString name;
    qint32 longData = 0;
    QString text;           // short texts
    qint64 characters = -1; // long texts: length and digest only
    QByteArray digest;

    bool operator==(const Arrival &) const = default;

    // The report of a payload with these fields.
    static Arrival of(qint32 sender, const QString &name, qint32 longData, const QString &text)
    {
        Arrival a{sender, name, longData, {}, -1, {}};
        if (text.size() > PeerInlineChars) {
            a.characters = text.size();
            a.digest = sha256(text);
        } else {
            a.text = text;
        }
        return a;
    }

    static std::optional<Arrival> parse(const QByteArray &line)
    {
        const QList<QByteArray> f = line.split(' ');
        if (f.size() < 5)
            return std::nullopt;
        Arrival a;
        a.sender = f.at(1).toInt();
        a.name = unb64(f.at(2));
        a.longData = f.at(3).toInt();
        if (f.at(0) == "ARRIVALBIG" && f.size() == 6) {
            a.characters = f.at(4).toLongLong();
            a.digest = f.at(5);
        } else if (f.at(0) == "ARRIVAL" && f.size() == 5) {
            a.text = unb64(f.at(4));
        } else {
            return std::nullopt;
        }
        return a;
    }
};

// For QCOMPARE.
inline char *toString(const Arrival &a)
{
    QByteArray s = "sender " + QByteArray::number(a.sender) + ", name ";
    std::unique_ptr<char[]> name(QTest::toPrettyUnicode(a.name));
    s += name.get();
    s += ", LongData " + QByteArray::number(a.longData) + ", text ";
    if (a.characters >= 0) {
        s += QByteArray::number(a.characters) + " characters, sha256 " + a.digest;
    } else {
        std::unique_ptr<char[]> text(QTest::toPrettyUnicode(a.text.left(200)));
        s += text.get();
    }
    return qstrdup(s.constData());
}

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

    virtual ~LineProcess() { stop(); }

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
        QByteArray text = "\n--- " + label() + ", last lines:";
        for (const QByteArray &line : m_history)
            text += '\n' + line.left(160);
        return text;
    }

protected:
    // Names the process in transcripts.
    virtual QByteArray label() const
    {
        return (QStringList{QFileInfo(m_process.program()).fileName()} + m_process.arguments())
            .join(u' ')
            .toUtf8();
    }

    // Ends the process with its quit command, or kills it if it does not
    // end; a stopped process is continued first, as it reads nothing.
    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        ::kill(pid_t(m_process.processId()), SIGCONT);
        m_process.write("quit\n");
        m_process.closeWriteChannel();
        if (!waitForExit(m_process, 30000)) {
            m_process.kill();
            waitForExit(m_process, 30000);
        }
    }

private:
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

    QProcess m_process;
    QByteArray m_buffer;
    QList<QByteArray> m_pending;
    QList<QByteArray> m_history;
};

// One interproc_peer process hosting one instance; options as the peer
// takes them (--ack, --skip-self, --echo, --quiet, --digest).
class Peer : public LineProcess
{
public:
    explicit Peer(const QString &caption, const QStringList &options = {},
                  const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
        : LineProcess(QStringLiteral(INTERPROC_PEER), QStringList{caption} + options, env),
          m_caption(caption)
    {}

    ~Peer() override
    {
        stop();
        // The peers of the next test on this bus must not meet this window
        // any more. A peer on a bus of its own leaves this one alone.
        if (m_handle > 0 && onTestsBus()) {
            QDBusConnectionInterface *bus = QDBusConnection::sessionBus().interface();
            (void)QTest::qWaitFor(
                [&] { return !bus->isServiceRegistered(serviceForHandle(m_handle)).value(); },
                30000);
        }
    }

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
        return Arrival::parse(takeLineIf(
            [](const QByteArray &l) {
                return l.startsWith("ARRIVAL ") || l.startsWith("ARRIVALBIG ");
            },
            timeoutMs));
    }

    // What the instance knows of a party: its caption, or nothing while the
    // caption is not known.
    std::optional<QString> partyCaption(qint32 handle)
    {
        command("party " + QByteArray::number(handle));
        const QList<QByteArray> words = takeLine("PARTY ").split(' ');
        if (words.value(1) != "1")
            return std::nullopt;
        return unb64(words.value(2));
    }

    // Keeps the instance's thread asleep for ms from now, as a program busy
    // in a long handler would.
    void block(int ms)
    {
        command("block " + QByteArray::number(ms));
        takeLine("BLOCKING");
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
        return send(InterProc::WindowHandle, QString::number(receiver.handle()), longData, text);
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

    // Other instances learn of new windows and captions from the bus, a
    // little later than they happen: waits until this one sees `count`.
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

    // The payloads that have arrived so far, by the peer's own count.
    qint64 arrivedCount(int timeoutMs = LineTimeoutMs)
    {
        command("count");
        return numberIn(takeLine("COUNT ", timeoutMs));
    }

    bool rename(const QString &caption)
    {
        command("caption " + b64(caption));
        if (takeLine("OK").isEmpty())
            return false;
        m_caption = caption;
        return true;
    }

protected:
    QByteArray label() const override
    {
        return "peer \"" + m_caption.toUtf8() + "\" (" + QByteArray::number(m_handle) + ')';
    }

private:
    // The number after a report's first word, or -1.
    static qint64 numberIn(const QByteArray &line)
    {
        const QList<QByteArray> f = line.split(' ');
        bool ok = false;
        const qint64 n = f.value(1).toLongLong(&ok);
        return f.size() >= 2 && ok ? n : -1;
    }

    bool onTestsBus()
    {
        const QString key = QStringLiteral("DBUS_SESSION_BUS_ADDRESS");
        return process().processEnvironment().value(key) ==
               qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
    }

    QString m_caption;
    qint32 m_handle = 0;
};

using PeerList = std::vector<std::unique_ptr<Peer>>;

// Starts the peers one after the other, or all at once.
inline bool startAll(const PeerList &peers, bool together = false)
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

} // namespace TestSupport
