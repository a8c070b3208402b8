// SPDX-License-Identifier: MIT
// The handle of one send (InterProcSend): for each way a send can end that a
// test can bring about, it reports the addressed count, the outcome by its
// value (with the remote error's name for a refusal), and finished() once.
#include "nametakerprocess.h"

#include <InterProc/interprocendpoint.h>
#include <InterProc/interprocsend.h>

#include <QSignalSpy>
#include <QTest>

#include <signal.h>

using namespace TestSupport;

namespace {
constexpr int TimeoutMs = 60000;
const QString ReceiverCaption = QStringLiteral("Send outcome receiver");
const QString Refusal = QStringLiteral("org.calvorn.Test.Error.Refused");
} // namespace

class TestSend : public QObject
{
    Q_OBJECT

private slots:
    void outcomeReported_data();
    void outcomeReported();
};

void TestSend::outcomeReported_data()
{
    QTest::addColumn<QString>("receiver"); // endpoint, refusing, vanishing or none
    QTest::addColumn<bool>("beforeReady"); // sent by an endpoint that is not ready yet
    QTest::addColumn<int>("textChars");
    QTest::addColumn<int>("addressed");
    QTest::addColumn<InterProcSend::Outcome>("outcome");
    QTest::addColumn<QString>("remoteError");

    QTest::newRow("taken") << "endpoint" << false << 5 << 1 << InterProcSend::Delivered
                           << QString();
    QTest::newRow("held, then taken")
        << "endpoint" << true << 5 << 1 << InterProcSend::Delivered << QString();
    QTest::newRow("nobody addressed")
        << "none" << false << 5 << 0 << InterProcSend::NoAddressee << QString();
    QTest::newRow("too large") << "endpoint" << false << int(InterProcEndpoint::maxTextBytes() + 1)
                               << 0 << InterProcSend::TooLarge << QString();
    QTest::newRow("refused") << "refusing" << false << 5 << 1 << InterProcSend::Refused << Refusal;
    QTest::newRow("receiver went away")
        << "vanishing" << false << 5 << 1 << InterProcSend::ReceiverGone << QString();
}

void TestSend::outcomeReported()
{
    QFETCH(QString, receiver);
    QFETCH(bool, beforeReady);
    QFETCH(int, textChars);
    QFETCH(int, addressed);
    QFETCH(InterProcSend::Outcome, outcome);
    QFETCH(QString, remoteError);

    std::unique_ptr<InterProcEndpoint> taker;
    std::unique_ptr<NameTaker> other;
    if (receiver == QLatin1String("endpoint")) {
        taker = std::make_unique<InterProcEndpoint>(ReceiverCaption);
        QVERIFY2(taker->isConnected(), qPrintable(taker->errorString()));
    } else if (receiver != QLatin1String("none")) {
        // A party that is no endpoint: it refuses every payload, or is
        // stopped and then killed while the payload waits for it.
        other = std::make_unique<NameTaker>(
            1, NameTaker::Now, ReceiverCaption,
            receiver == QLatin1String("refusing") ? QStringLiteral("not today") : QString());
        other->start();
        QVERIFY(other->waitReady(1));
    }

    InterProcEndpoint sender(QStringLiteral("Send outcome sender"));
    QVERIFY2(sender.isConnected(), qPrintable(sender.errorString()));
    if (!beforeReady)
        QTRY_VERIFY_WITH_TIMEOUT(sender.isReady(), TimeoutMs);
    // Stopped once the sender knows its caption.
    if (receiver == QLatin1String("vanishing"))
        QCOMPARE(::kill(other->pid(), SIGSTOP), 0);
    sender.setTarget(ReceiverCaption);
    sender.setTargetSearchMethod(InterProcEndpoint::ExactCaption);
    sender.setStringData(QString(textChars, u'x'));
    InterProcSend *send = sender.startSend();
    QCOMPARE(send->parent(), &sender);
    QSignalSpy known(send, &InterProcSend::addressedKnown);
    QSignalSpy outcomes(send, &InterProcSend::outcomeKnown);
    QSignalSpy finished(send, &InterProcSend::finished);
    QCOMPARE(send->addressed(), beforeReady ? -1 : addressed);
    QCOMPARE(finished.size(), 0); // never from within startSend()

    if (receiver == QLatin1String("vanishing")) {
        QTRY_COMPARE_WITH_TIMEOUT(send->addressed(), 1, TimeoutMs);
        QTest::qWait(200); // the call reaches the bus, which holds it for the stopped party
        QCOMPARE(::kill(other->pid(), SIGKILL), 0);
    }
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, TimeoutMs);
    QCOMPARE(known.size(), 1);
    QCOMPARE(known.at(0).at(0).toInt(), addressed);
    QCOMPARE(send->addressed(), addressed);
    QVERIFY(send->isFinished());
    QCOMPARE(send->outcome(), outcome);
    QCOMPARE(outcomes.size(), addressed);
    if (addressed == 1) {
        const qint32 handle = send->addressees().value(0).handle;
        QCOMPARE(outcomes.at(0).at(0).toInt(), handle);
        QCOMPARE(outcomes.at(0).at(1).toString(), ReceiverCaption);
        QCOMPARE(outcomes.at(0).at(2).value<InterProcSend::Outcome>(), outcome);
        QCOMPARE(send->outcome(handle), outcome);
        QCOMPARE(send->remoteErrorName(handle), remoteError);
        QCOMPARE(send->reason(handle).isEmpty(), outcome == InterProcSend::Delivered);
    } else {
        QVERIFY(!send->reason().isEmpty());
    }
    QTest::qWait(100); // nothing more follows
    QCOMPARE(finished.size(), 1);
    QCOMPARE(outcomes.size(), addressed);
}

QTEST_GUILESS_MAIN(TestSend)
#include "tst_send.moc"
