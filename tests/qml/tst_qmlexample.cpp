// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The QML a user copies, run by Qt's qml tool as the user runs it, against a
// party in a process of its own: the shipped example answers a payload with
// the acknowledgement of its own caption and leaves acknowledgements
// unanswered, and the README's snippet sends its payload and logs the answer.
#include "peerprocess.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace TestSupport;

namespace {
constexpr int TimeoutMs = 30000;
const QString ExampleCaption = QStringLiteral("InterProc QML sender");

// Runs a QML file with the qml tool, importing InterProc from the build tree.
std::unique_ptr<QProcess> runQml(const QString &file)
{
    auto qml = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QML_IMPORT_PATH"), QStringLiteral(INTERPROC_QML_IMPORT_DIR));
    qml->setProcessEnvironment(env);
    qml->setProcessChannelMode(QProcess::MergedChannels);
    qml->start(QStringLiteral(QML_TOOL), {file});
    return qml;
}

void stop(QProcess &qml)
{
    qml.terminate();
    if (!qml.waitForFinished(TimeoutMs))
        qml.kill();
}
} // namespace

class TestQmlExample : public QObject
{
    Q_OBJECT

private slots:
    void exampleAcknowledges();
    void readmeSnippetRuns();
};

void TestQmlExample::exampleAcknowledges()
{
    Peer peer(QStringLiteral("Counterpart of the QML example"));
    peer.start();
    QVERIFY2(peer.waitReady(), peer.transcript().constData());
    const auto example = runQml(QStringLiteral(QML_EXAMPLE));
    const auto ending = qScopeGuard([&] { stop(*example); });
    QVERIFY2(peer.waitUntilSees(InterProc::ExactCaption, ExampleCaption, 1),
             example->readAll().constData());

    // An acknowledgement is not answered; the payload after it is. The
    // example answers in the order the payloads came, so an answer to the
    // acknowledgement would arrive first.
    QCOMPARE(peer.send(InterProc::ExactCaption, ExampleCaption, 7, "OK from \"somebody\""), 1);
    QCOMPARE(peer.send(InterProc::ExactCaption, ExampleCaption, 42, "ping"), 1);
    const auto answer = peer.nextArrival(TimeoutMs);
    QVERIFY2(answer, (peer.transcript() + example->readAll()).constData());
    QCOMPARE(answer->name, ExampleCaption);
    QCOMPARE(answer->longData, 0);
    QCOMPARE(answer->text, QStringLiteral("OK from \"%1\"").arg(ExampleCaption));
    QCOMPARE(peer.arrivedCount(), 1);
}

void TestQmlExample::readmeSnippetRuns()
{
    // The README's only QML block, as a reader saves it.
    QFile readme(QStringLiteral(README));
    QVERIFY(readme.open(QIODevice::ReadOnly | QIODevice::Text));
    const auto block = QRegularExpression(QStringLiteral("```qml\n(.*?)```"),
                                          QRegularExpression::DotMatchesEverythingOption)
                           .match(QString::fromUtf8(readme.readAll()));
    QVERIFY(block.hasMatch());
    QTemporaryDir dir;
    QFile snippet(dir.filePath(QStringLiteral("snippet.qml")));
    QVERIFY(snippet.open(QIODevice::WriteOnly) && snippet.write(block.captured(1).toUtf8()) > 0);
    snippet.close();

    const QString server = QStringLiteral("Calvorn Control Sample - Server App");
    Peer peer(server, {QStringLiteral("--ack")});
    peer.start();
    QVERIFY2(peer.waitReady(), peer.transcript().constData());
    const auto qml = runQml(snippet.fileName());
    const auto ending = qScopeGuard([&] { stop(*qml); });

    // Everything the snippet printed so far, for the checks and failures.
    QByteArray output;
    const auto printed = [&] {
        return output += qml->readAll();
    };

    const auto payload = peer.nextArrival(TimeoutMs);
    QVERIFY2(payload, (peer.transcript() + printed()).constData());
    QCOMPARE(payload->name, QStringLiteral("Status board"));
    QCOMPARE(payload->longData, 42);
    QCOMPARE(payload->text, QStringLiteral("hello"));
    // The snippet logs the server's acknowledgement.
    const QByteArray logged =
        "qml: " + server.toUtf8() + " sent 0 OK from \"" + server.toUtf8() + "\"\n";
    const bool seen = QTest::qWaitFor([&] { return printed().contains(logged); }, TimeoutMs);
    QVERIFY2(seen, (output + peer.transcript()).constData());
}

QTEST_MAIN(TestQmlExample)
#include "tst_qmlexample.moc"
