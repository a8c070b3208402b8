// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// Real copies of the program on a private X display and session bus, under a
// real window manager, driven as a user drives them: xdotool types and
// clicks, the logs are read back through the clipboard, and a probe instance
// of the component listens as one more client.
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

#include <memory>

namespace {

const QString ServerCaption = QStringLiteral("Calvorn Control Sample - Server App");
const QString ClientPrefix = QStringLiteral("Calvorn Control Sample - Client App - ");
const QString ProbeCaption = QStringLiteral("Calvorn Control Sample - Client Probe");
const QString Stars = QString(63, QLatin1Char('*'));

// Points inside the window's controls, in window coordinates.
const QPoint LongDataField(100, 17);
const QPoint StringDataField(200, 41);
const QPoint SendToServer(216, 76);
const QPoint SendToClients(336, 76);
const QPoint ReceivedBox(200, 160);
const QPoint AboutButton(296, 244);

QString tool(const QString &program, const QStringList &args)
{
    QProcess process;
    process.start(program, args);
    if (!process.waitForFinished(15000))
        qWarning() << program << args << "did not finish";
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

QString xdotool(const QStringList &args)
{
    return tool(QStringLiteral("xdotool"), args);
}

// The first visible window whose title matches pattern and is not in
// exclude, or empty; looks for it about ten times a second.
QString findWindow(const QString &pattern, const QStringList &exclude = {}, int attempts = 100)
{
    for (int attempt = 0; attempt < attempts; ++attempt) {
        const QStringList ids = xdotool({"search", "--onlyvisible", "--name", pattern})
                                    .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        for (const QString &id : ids)
            if (!exclude.contains(id))
                return id;
        QTest::qWait(100);
    }
    return {};
}

// Asks the window manager to activate window, then presses key.
void pressIn(const QString &window, const QString &key)
{
    xdotool({"windowactivate", "--sync", window, "key", key});
}

void click(const QString &window, QPoint at, const QString &button = QStringLiteral("1"))
{
    xdotool({"windowactivate", "--sync", window});
    xdotool({"mousemove", "--window", window, QString::number(at.x()), QString::number(at.y()),
             "click", button});
    QTest::qWait(150);
}

// How many windows of the process are on the screen (menus included).
qsizetype visibleWindows(qint64 pid)
{
    return xdotool({"search", "--onlyvisible", "--pid", QString::number(pid)})
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts)
        .size();
}

void typeInto(const QString &window, QPoint field, const QString &text)
{
    click(window, field);
    xdotool({"type", "--delay", "10", "--", text});
}

void send(const QString &window, const QString &number, const QString &text, QPoint button)
{
    typeInto(window, LongDataField, number);
    typeInto(window, StringDataField, text);
    click(window, button);
}

// The text of the window's received-data box, as a user copies it.
QString readLog(const QString &window)
{
    click(window, ReceivedBox);
    xdotool({"key", "ctrl+a", "ctrl+c"});
    QTest::qWait(100);
    return tool(QStringLiteral("xclip"), {"-o", "-selection", "clipboard"}) + QLatin1Char('\n');
}

QString entry(const QString &sender, qint32 number, const QString &text)
{
    QString lines = QStringLiteral("Sender = ") + sender + QLatin1Char('\n');
    if (number != 0)
        lines += QStringLiteral("LongData = %1\n").arg(number);
    if (!text.isEmpty())
        lines += QStringLiteral("StringData = ") + text + QLatin1Char('\n');
    return lines + Stars + QLatin1Char('\n');
}

QString ack(const QString &caption)
{
    return QStringLiteral("OK from \"%1\"").arg(caption);
}

// The probe: one more instance of the component, in the client role by its
// caption, that reports what reaches it and acknowledges like the program.
class Probe
{
public:
    Probe()
    {
        process.start(QStringLiteral(PEER_PATH), {ProbeCaption, "--ack", "--skip-self"});
        process.waitForStarted();
    }
    ~Probe()
    {
        process.kill();
        process.waitForFinished();
    }
    // Lines reported so far that start with prefix.
    QStringList lines(const QString &prefix)
    {
        output += QString::fromUtf8(process.readAllStandardOutput());
        QStringList found;
        for (const QString &line : output.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
            if (line.startsWith(prefix))
                found.append(line);
        return found;
    }
    QProcess process;
    QString output;
};

QString fromBase64(const QString &field)
{
    return QString::fromUtf8(QByteArray::fromBase64(field.toLatin1()));
}

} // namespace

class tst_RoundTrip : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void roadOfOnePayload();
    void serverNoticeComesBack();

private:
    QString startCopy(const QString &pattern, const QStringList &exclude = {});

    std::vector<std::unique_ptr<QProcess>> m_copies;
};

void tst_RoundTrip::init()
{
    if (QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty() ||
        QStandardPaths::findExecutable(QStringLiteral("xclip")).isEmpty())
        QSKIP("xdotool and xclip are needed to drive real windows");
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        QSKIP("needs an X display (the suite gives it a private Xvfb)");
}

void tst_RoundTrip::cleanup()
{
    for (auto &copy : m_copies) {
        copy->kill();
        copy->waitForFinished();
    }
    m_copies.clear();
}

QString tst_RoundTrip::startCopy(const QString &pattern, const QStringList &exclude)
{
    auto copy = std::make_unique<QProcess>();
    copy->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    copy->start(QStringLiteral(PROGRAM_PATH));
    m_copies.push_back(std::move(copy));
    return findWindow(pattern, exclude);
}

void tst_RoundTrip::roadOfOnePayload()
{
    // A server, and its notice, which the user closes.
    const QString server = startCopy(QLatin1Char('^') + ServerCaption + QLatin1Char('$'));
    QVERIFY2(!server.isEmpty(), "the first copy shows no server window");
    const QString notice = findWindow(QStringLiteral("^Info$"));
    QVERIFY2(!notice.isEmpty(), "the server shows no notice");
    pressIn(notice, QStringLiteral("Return"));
    xdotool({"windowmove", server, "10", "30"});

    // Two clients, in different seconds so that their captions differ.
    const QString client1 = startCopy(QLatin1Char('^') + ClientPrefix);
    QVERIFY2(!client1.isEmpty(), "the second copy shows no client window");
    xdotool({"windowmove", client1, "440", "30"});
    QTest::qWait(1100);
    const QString client2 = startCopy(QLatin1Char('^') + ClientPrefix, {client1});
    QVERIFY2(!client2.isEmpty(), "the third copy shows no client window");
    xdotool({"windowmove", client2, "10", "350"});
    const QString caption1 = xdotool({"getwindowname", client1});
    const QString caption2 = xdotool({"getwindowname", client2});
    QVERIFY(caption1 != caption2);
    QCOMPARE(findWindow(QStringLiteral("^Info$"), {notice}), QString()); // clients show no notice

    Probe probe;
    QTRY_VERIFY_WITH_TIMEOUT(!probe.lines(QStringLiteral("READY")).isEmpty(), 10000);

    // 1-3. A client sends 42 and hello to the server, which logs it.
    send(client1, QStringLiteral("42"), QStringLiteral("hello"), SendToServer);
    const QString atServer = entry(caption1, 42, QStringLiteral("hello"));
    QTRY_COMPARE_WITH_TIMEOUT(readLog(server), atServer, 10000);

    // 4-5. The server acknowledged; the client logs that and does not answer.
    const QString atClient1 = entry(ServerCaption, 0, ack(ServerCaption));
    QTRY_COMPARE_WITH_TIMEOUT(readLog(client1), atClient1, 10000);
    QTest::qWait(500);
    QCOMPARE(readLog(server), atServer);
    QCOMPARE(probe.lines(QStringLiteral("ARRIVAL")), QStringList());

    // A client's "Send to other clients" reaches the other client and the
    // probe, never the sender itself, and is acknowledged by both.
    send(client2, QStringLiteral("-5"), QStringLiteral("to the others"), SendToClients);
    QTRY_COMPARE_WITH_TIMEOUT(
        readLog(client1), atClient1 + entry(caption2, -5, QStringLiteral("to the others")), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(probe.lines(QStringLiteral("ARRIVAL")).size(), 1, 10000);
    const QStringList arrival =
        probe.lines(QStringLiteral("ARRIVAL")).first().split(QLatin1Char(' '));
    QCOMPARE(fromBase64(arrival.value(2)), caption2);
    QCOMPARE(arrival.value(3), QStringLiteral("-5"));
    QCOMPARE(fromBase64(arrival.value(4)), QStringLiteral("to the others"));

    QTRY_VERIFY_WITH_TIMEOUT(readLog(client2).contains(ack(ProbeCaption)), 10000);
    const QString log2 = readLog(client2);
    QCOMPARE(log2.count(Stars), 2); // the two acknowledgements, nothing else
    QVERIFY(log2.contains(entry(caption1, 0, ack(caption1))));
    QVERIFY(log2.contains(entry(ProbeCaption, 0, ack(ProbeCaption))));
    QCOMPARE(readLog(server), atServer); // the server is no client

    // The user's typing stays in the fields after a send.
    QCOMPARE(xdotool({"getwindowname", client2}), caption2);
    const QString shot = QStringLiteral(SHOT_PATH);
    tool(QStringLiteral("import"), {"-window", "root", shot});
    qInfo("screenshot of the three copies: %s", qPrintable(shot));
}

void tst_RoundTrip::serverNoticeComesBack()
{
    const QString server = startCopy(QLatin1Char('^') + ServerCaption + QLatin1Char('$'));
    QVERIFY2(!server.isEmpty(), "the first copy shows no server window");
    const qint64 pid = m_copies.back()->processId();
    QString notice = findWindow(QStringLiteral("^Info$"));
    QVERIFY2(!notice.isEmpty(), "the server shows no notice");
    pressIn(notice, QStringLiteral("Return"));

    // The about box is another window of the program: once it closes and
    // the window manager gives the server window back the focus, the
    // notice is shown again.
    click(server, AboutButton);
    const QString about = findWindow(QStringLiteral("^About InterProc$"));
    QVERIFY2(!about.isEmpty(), "About shows no about box");
    pressIn(about, QStringLiteral("Return"));
    notice = findWindow(QStringLiteral("^Info$"));
    QVERIFY2(!notice.isEmpty(), "no notice after the about box closed");
    pressIn(notice, QStringLiteral("Return"));
    QTRY_COMPARE_WITH_TIMEOUT(visibleWindows(pid), 1, 5000);

    // A context menu is part of the window: neither one closed with Escape
    // nor the log's Select All (its last item, available once the log holds
    // text) brings the notice back.
    const auto noNotice = [] {
        return findWindow(QStringLiteral("^Info$"), {}, 15).isEmpty();
    };
    click(server, StringDataField, QStringLiteral("3"));
    QTRY_COMPARE_WITH_TIMEOUT(visibleWindows(pid), 2, 5000); // the menu is open
    xdotool({"key", "Escape"});
    QVERIFY2(noNotice(), "the notice came back after a context menu");
    QCOMPARE(visibleWindows(pid), 1);

    typeInto(server, ReceivedBox, QStringLiteral("something to select"));
    click(server, ReceivedBox, QStringLiteral("3"));
    QTRY_COMPARE_WITH_TIMEOUT(visibleWindows(pid), 2, 5000);
    xdotool({"key", "Up", "Return"});
    QVERIFY2(noNotice(), "the notice came back after the log's Select All");
    QCOMPARE(visibleWindows(pid), 1);
}

QTEST_GUILESS_MAIN(tst_RoundTrip)
#include "tst_roundtrip.moc"
