// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// Programs in a sandbox as Flatpak makes one, and windows outside it: the
// sandbox (bubblewrap) has a private runtime directory of its own, the
// outside one hidden, and reaches the session bus only through
// xdg-dbus-proxy with the filter Flatpak writes for an app that may own and
// talk to the window names. Both sides list, address and send to each other,
// acknowledgements come back, the window program started inside takes the
// client role, and what the sandbox forbids is said in one clear sentence.
#include "peerprocess.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace TestSupport;

namespace {

const QStringList FlatpakFilter{QStringLiteral("--filter"),
                                QStringLiteral("--own=org.calvorn.CalvornTest"),
                                QStringLiteral("--own=org.calvorn.CalvornTest.*"),
                                QStringLiteral("--own=org.calvorn.InterProc.Window.*"),
                                QStringLiteral("--talk=org.calvorn.InterProc.Window.*")};

struct Outcome
{
    int status = -1;
    QByteArray out;
    QByteArray err;
};

// A sandbox whose bus is a proxy's socket (or any socket the test gives).
class Sandbox
{
public:
    explicit Sandbox(const QStringList &filter)
    {
        m_proxy.setProcessChannelMode(QProcess::ForwardedChannels);
        m_proxy.start(QStringLiteral("xdg-dbus-proxy"),
                      QStringList{qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"), busSocket()} +
                          filter);
        (void)QTest::qWaitFor([&] { return QFile::exists(busSocket()); }, 10000);
    }
    ~Sandbox()
    {
        m_proxy.terminate();
        waitForExit(m_proxy, 10000);
    }

    bool isUp() const { return QFile::exists(busSocket()); }
    QString busSocket() const { return m_dir.filePath(QStringLiteral("bus")); }

    // `program arguments` as a command line that runs it inside.
    QStringList wrap(const QString &program, const QStringList &arguments) const
    {
        const QString runtime = QStringLiteral("/run/user/%1").arg(::getuid());
        // A sanitized build writes its reports where the test run says.
        QStringList reports;
        for (const QString &option : qEnvironmentVariable("ASAN_OPTIONS").split(u':')) {
            if (option.startsWith(QLatin1String("log_path="))) {
                const QString dir = QFileInfo(option.mid(9)).absolutePath();
                reports << QStringLiteral("--bind") << dir << dir;
            }
        }
        return QStringList{
                   QStringLiteral("--ro-bind"),
                   QStringLiteral("/"),
                   QStringLiteral("/"),
                   QStringLiteral("--dev"),
                   QStringLiteral("/dev"),
                   QStringLiteral("--proc"),
                   QStringLiteral("/proc"),
                   QStringLiteral("--unshare-pid"),
                   QStringLiteral("--die-with-parent"),
                   QStringLiteral("--tmpfs"),
                   QStringLiteral("/tmp"),
                   QStringLiteral("--tmpfs"),
                   QStringLiteral("/run"),
                   // The outside runtime directory, where windows
                   // outside offer their direct channels, is hidden.
                   QStringLiteral("--tmpfs"),
                   qEnvironmentVariable("XDG_RUNTIME_DIR"),
                   QStringLiteral("--perms"),
                   QStringLiteral("0700"),
                   QStringLiteral("--dir"),
                   runtime,
                   QStringLiteral("--bind"),
                   busSocket(),
                   runtime + QStringLiteral("/bus"),
                   QStringLiteral("--setenv"),
                   QStringLiteral("XDG_RUNTIME_DIR"),
                   runtime,
                   QStringLiteral("--setenv"),
                   QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                   QStringLiteral("unix:path=") + runtime + QStringLiteral("/bus"),
               } +
               reports + QStringList{QStringLiteral("--"), program} + arguments;
    }

    // An interproc_peer inside.
    std::unique_ptr<Peer> peer(const QString &caption, const QStringList &options = {}) const
    {
        auto p = std::make_unique<Peer>(caption, options);
        p->process().setArguments(wrap(p->process().program(), p->process().arguments()));
        p->process().setProgram(QStringLiteral("bwrap"));
        return p;
    }

    Outcome run(const QString &program, const QStringList &arguments) const
    {
        return runOutside(QStringLiteral("bwrap"), wrap(program, arguments));
    }

    static Outcome runOutside(const QString &program, const QStringList &arguments)
    {
        QProcess process;
        process.start(program, arguments);
        waitForExit(process, 30000);
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            waitForExit(process);
        }
        return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                process.readAllStandardOutput(), process.readAllStandardError()};
    }

private:
    QTemporaryDir m_dir;
    QProcess m_proxy;
};

const QString Interproc = QStringLiteral(INTERPROC_COMMAND);

} // namespace

class TestSandbox : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void listsAndSendsBothWays();
    void windowProgramInsideIsClient();
    void forbiddenIsSaidClearly_data();
    void forbiddenIsSaidClearly();
};

void TestSandbox::initTestCase()
{
    for (const char *tool : {"bwrap", "xdg-dbus-proxy"})
        QVERIFY2(!QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty(),
                 QByteArray(tool) + " is missing: scripts/test.sh installs bubblewrap and "
                                    "xdg-dbus-proxy");
}

void TestSandbox::listsAndSendsBothWays()
{
    Sandbox sandbox(FlatpakFilter);
    QVERIFY(sandbox.isUp());
    PeerList peers;
    peers.push_back(std::make_unique<Peer>(QStringLiteral("Outside window"),
                                           QStringList{QStringLiteral("--ack")}));
    peers.push_back(sandbox.peer(QStringLiteral("Inside window"), {QStringLiteral("--ack")}));
    QVERIFY(startAll(peers));
    Peer &outside = *peers[0];
    Peer &inside = *peers[1];

    // Listed by the command on either side.
    const Outcome inList = sandbox.run(Interproc, {QStringLiteral("list")});
    QVERIFY2(inList.status == 0, inList.err);
    const Outcome outList = Sandbox::runOutside(Interproc, {QStringLiteral("list")});
    QVERIFY2(outList.status == 0, outList.err);
    for (const Outcome *list : {&inList, &outList}) {
        QVERIFY2(list->out.contains(QByteArray::number(outside.handle()) + "\tOutside window\n"),
                 list->out);
        QVERIFY2(list->out.contains(QByteArray::number(inside.handle()) + "\tInside window\n"),
                 list->out);
    }

    // Addressed by caption, prefix and handle, both ways.
    for (auto [from, to] : {std::pair{&inside, &outside}, std::pair{&outside, &inside}}) {
        QVERIFY(from->waitUntilSees(InterProc::ExactCaption, to->caption(), 1));
        QCOMPARE(from->probe(InterProc::CaptionPrefix, to->caption().left(4)), 1);
        QCOMPARE(from->probe(InterProc::WindowHandle, QString::number(to->handle())), 1);

        // One payload by caption, and its acknowledgement back.
        from->command("expectacks 1");
        QVERIFY(!from->takeLine("EXPECTING").isEmpty());
        QCOMPARE(from->send(InterProc::ExactCaption, to->caption(), 7, QStringLiteral("hello")), 1);
        QVERIFY2(to->nextArrival() ==
                     Arrival::of(from->handle(), from->caption(), 7, QStringLiteral("hello")),
                 to->transcript());
        QVERIFY2(!from->takeLine("ACKED 1").isEmpty(), from->transcript());

        // 30 numbered payloads, whole and in order, and their 30 answers.
        to->command("expect 30");
        QVERIFY(!to->takeLine("EXPECTING").isEmpty());
        from->command("expectacks 30");
        QVERIFY(!from->takeLine("EXPECTING").isEmpty());
        from->sendMany(InterProc::WindowHandle, QString::number(to->handle()), 30,
                       QStringLiteral("numbered"));
        QCOMPARE(from->takeLine("SENT "), QByteArray("SENT 30"));
        QVERIFY2(to->takeLine("DONE 30").startsWith("DONE 30 1 "), to->transcript());
        QVERIFY2(!from->takeLine("ACKED 30").isEmpty(), from->transcript());
        from->takeReceivedLines("ARRIVAL ");
    }
    QVERIFY2(!inside.transcript().contains("FAILED") && !inside.transcript().contains("ERROR"),
             inside.transcript());
    QVERIFY2(!outside.transcript().contains("FAILED") && !outside.transcript().contains("ERROR"),
             outside.transcript());

    // And the command from inside, by caption.
    const Outcome sent =
        sandbox.run(Interproc, {QStringLiteral("send"), QStringLiteral("--caption"),
                                QStringLiteral("Outside window"), QStringLiteral("--text"),
                                QStringLiteral("from the shell")});
    QVERIFY2(sent.status == 0, sent.err);
    QVERIFY(outside.nextArrival().has_value());
}

void TestSandbox::windowProgramInsideIsClient()
{
    Sandbox sandbox(FlatpakFilter);
    QVERIFY(sandbox.isUp());
    Peer observer(QStringLiteral("observer"));
    observer.start();
    QVERIFY(observer.waitReady());

    QProcess server;
    server.setProcessChannelMode(QProcess::ForwardedChannels);
    server.start(QStringLiteral(PROGRAM_PATH), {});
    QVERIFY(observer.waitUntilSees(InterProc::ExactCaption,
                                   QStringLiteral("Calvorn Control Sample - Server App"), 1));
    QProcess client;
    client.setProcessChannelMode(QProcess::ForwardedChannels);
    client.start(QStringLiteral("bwrap"), sandbox.wrap(QStringLiteral(PROGRAM_PATH), {}));
    const bool sawClient = observer.waitUntilSees(
        InterProc::CaptionPrefix, QStringLiteral("Calvorn Control Sample - Client App"), 1);
    for (QProcess *copy : {&client, &server}) {
        copy->terminate();
        waitForExit(*copy, 10000);
    }
    QVERIFY(sawClient);
}

void TestSandbox::forbiddenIsSaidClearly_data()
{
    QTest::addColumn<QStringList>("filter");
    QTest::addColumn<QString>("command");
    QTest::addColumn<QByteArray>("names");

    // A proxy that lets the program see and own nothing of InterProc's.
    QTest::newRow("no window names, list")
        << QStringList{QStringLiteral("--filter")} << QStringLiteral("list")
        << QByteArray("org.calvorn.InterProc.Window.*");
    QTest::newRow("no window names, watch")
        << QStringList{QStringLiteral("--filter")} << QStringLiteral("watch")
        << QByteArray("org.calvorn.InterProc.Window.*");
    // A "proxy" that closes every connection at once.
    QTest::newRow("closed at once")
        << QStringList{} << QStringLiteral("list") << QByteArray("session-bus");
}

void TestSandbox::forbiddenIsSaidClearly()
{
    QFETCH(QStringList, filter);
    QFETCH(QString, command);
    QFETCH(QByteArray, names);

    std::unique_ptr<Sandbox> proxied;
    QTemporaryDir closerDir;
    QStringList arguments{command};
    if (command == QLatin1String("watch"))
        arguments << QStringLiteral("--caption") << QStringLiteral("forbidden");
    Outcome outcome;
    if (!filter.isEmpty()) {
        proxied = std::make_unique<Sandbox>(filter);
        QVERIFY(proxied->isUp());
        outcome = proxied->run(Interproc, arguments);
    } else {
        const QString path = closerDir.filePath(QStringLiteral("bus"));
        const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        qstrncpy(address.sun_path, QFile::encodeName(path).constData(), sizeof address.sun_path);
        QVERIFY(::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);
        QVERIFY(::listen(listener, 8) == 0);
        QSocketNotifier accepting(listener, QSocketNotifier::Read);
        connect(&accepting, &QSocketNotifier::activated, &accepting,
                [listener] { ::close(::accept(listener, nullptr, nullptr)); });
        auto closeListener = qScopeGuard([listener] { ::close(listener); });
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=") + path);
        process.setProcessEnvironment(env);
        process.start(Interproc, arguments);
        QTRY_VERIFY_WITH_TIMEOUT(process.state() == QProcess::NotRunning, 30000);
        outcome = {process.exitCode(), process.readAllStandardOutput(),
                   process.readAllStandardError()};
    }
    QCOMPARE(outcome.status, 1);
    QVERIFY2(outcome.err.contains(names), outcome.err);
    QVERIFY2(!outcome.err.contains("Transport endpoint"), outcome.err);
    QCOMPARE(outcome.err.count('\n'), 1);
}

QTEST_GUILESS_MAIN(TestSandbox)
#include "tst_sandbox.moc"
