// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The Python client of examples/python, which speaks the bus contract with
// GDBus (python3-gi) alone, against a real window of the program
// (calvorn_windowhost) on a private display and bus: it lists the window,
// sends to it by caption prefix and gets its acknowledgement, and as a party
// of its own takes the window's payload and acknowledges it by the window's
// rule. What a hostile party says reaches the terminal escaped.
#include "nametakerprocess.h"
#include "windowhostprocess.h"

#include <QDBusMessage>
#include <QJsonDocument>
#include <QJsonObject>

using namespace TestSupport;

namespace {

const QString ServerCaption = QStringLiteral("Calvorn Control Sample - Server App");
const QString PythonCaption = QStringLiteral("Calvorn Control Sample - Client App - python");

struct Outcome
{
    int status = -1;
    QByteArray out;
    QByteArray err;
};

Outcome runClient(const QStringList &arguments,
                  const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(),
                  const QStringList &interpreter = {})
{
    QProcess process;
    process.setProcessEnvironment(env);
    if (interpreter.isEmpty())
        process.start(QStringLiteral(PYTHON_CLIENT), arguments);
    else
        process.start(interpreter.first(),
                      interpreter.mid(1) + QStringList{PYTHON_CLIENT} + arguments);
    waitForExit(process);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput(), process.readAllStandardError()};
}

// The client joined as a party with a caption; ends at SIGTERM.
class PythonParty : public LineProcess
{
public:
    explicit PythonParty(const QString &caption)
        : LineProcess(QStringLiteral(PYTHON_CLIENT), {QStringLiteral("join"), caption})
    {
        start();
    }
    ~PythonParty() override
    {
        process().terminate();
        waitForExit(process(), 10000);
    }

    qint32 waitJoined() { return takeLine("joined ").mid(7).toInt(); }
};

} // namespace

class TestPythonClient : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void listsAndSendsByPrefix();
    void joinsAndAcknowledges();
    void refusesSenderItDoesNotOwn();
    void noSessionBus();
    void escapesForeignText();
    void interpreterWithoutGi();
    void cleanupTestCase() { m_window.reset(); }

private:
    std::unique_ptr<WindowHost> m_window;
    qint32 m_windowHandle = 0;
};

void TestPythonClient::initTestCase()
{
    m_window = std::make_unique<WindowHost>();
    QVERIFY2(m_window->waitReady(), m_window->transcript());
    m_windowHandle = m_window->handle();
}

void TestPythonClient::listsAndSendsByPrefix()
{
    const Outcome list = runClient({QStringLiteral("list")});
    QVERIFY2(list.status == 0, list.err);
    QCOMPARE(list.out, QByteArray::number(m_windowHandle) + '\t' + ServerCaption.toUtf8() + '\n');

    const Outcome send =
        runClient({QStringLiteral("send"), QStringLiteral("Calvorn Control Sample - Server"),
                   QStringLiteral("--number"), QStringLiteral("42"), QStringLiteral("--text"),
                   QStringLiteral("hello")});
    QVERIFY2(send.status == 0, send.err);
    QCOMPARE(send.out, "acknowledged by " + ServerCaption.toUtf8() + ": OK from \"" +
                           ServerCaption.toUtf8() + "\"\n");
    // The window logged the payload once; the client, gone only after its
    // own calls ended, did not answer the acknowledgement.
    const QString stars(63, u'*');
    QCOMPARE(m_window->log(), QStringLiteral("Sender = Python client\nLongData = 42\n"
                                             "StringData = hello\n") +
                                  stars + u'\n');
}

void TestPythonClient::joinsAndAcknowledges()
{
    PythonParty party(PythonCaption);
    const qint32 handle = party.waitJoined();
    QVERIFY2(handle > 0, party.transcript());
    QTRY_VERIFY_WITH_TIMEOUT(m_window->knows(handle), 10000);

    const QString before = m_window->log();
    // An acknowledgement first: were it answered, that answer would reach
    // the window before the others'. The last text, 90,000 bytes of UTF-8,
    // comes in a sealed memfd.
    const QList<std::pair<qint32, QString>> payloads{{0, QStringLiteral("OK from \"someone\"")},
                                                     {7, QStringLiteral("hi")},
                                                     {-5, QString(30000, QChar(0x20AC))}};
    for (const auto &[longData, text] : payloads)
        m_window->sendToClients(longData, text);
    for (const auto &[longData, text] : payloads) {
        const QJsonObject arrival = QJsonDocument::fromJson(party.takeLine("{")).object();
        QCOMPARE(arrival.value(QStringLiteral("senderHandle")).toInt(), m_windowHandle);
        QCOMPARE(arrival.value(QStringLiteral("senderName")).toString(), ServerCaption);
        QCOMPARE(arrival.value(QStringLiteral("longData")).toInt(), longData);
        QCOMPARE(arrival.value(QStringLiteral("stringData")).toString(), text);
    }
    // The window logs one acknowledgement for each of the other two.
    const QString ack =
        QStringLiteral("Sender = %1\nStringData = OK from \"%1\"\n").arg(PythonCaption);
    QTRY_COMPARE_WITH_TIMEOUT(m_window->log().mid(before.size()).count(QStringLiteral("Sender = ")),
                              2, 10000);
    QCOMPARE(m_window->log().mid(before.size()).count(ack), 2);
}

void TestPythonClient::refusesSenderItDoesNotOwn()
{
    PythonParty party(PythonCaption);
    const qint32 handle = party.waitJoined();
    QVERIFY2(handle > 0, party.transcript());

    // This test's connection speaks for the window, which it is not.
    QDBusMessage call = QDBusMessage::createMethodCall(serviceForHandle(handle), BusPath,
                                                       BusInterface, QStringLiteral("Deliver"));
    call << m_windowHandle << QStringLiteral("impostor") << 1 << QStringLiteral("x");
    const QDBusMessage reply = QDBusConnection::sessionBus().call(call);
    QCOMPARE(reply.errorName(), QLatin1String(InterProcBus::ErrorSenderMismatch));
    QCOMPARE(party.countReceivedLines("{"), 0);
}

void TestPythonClient::noSessionBus()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
               QStringLiteral("unix:path=/nonexistent/bus"));
    const Outcome outcome = runClient({QStringLiteral("list")}, env);
    QCOMPARE(outcome.status, 1);
    QVERIFY2(
        outcome.err.startsWith("interproc_client.py: Cannot connect to the D-Bus session bus: "),
        outcome.err);
    QCOMPARE(outcome.err.count('\n'), 1);
}

void TestPythonClient::escapesForeignText()
{
    // A caption that would retitle the terminal and forge a line, and a
    // refusal that would clear the screen.
    NameTaker party(1, NameTaker::Now, QStringLiteral("Evil\x1b]0;owned\x07\n42\t\u202eX"),
                    QStringLiteral("no\x1b[2J\r"));
    party.start();
    QVERIFY(party.waitReady(1));
    const Outcome list = runClient({QStringLiteral("list")});
    QVERIFY2(list.status == 0, list.err);
    QVERIFY2(list.out.contains(QByteArray::number(party.firstHandle()) +
                               "\tEvil\\u001b]0;owned\\u0007\\n42\\t\\u202eX\n"),
             list.out);

    const Outcome send = runClient({QStringLiteral("send"), QStringLiteral("Evil")});
    QCOMPARE(send.status, 1);
    QCOMPARE(send.err, "interproc_client.py: window " + QByteArray::number(party.firstHandle()) +
                           " did not take the payload: no\\u001b[2J\\r\n");
}

void TestPythonClient::interpreterWithoutGi()
{
    // -S leaves the system's packages out, as another python3 does.
    const Outcome outcome =
        runClient({QStringLiteral("list")}, QProcessEnvironment::systemEnvironment(),
                  {QStringLiteral("/usr/bin/python3"), QStringLiteral("-S")});
    QCOMPARE(outcome.status, 1);
    QVERIFY2(outcome.err.startsWith(
                 "interproc_client.py: /usr/bin/python3 cannot import PyGObject (gi)"),
             outcome.err);
}

QTEST_GUILESS_MAIN(TestPythonClient)
#include "tst_python_client.moc"
