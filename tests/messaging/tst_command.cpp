// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The interproc command as a user runs it: list, send and watch in processes
// of their own beside peers that answer as CalvornTest windows do
// (tests/support), all on the private session bus the test runs on.
#include "nametakerprocess.h"
#include "peerprocess.h"
#include "utf8text.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#ifndef INTERPROC_COMMAND
#error "INTERPROC_COMMAND must name the interproc program"
#endif

using namespace TestSupport;

namespace {

constexpr int HugeTimeoutMs = 400000;
const QStringList WindowOptions = {QStringLiteral("--ack"), QStringLiteral("--skip-self")};

struct Outcome
{
    int status = -1; // -1 when it crashed or did not end
    QByteArray out;
    QByteArray err;
};

// One run of interproc. The event loop runs while it does, so that peers and
// watchers keep being read.
class Command
{
public:
    explicit Command(const QStringList &arguments,
                     const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
        : Command(QStringLiteral(INTERPROC_COMMAND), arguments, env)
    {}

    Command(const QString &program, const QStringList &arguments,
            const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
    {
        m_process.setProcessEnvironment(env);
        m_process.setProgram(program);
        m_process.setArguments(arguments);
    }

    ~Command()
    {
        m_process.kill();
        m_process.waitForFinished();
    }

    void start(const QByteArray &input = {})
    {
        m_process.start();
        m_process.write(input);
        m_process.closeWriteChannel();
    }

    Outcome finish(int timeoutMs = LineTimeoutMs)
    {
        (void)QTest::qWaitFor([&] { return m_process.state() == QProcess::NotRunning; }, timeoutMs);
        Outcome outcome;
        if (m_process.state() == QProcess::NotRunning &&
            m_process.exitStatus() == QProcess::NormalExit)
            outcome.status = m_process.exitCode();
        outcome.out = m_process.readAllStandardOutput();
        outcome.err = m_process.readAllStandardError();
        return outcome;
    }

private:
    QProcess m_process;
};

Outcome run(const QStringList &arguments, const QByteArray &input = {},
            const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
{
    Command command(arguments, env);
    command.start(input);
    return command.finish();
}

QByteArray describe(const Outcome &outcome)
{
    return "\n--- status " + QByteArray::number(outcome.status) + ", stdout:\n" +
           outcome.out.left(400) + "\n--- stderr:\n" + outcome.err.left(400);
}

// The handle of the party on the bus with this caption, once one is there;
// 0 if none comes.
qint32 waitForParty(const QString &caption)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    qint32 found = 0;
    (void)QTest::qWaitFor(
        [&] {
            for (const QString &name : bus.interface()->registeredServiceNames().value()) {
                if (InterProcBus::handleFromService(name) == 0)
                    continue;
                const QDBusMessage reply =
                    bus.call(QDBusMessage::createMethodCall(name, BusPath, BusInterface,
                                                            QStringLiteral("Describe")),
                             QDBus::Block, 5000);
                if (reply.arguments().value(1).toString() == caption) {
                    found = reply.arguments().value(0).toInt();
                    return true;
                }
            }
            return false;
        },
        LineTimeoutMs);
    return found;
}

// An `interproc watch` process, which prints a JSON object a line.
class Watcher : public LineProcess
{
public:
    explicit Watcher(const QString &caption, const QStringList &options = {})
        : LineProcess(QStringLiteral(INTERPROC_COMMAND),
                      QStringList{QStringLiteral("watch"), QStringLiteral("--caption"), caption} +
                          options),
          m_caption(caption)
    {}

    ~Watcher() override { interrupt(); }

    bool waitReady()
    {
        m_handle = waitForParty(m_caption);
        return m_handle > 0;
    }

    qint32 handle() const { return m_handle; }

    // Ctrl+C; the exit status, or -1 if it did not end by itself.
    int interrupt()
    {
        if (!isRunning())
            return process().exitStatus() == QProcess::NormalExit ? process().exitCode() : -1;
        ::kill(pid(), SIGINT);
        if (!waitForExit(process()) || process().exitStatus() != QProcess::NormalExit)
            return -1;
        return process().exitCode();
    }

    std::optional<QJsonObject> nextArrival(int timeoutMs = LineTimeoutMs)
    {
        const QJsonDocument line = QJsonDocument::fromJson(takeLine("{", timeoutMs));
        return line.isObject() ? std::optional(line.object()) : std::nullopt;
    }

private:
    QString m_caption;
    qint32 m_handle = 0;
};

QJsonObject watchLine(qint32 sender, const QString &name, qint32 longData, const QString &text)
{
    return {{QStringLiteral("senderHandle"), sender},
            {QStringLiteral("senderName"), name},
            {QStringLiteral("longData"), longData},
            {QStringLiteral("stringData"), text}};
}

} // namespace

class TestCommand : public QObject
{
    Q_OBJECT

private slots:
    void listsParties_data();
    void listsParties();
    void sendsByEachForm_data();
    void sendsByEachForm();
    void hugeTextFromStandardInput();
    void watchWhoseOutputIsNotRead();
    void watchPrintsWhatComesWhileItJoins();
    void failures_data();
    void failures();
    void killedReceiverIsNamed();
    void busyReceiverIsFoundByCaption();
    void stoppedReceiverIsSaidNotToAnswer();
    void foreignTextIsEscaped_data();
    void foreignTextIsEscaped();
    void namesThatDoNotDescribeThemselves_data();
    void namesThatDoNotDescribeThemselves();
    void watchAcknowledges_data();
    void watchAcknowledges();
};

void TestCommand::listsParties_data()
{
    QTest::addColumn<bool>("json");
    QTest::newRow("handle, tab, caption") << false;
    QTest::newRow("--json") << true;
}

void TestCommand::listsParties()
{
    QFETCH(bool, json);
    PeerList peers;
    for (const QString &caption :
         {QStringLiteral("List Server App"), QStringLiteral("List Client \u00e4 \U0001F600"),
          QStringLiteral("List \"quoted\" \\ client")})
        peers.push_back(std::make_unique<Peer>(caption, WindowOptions));
    QVERIFY(startAll(peers));
    Watcher watcher(QStringLiteral("List Watch"));
    watcher.start();
    QVERIFY(watcher.waitReady());

    QList<QPair<qint32, QString>> expected = {{watcher.handle(), QStringLiteral("List Watch")}};
    for (const auto &peer : peers)
        expected.append({peer->handle(), peer->caption()});
    std::sort(expected.begin(), expected.end());

    const Outcome outcome = run(json ? QStringList{QStringLiteral("list"), QStringLiteral("--json")}
                                     : QStringList{QStringLiteral("list")});
    QVERIFY2(outcome.status == 0 && outcome.err.isEmpty(), describe(outcome));
    QList<QPair<qint32, QString>> listed;
    if (json) {
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(outcome.out, &error);
        QVERIFY2(document.isArray(), describe(outcome));
        for (const QJsonValue &value : document.array()) {
            const QJsonObject party = value.toObject();
            QCOMPARE(party.keys(),
                     (QStringList{QStringLiteral("caption"), QStringLiteral("handle")}));
            listed.append({party.value(QStringLiteral("handle")).toInt(),
                           party.value(QStringLiteral("caption")).toString()});
        }
    } else {
        // A backslash shows doubled, so that no caption can pass for an escape.
        for (auto &[handle, caption] : expected)
            caption.replace(u'\\', QStringLiteral("\\\\"));
        QVERIFY2(outcome.out.endsWith('\n'), describe(outcome));
        for (const QByteArray &line : outcome.out.chopped(1).split('\n')) {
            const qsizetype tab = line.indexOf('\t');
            QVERIFY2(tab > 0, line);
            listed.append({line.left(tab).toInt(), QString::fromUtf8(line.mid(tab + 1))});
        }
    }
    QCOMPARE(listed, expected);
}

void TestCommand::sendsByEachForm_data()
{
    // In the arguments, <file> is a file holding `input`, and <caption> the
    // handle of the party with that caption. `input` is standard input too.
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QStringList>("receivers");
    QTest::addColumn<QString>("senderName");
    QTest::addColumn<int>("longData");
    QTest::addColumn<QString>("text");

    const QString windowA = QStringLiteral("Form Window A");
    const QString windowB = QStringLiteral("Form Window B");
    const QString watch = QStringLiteral("Form Watch");
    const QString plain = QStringLiteral("h\u00e9llo \u2713 \"quoted\"");
    const QByteArray mixed =
        "\xEF\xBB\xBFone\r\ntwo" + QByteArray(1, '\0') + "three \xF0\x9F\x98\x80";

    QTest::newRow("exact caption, a window, --text")
        << QStringList{"--caption", windowA, "--number", "-7", "--text", plain} << QByteArray()
        << QStringList{windowA} << QStringLiteral("interproc") << -7 << plain;
    QTest::newRow("caption prefix, windows and a watch, --text-file")
        << QStringList{"--prefix", "Form ", "--text-file", "<file>", "--as", "script"} << mixed
        << QStringList{windowA, windowB, watch} << QStringLiteral("script") << 0
        << exactUtf8(mixed);
    QTest::newRow("handle, a watch, standard input")
        << QStringList{"--handle", "<" + watch + ">", "--number", "2147483647", "--text-file", "-"}
        << QByteArray("from a pipe\n") << QStringList{watch} << QStringLiteral("interproc")
        << 2147483647 << QStringLiteral("from a pipe\n");
    QTest::newRow("handle, a window, no text")
        << QStringList{"--handle", "<" + windowB + ">", "--number", "-2147483648"} << QByteArray()
        << QStringList{windowB} << QStringLiteral("interproc") << int(-2147483647 - 1) << QString();
}

void TestCommand::sendsByEachForm()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, input);
    QFETCH(QStringList, receivers);
    QFETCH(QString, senderName);
    QFETCH(int, longData);
    QFETCH(QString, text);

    PeerList windows;
    for (const QString &caption :
         {QStringLiteral("Form Window A"), QStringLiteral("Form Window B")})
        windows.push_back(std::make_unique<Peer>(caption, WindowOptions));
    QVERIFY(startAll(windows));
    Watcher watcher(QStringLiteral("Form Watch"));
    watcher.start();
    QVERIFY(watcher.waitReady());

    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("text")));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(input) == input.size());
    file.close();
    for (QString &argument : arguments) {
        if (argument == QLatin1String("<file>"))
            argument = file.fileName();
        else if (argument.startsWith(u'<'))
            argument = QString::number(waitForParty(argument.mid(1).chopped(1)));
    }

    const Outcome outcome = run(QStringList{QStringLiteral("send")} + arguments, input);
    const QByteArray delivered =
        receivers.size() == 1
            ? QByteArray("delivered to 1 window\n")
            : "delivered to " + QByteArray::number(receivers.size()) + " windows\n";
    QVERIFY2(outcome.status == 0 && outcome.out == delivered && outcome.err.isEmpty(),
             describe(outcome));

    qint32 sender = 0; // the command's own party
    for (const auto &window : windows) {
        if (!receivers.contains(window->caption())) {
            QCOMPARE(window->arrivedCount(), 0);
            continue;
        }
        std::optional<Arrival> arrival = window->nextArrival();
        QVERIFY2(arrival, window->transcript().constData());
        QVERIFY(arrival->sender > 0 && (sender == 0 || arrival->sender == sender));
        sender = arrival->sender;
        QCOMPARE(*arrival, Arrival::of(sender, senderName, longData, text));
    }
    if (receivers.contains(QStringLiteral("Form Watch"))) {
        std::optional<QJsonObject> arrival = watcher.nextArrival();
        QVERIFY2(arrival, watcher.transcript().constData());
        const qint32 from = arrival->value(QStringLiteral("senderHandle")).toInt();
        QVERIFY(from > 0 && (sender == 0 || from == sender));
        QCOMPARE(*arrival, watchLine(from, senderName, longData, text));
    } else {
        QCOMPARE(watcher.countReceivedLines("{"), 0);
    }
    // The command stayed until the windows had acknowledged: none of them
    // found it gone (a window reports that within moments).
    for (const auto &window : windows)
        QCOMPARE(window->takeReceivedLines("FAILED "), QList<QByteArray>());
}

void TestCommand::hugeTextFromStandardInput()
{
    // 100 MiB of UTF-8 with characters of every length, CR LF and NUL, from
    // a pipe as a user gives it. The watcher writes to a file: its line goes
    // out at full speed, not at the pace of this test's event loop.
    constexpr qsizetype Bytes = 100 * 1024 * 1024;
    QByteArray input = utf8Text(Bytes);
    const QByteArray digest = QCryptographicHash::hash(input, QCryptographicHash::Sha256).toHex();
    QTemporaryDir dir;
    QFile inputFile(dir.filePath(QStringLiteral("input")));
    QVERIFY(inputFile.open(QIODevice::WriteOnly) && inputFile.write(input) == Bytes);
    inputFile.close();
    input.clear();

    Watcher watcher(QStringLiteral("Huge Watch"));
    watcher.process().setStandardOutputFile(dir.filePath(QStringLiteral("watched")));
    watcher.start();
    QVERIFY(watcher.waitReady());
    Command command(QStringLiteral("sh"),
                    {QStringLiteral("-c"),
                     QStringLiteral("cat \"$1\" | \"$0\" send --caption 'Huge Watch' --number "
                                    "100 --text-file -"),
                     QStringLiteral(INTERPROC_COMMAND), inputFile.fileName()});
    command.start();
    const Outcome outcome = command.finish(HugeTimeoutMs);
    QVERIFY2(outcome.status == 0 && outcome.out == "delivered to 1 window\n", describe(outcome));

    // Ctrl+C is taken once the line is written.
    QCOMPARE(watcher.interrupt(), 0);
    QFile watched(dir.filePath(QStringLiteral("watched")));
    QVERIFY(watched.open(QIODevice::ReadOnly));
    const QByteArray line = watched.readAll();
    QVERIFY(line.endsWith('\n') && line.count('\n') == 1);
    const QJsonObject arrival = QJsonDocument::fromJson(line).object();
    QCOMPARE(arrival.value(QStringLiteral("longData")).toInt(), 100);
    QCOMPARE(arrival.value(QStringLiteral("senderName")).toString(), QStringLiteral("interproc"));
    const QByteArray received = arrival.value(QStringLiteral("stringData")).toString().toUtf8();
    QCOMPARE(received.size(), Bytes);
    QCOMPARE(QCryptographicHash::hash(received, QCryptographicHash::Sha256).toHex(), digest);
}

void TestCommand::watchWhoseOutputIsNotRead()
{
    // Standard output is a pipe that nobody reads for a while: printing a
    // text larger than the pipe holds waits, and the watch goes on answering
    // on the bus meanwhile.
    QTemporaryDir dir;
    const QByteArray fifo = dir.filePath(QStringLiteral("out")).toLocal8Bit();
    QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
    const int reader = ::open(fifo.constData(), O_RDONLY | O_NONBLOCK);
    QVERIFY(reader >= 0);
    const auto closeReader = qScopeGuard([reader] { ::close(reader); });
    Watcher watcher(QStringLiteral("Unread Watch"), {QStringLiteral("--no-ack")});
    watcher.process().setStandardOutputFile(QString::fromLocal8Bit(fifo));
    watcher.start();
    QVERIFY(watcher.waitReady());

    // As large as a text inside a call may be (64 KiB of UTF-8), and more
    // than the pipe holds once printed.
    const QString text = QString(u'\u00e9').repeated(32 * 1024 - 1) + u'"';
    QDBusMessage deliver = QDBusMessage::createMethodCall(
        serviceForHandle(watcher.handle()), BusPath, BusInterface, QStringLiteral("DeliverUtf8"));
    deliver << 0 << QStringLiteral("tst") << 5 << text.toUtf8();
    const QDBusMessage delivered = QDBusConnection::sessionBus().call(deliver, QDBus::Block, 10000);
    QVERIFY2(delivered.type() == QDBusMessage::ReplyMessage, qPrintable(delivered.errorMessage()));
    for (int i = 0; i < 3; ++i) {
        QTest::qWait(300);
        const QDBusMessage described = QDBusConnection::sessionBus().call(
            QDBusMessage::createMethodCall(serviceForHandle(watcher.handle()), BusPath,
                                           BusInterface, QStringLiteral("Describe")),
            QDBus::Block, 5000);
        QVERIFY2(described.type() == QDBusMessage::ReplyMessage,
                 qPrintable(described.errorMessage()));
    }

    // Read at last, the line is whole.
    QByteArray line;
    QVERIFY2(QTest::qWaitFor(
                 [&] {
                     char buffer[65536];
                     ssize_t got = 0;
                     while ((got = ::read(reader, buffer, sizeof buffer)) > 0)
                         line.append(buffer, got);
                     return line.endsWith('\n');
                 },
                 LineTimeoutMs),
             qPrintable(QStringLiteral("%1 bytes read: ...%2")
                            .arg(line.size())
                            .arg(QString::fromUtf8(line.right(80)))));
    QCOMPARE(line.count('\n'), 1);
    const QJsonObject arrival = QJsonDocument::fromJson(line).object();
    QCOMPARE(arrival, watchLine(0, QStringLiteral("tst"), 5, text));
    QCOMPARE(watcher.interrupt(), 0);
}

void TestCommand::watchPrintsWhatComesWhileItJoins()
{
    // A party that never describes itself keeps the watch joining for a
    // while after its name is on the bus; a payload sent to that name at
    // once is printed too.
    NameTaker silent(1, NameTaker::Never);
    silent.start();
    const qint32 silentHandle = silent.takeLine("READY ").split(' ').value(1).toInt();
    QVERIFY(silentHandle > 0);
    Watcher watcher(QStringLiteral("Joining Watch"), {QStringLiteral("--no-ack")});
    watcher.start();
    QDBusConnectionInterface *daemon = QDBusConnection::sessionBus().interface();
    QString name;
    QVERIFY(QTest::qWaitFor(
        [&] {
            for (const QString &service : daemon->registeredServiceNames().value()) {
                const qint32 handle = InterProcBus::handleFromService(service);
                if (handle > 0 && handle != silentHandle)
                    name = service;
            }
            return !name.isEmpty();
        },
        LineTimeoutMs));
    QDBusMessage deliver =
        QDBusMessage::createMethodCall(name, BusPath, BusInterface, QStringLiteral("DeliverUtf8"));
    deliver << 0 << QStringLiteral("tst") << 6 << QByteArray("early");
    const QDBusMessage delivered = QDBusConnection::sessionBus().call(deliver, QDBus::Block, 10000);
    QVERIFY2(delivered.type() == QDBusMessage::ReplyMessage, qPrintable(delivered.errorMessage()));
    const std::optional<QJsonObject> arrival = watcher.nextArrival(5000);
    QVERIFY2(arrival, watcher.transcript().constData());
    QCOMPARE(*arrival, watchLine(0, QStringLiteral("tst"), 6, QStringLiteral("early")));
    QCOMPARE(watcher.interrupt(), 0);
}

void TestCommand::failures_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<bool>("withBus");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message"); // the first line on standard error begins with it

    const QByteArray none;
    QTest::newRow("no window has the caption")
        << QStringList{"send", "--caption", "Nobody Here"} << none << true << 1
        << "interproc send: No window has the caption \"Nobody Here\".";
    QTest::newRow("no window has the caption prefix")
        << QStringList{"send", "--prefix", "Nobody"} << none << true << 1
        << "interproc send: No window's caption begins with \"Nobody\".";
    QTest::newRow("no session bus") << QStringList{"list"} << none << false << 1
                                    << "interproc list: Cannot connect to the D-Bus session bus";
    QTest::newRow("unreadable text file")
        << QStringList{"send", "--caption", "Nobody", "--text-file", "/nonexistent/text"} << none
        << true << 1 << "interproc send: Cannot read '/nonexistent/text'";
    QTest::newRow("text that is not UTF-8")
        << QStringList{"send", "--caption", "Nobody", "--text-file", "-"}
        << QByteArray("ok \xC3\x28") << true << 1
        << "interproc send: Standard input is not UTF-8 text";
    QTest::newRow("text cut off inside a character")
        << QStringList{"send", "--caption", "Nobody", "--text-file", "-"}
        << QByteArray("abc\xE2\x82") << true << 1
        << "interproc send: Standard input is not UTF-8 text";
    QTest::newRow("no command") << QStringList{} << none << true << 2
                                << "interproc: No command given.";
    QTest::newRow("unknown command")
        << QStringList{"frob"} << none << true << 2 << "interproc: Unknown command 'frob'.";
    QTest::newRow("no address") << QStringList{"send", "--text", "hi"} << none << true << 2
                                << "interproc send: Give exactly one of";
    QTest::newRow("two addresses") << QStringList{"send", "--caption", "a", "--handle", "5"} << none
                                   << true << 2 << "interproc send: Give exactly one of";
    QTest::newRow("number outside 32 bits")
        << QStringList{"send", "--caption", "a", "--number", "2147483648"} << none << true << 2
        << "interproc send: --number takes a whole number";
    QTest::newRow("handle not a number") << QStringList{"send", "--handle", "H12"} << none << true
                                         << 2 << "interproc send: --handle takes a whole number";
    QTest::newRow("two texts") << QStringList{"send", "--caption",   "a", "--text",
                                              "x",    "--text-file", "-"}
                               << none << true << 2
                               << "interproc send: Give at most one of --text and --text-file.";
    QTest::newRow("unknown option before the command")
        << QStringList{"--colour", "list"} << none << true << 2
        << "interproc: Unknown option 'colour'.";
    QTest::newRow("unknown option") << QStringList{"watch", "--colour", "red"} << none << true << 2
                                    << "interproc watch: Unknown option 'colour'.";
    QTest::newRow("stray argument") << QStringList{"list", "all"} << none << true << 2
                                    << "interproc list: Unexpected argument 'all'.";
}

void TestCommand::failures()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, input);
    QFETCH(bool, withBus);
    QFETCH(int, status);
    QFETCH(QString, message);

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!withBus)
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                   QStringLiteral("unix:path=/nonexistent/bus"));
    const Outcome outcome = run(arguments, input, env);
    QVERIFY2(outcome.status == status, describe(outcome));
    const QList<QByteArray> lines = outcome.err.split('\n');
    QVERIFY2(lines.first().startsWith(message.toUtf8()), describe(outcome));
    if (status == 2) {
        // The mistake, a hint to the help, and nothing done.
        const QByteArray command =
            arguments.isEmpty() || arguments.first() == "frob" || arguments.first().startsWith(u'-')
                ? QByteArray("interproc")
                : "interproc " + arguments.first().toUtf8();
        QCOMPARE(lines, (QList<QByteArray>{lines.first(), "Try '" + command + " --help'.", ""}));
        QCOMPARE(outcome.out, QByteArray());
    } else {
        QCOMPARE(lines.size(), 2); // one line
    }
}

void TestCommand::killedReceiverIsNamed()
{
    PeerList windows;
    for (const QString &caption :
         {QStringLiteral("Doomed Window"), QStringLiteral("Doomed Survivor")})
        windows.push_back(std::make_unique<Peer>(caption, WindowOptions));
    QVERIFY(startAll(windows));
    Peer &victim = *windows.front();
    Peer &survivor = *windows.back();

    // The command reads its text after it has learnt the windows on the bus;
    // a FIFO that the test writes holds it there until the victim is frozen.
    QTemporaryDir dir;
    const QByteArray fifo = dir.filePath(QStringLiteral("text")).toLocal8Bit();
    QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
    Command command({QStringLiteral("send"), QStringLiteral("--prefix"), QStringLiteral("Doomed"),
                     QStringLiteral("--text-file"), QString::fromLocal8Bit(fifo)});
    command.start();
    int writer = -1;
    QVERIFY(QTest::qWaitFor(
        [&] { return (writer = ::open(fifo.constData(), O_WRONLY | O_NONBLOCK)) >= 0; },
        LineTimeoutMs));
    QCOMPARE(::kill(victim.pid(), SIGSTOP), 0);
    QCOMPARE(::write(writer, "last words", 10), 10);
    ::close(writer);

    QVERIFY2(survivor.nextArrival(), survivor.transcript().constData());
    victim.process().kill();
    const Outcome outcome = command.finish();
    QVERIFY2(outcome.status == 1 && outcome.out == "delivered to 1 of 2 windows\n",
             describe(outcome));
    QCOMPARE(outcome.err, "interproc send: not delivered to \"Doomed Window\" (window " +
                              QByteArray::number(victim.handle()) +
                              "): the window went away before it took the payload.\n");
}

void TestCommand::busyReceiverIsFoundByCaption()
{
    // The only window is frozen while the command learns the windows: it is
    // still the window with that caption, and takes the payload once it runs.
    Peer window(QStringLiteral("Busy Caption Window"), WindowOptions);
    window.start();
    QVERIFY(window.waitReady());
    QCOMPARE(::kill(window.pid(), SIGSTOP), 0);
    const auto thaw = qScopeGuard([&] { ::kill(window.pid(), SIGCONT); });
    Command command({QStringLiteral("send"), QStringLiteral("--caption"),
                     QStringLiteral("Busy Caption Window"), QStringLiteral("--text"),
                     QStringLiteral("held")});
    command.start();
    QTest::qWait(1000);
    QCOMPARE(::kill(window.pid(), SIGCONT), 0);

    const Outcome outcome = command.finish();
    QVERIFY2(outcome.status == 0 && outcome.out.startsWith("delivered to 1 window\n"),
             describe(outcome));
    const std::optional<Arrival> arrival = window.nextArrival();
    QVERIFY2(arrival, window.transcript().constData());
    QCOMPARE(arrival->text, QStringLiteral("held"));
}

void TestCommand::stoppedReceiverIsSaidNotToAnswer()
{
    Peer window(QStringLiteral("Stopped Caption Window"), WindowOptions);
    window.start();
    QVERIFY(window.waitReady());
    QCOMPARE(::kill(window.pid(), SIGSTOP), 0);
    const auto thaw = qScopeGuard([&] { ::kill(window.pid(), SIGCONT); });
    const Outcome outcome =
        run({QStringLiteral("send"), QStringLiteral("--caption"), window.caption()});
    QVERIFY2(outcome.status == 1, describe(outcome));
    QCOMPARE(outcome.err, "interproc send: No window that answered has the caption \"Stopped "
                          "Caption Window\"; window " +
                              QByteArray::number(window.handle()) +
                              " did not answer when asked for its caption (busy or stopped).\n");
}

void TestCommand::foreignTextIsEscaped_data()
{
    // A party's caption and the error it refuses a payload with, and how
    // either shows (the inside of a JSON string, quotes kept).
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("shown");
    QTest::newRow("retitles the terminal")
        << QStringLiteral("\x1b]0;owned\x07Title") << QByteArray("\\u001b]0;owned\\u0007Title");
    QTest::newRow("clears the screen, CR")
        << QStringLiteral("\x1b[2J\rClear") << QByteArray("\\u001b[2J\\rClear");
    QTest::newRow("forges a line, tab")
        << QStringLiteral("Real\n42\tForged") << QByteArray("Real\\n42\\tForged");
    QTest::newRow("reorders, DEL, C1, backslash")
        << QStringLiteral("a\u202Eb\u2066c\x7f\u009b\\d")
        << QByteArray("a\\u202eb\\u2066c\\u007f\\u009b\\\\d");
}

void TestCommand::foreignTextIsEscaped()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, shown);
    NameTaker party(1, NameTaker::Now, text, text);
    party.start();
    QVERIFY(party.waitReady(1));
    const QByteArray handle = QByteArray::number(party.firstHandle());
    // Nothing a party says reaches the terminal as a control, a line break
    // or a bidirectional formatting character.
    const auto raw = [](const QByteArray &printed) {
        const QString chars = QString::fromUtf8(printed).chopped(1);
        return std::any_of(chars.cbegin(), chars.cend(), [](QChar c) {
            return c.category() == QChar::Other_Control || c.category() == QChar::Other_Format;
        });
    };

    const Outcome list = run({QStringLiteral("list")});
    QVERIFY2(list.status == 0 && !raw(list.out.mid(list.out.indexOf('\t') + 1)), describe(list));
    QCOMPARE(list.out, handle + '\t' + shown + '\n');

    const Outcome json = run({QStringLiteral("list"), QStringLiteral("--json")});
    QVERIFY2(json.status == 0 && !raw(json.out), describe(json));
    const QJsonArray parties = QJsonDocument::fromJson(json.out).array();
    QCOMPARE(parties.size(), 1);
    QCOMPARE(parties.first().toObject().value(QStringLiteral("caption")).toString(), text);

    const Outcome sent =
        run({QStringLiteral("send"), QStringLiteral("--handle"), QString::fromLatin1(handle)});
    QVERIFY2(sent.status == 1 && !raw(sent.err), describe(sent));
    QCOMPARE(sent.err, "interproc send: not delivered to \"" + shown + "\" (window " + handle +
                           "): it answered " + shown + " (org.calvorn.Test.Error.Refused).\n");
}

void TestCommand::namesThatDoNotDescribeThemselves_data()
{
    // Ten thousand names (two thousand in a sanitized build) of one
    // connection that answer Describe late or never, beside a window: the window is found, and the
    // list is whole.
    QTest::addColumn<int>("answer");
    QTest::addColumn<QString>("form");
    QTest::newRow("late, by caption") << int(NameTaker::Late) << QStringLiteral("--caption");
    QTest::newRow("late, by handle") << int(NameTaker::Late) << QStringLiteral("--handle");
    QTest::newRow("never, by caption") << int(NameTaker::Never) << QStringLiteral("--caption");
    QTest::newRow("never, by handle") << int(NameTaker::Never) << QStringLiteral("--handle");
    QTest::newRow("late, list") << int(NameTaker::Late) << QStringLiteral("list");
}

void TestCommand::namesThatDoNotDescribeThemselves()
{
    QFETCH(int, answer);
    QFETCH(QString, form);
#ifdef CALVORN_SANITIZED
    // Sanitized programs take several times as long for each name.
    constexpr int Names = 2000;
#else
    constexpr int Names = 10000;
#endif
    NameTaker names(Names, NameTaker::Describe(answer));
    names.start();
    QVERIFY(names.waitReady(Names));
    Peer window(QStringLiteral("Crowded Window"), WindowOptions);
    window.start();
    QVERIFY(window.waitReady());

    if (form == QLatin1String("list")) {
        const Outcome outcome = run({QStringLiteral("list")});
        QVERIFY2(outcome.status == 1, describe(outcome));
        QCOMPARE(outcome.out.count('\n'), Names + 1);
        QVERIFY(outcome.out.contains(QByteArray::number(window.handle()) + "\tCrowded Window\n"));
        QCOMPARE(outcome.err, "interproc list: " + QByteArray::number(Names) + " of the " +
                                  QByteArray::number(Names + 1) +
                                  " windows did not tell their caption within 2 seconds (busy, "
                                  "stopped or not a window); they are listed without one.\n");
        return;
    }
    const QString target =
        form == QLatin1String("--handle") ? QString::number(window.handle()) : window.caption();
    const Outcome outcome = run({QStringLiteral("send"), form, target, QStringLiteral("--text"),
                                 QStringLiteral("crowded")});
    QVERIFY2(outcome.status == 0 && outcome.out == "delivered to 1 window\n", describe(outcome));
    const std::optional<Arrival> arrival = window.nextArrival();
    QVERIFY2(arrival, window.transcript().constData());
    QCOMPARE(arrival->text, QStringLiteral("crowded"));
}

void TestCommand::watchAcknowledges_data()
{
    QTest::addColumn<bool>("acknowledges");
    QTest::newRow("as a window does") << true;
    QTest::newRow("--no-ack") << false;
}

void TestCommand::watchAcknowledges()
{
    QFETCH(bool, acknowledges);
    const QString caption = QStringLiteral("Ack Watch");
    Peer window(QStringLiteral("Ack Window"), WindowOptions);
    window.start();
    QVERIFY(window.waitReady());
    Watcher watcher(caption, acknowledges ? QStringList{} : QStringList{"--no-ack"});
    watcher.start();
    QVERIFY(watcher.waitReady());
    QVERIFY(window.waitUntilSees(InterProc::ExactCaption, caption, 1));

    // The acknowledgement in the middle is not answered.
    const QList<QPair<int, QString>> sent = {{5, QStringLiteral("ping")},
                                             {0, QStringLiteral("OK from \"Elsewhere\"")},
                                             {6, QStringLiteral("pong")}};
    for (const auto &[number, text] : sent) {
        QCOMPARE(window.send(InterProc::ExactCaption, caption, number, text), 1);
        const std::optional<QJsonObject> arrival = watcher.nextArrival();
        QVERIFY2(arrival, watcher.transcript().constData());
        QCOMPARE(*arrival, watchLine(window.handle(), window.caption(), number, text));
    }

    const Arrival acknowledgement =
        Arrival::of(watcher.handle(), caption, 0, QStringLiteral("OK from \"Ack Watch\""));
    if (acknowledges) {
        // One connection's calls arrive in order: the second acknowledgement
        // shows that nothing answered the middle payload.
        for (int i = 0; i < 2; ++i) {
            const std::optional<Arrival> arrival = window.nextArrival();
            QVERIFY2(arrival, window.transcript().constData());
            QCOMPARE(*arrival, acknowledgement);
        }
    }
    QCOMPARE(watcher.interrupt(), 0);
    QCOMPARE(window.arrivedCount(), acknowledges ? 2 : 0);
}

QTEST_GUILESS_MAIN(TestCommand)
#include "tst_command.moc"
