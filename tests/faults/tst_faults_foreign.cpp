// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// Callers that are not well-behaved copies of the program: another user's
// process, and bus clients (this test) that call a window with wrong
// argument types, someone else's sender handle, an oversized text, or ten
// thousand calls at once. None of it delivers anything it should not, and
// the receiver keeps running with every valid payload.
#include "interproc.h"
#include "peerprocess.h"
#include "sealedtext.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusUnixFileDescriptor>
#include <QElapsedTimer>
#include <QStandardPaths>
#include <QWidget>

#include <pwd.h>
#include <unistd.h>

#include <limits>
#include <memory>

using namespace TestSupport;

namespace {

const QString SenderMismatch = QLatin1String(InterProcBus::ErrorSenderMismatch);
const QString InvalidText = QLatin1String(InterProcBus::ErrorInvalidText);
const QString TooLarge = QLatin1String(InterProcBus::ErrorTooLarge);
const QString UnknownMethod = QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod");

QDBusMessage callTo(qint32 handle, const QString &method, const QVariantList &arguments)
{
    QDBusMessage call =
        QDBusMessage::createMethodCall(serviceForHandle(handle), BusPath, BusInterface, method);
    call.setArguments(arguments);
    return call;
}

} // namespace

class FaultsForeign : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();

    void otherUserIsRefused();
    void wrongArgumentTypes_data();
    void wrongArgumentTypes();
    void refusedSenderHandle_data();
    void refusedSenderHandle();
    void textOneByteOverTheLimit_data();
    void textOneByteOverTheLimit();
    void tenThousandCallsAtOnce();

private:
    // Shows that nothing arrived at the receiver beyond what was taken: a
    // payload sent now on the same connection must be the next to arrive.
    void expectNothingMore();

    std::unique_ptr<Peer> m_receiver;
    std::unique_ptr<Peer> m_other;
    int m_markers = 0;
};

void FaultsForeign::initTestCase()
{
    m_receiver = std::make_unique<Peer>(QStringLiteral("Foreign Receiver"));
    m_other = std::make_unique<Peer>(QStringLiteral("Foreign Other"));
    m_receiver->start();
    m_other->start();
    QVERIFY2(m_receiver->waitReady(), m_receiver->transcript().constData());
    QVERIFY2(m_other->waitReady(), m_other->transcript().constData());
    // The receiver knows the other window and its owner.
    QVERIFY2(m_receiver->waitUntilSees(2, QString::number(m_other->handle()), 1),
             m_receiver->transcript().constData());
}

void FaultsForeign::cleanupTestCase()
{
    m_receiver.reset();
    m_other.reset();
}

void FaultsForeign::cleanup()
{
    QVERIFY2(m_receiver->isRunning(), m_receiver->transcript().constData());
    expectNothingMore();
}

void FaultsForeign::expectNothingMore()
{
    const qint32 marker = -(++m_markers);
    const QDBusMessage reply = QDBusConnection::sessionBus().call(
        callTo(m_receiver->handle(), QStringLiteral("Deliver"),
               {0, QStringLiteral("tst"), marker, QStringLiteral("marker")}));
    QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
    const std::optional<Arrival> arrival = m_receiver->nextArrival();
    QVERIFY2(arrival, m_receiver->transcript().constData());
    QCOMPARE(arrival->longData, marker);
    QCOMPARE(m_receiver->takeReceivedLines("FAILED "), QList<QByteArray>());
}

void FaultsForeign::otherUserIsRefused()
{
    if (::geteuid() != 0)
        QSKIP("only root can run a process as another user");
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    if (setpriv.isEmpty())
        QSKIP("setpriv is not installed");
    const passwd *nobody = ::getpwnam("nobody");
    if (!nobody)
        QSKIP("there is no user nobody");
    const QStringList asNobody = {QStringLiteral("--reuid=%1").arg(nobody->pw_uid),
                                  QStringLiteral("--regid=%1").arg(nobody->pw_gid),
                                  QStringLiteral("--clear-groups"), QStringLiteral("--")};
    if (QProcess::execute(setpriv,
                          asNobody + QStringList{QStringLiteral("test"), QStringLiteral("-x"),
                                                 QStringLiteral(INTERPROC_PEER)}) != 0)
        QSKIP("user nobody cannot run the peer program where it was built");

    // The same program, on the same bus address, as another user.
    LineProcess foreign(setpriv, asNobody + QStringList{QStringLiteral(INTERPROC_PEER),
                                                        QStringLiteral("Foreign User")});
    foreign.start();
    const QByteArray line = foreign.takeLineIf([](const QByteArray &l) {
        return l.startsWith("NOTCONNECTED ") || l.startsWith("READY ");
    });
    QVERIFY2(line.startsWith("NOTCONNECTED "), foreign.transcript().constData());
    qInfo("as user nobody: %s", qPrintable(unb64(line.mid(13))));
    QVERIFY(!unb64(line.mid(13)).trimmed().isEmpty());
    QVERIFY(waitForExit(foreign.process()));
    QCOMPARE(foreign.process().exitStatus(), QProcess::NormalExit);
    QVERIFY(foreign.process().exitCode() != 0);
}

void FaultsForeign::wrongArgumentTypes_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QVariantList>("arguments");

    const QString tst = QStringLiteral("tst");
    const QString text = QStringLiteral("text");
    QTest::newRow("Deliver(iisi)") << "Deliver" << QVariantList{0, 5, 3, text};
    QTest::newRow("Deliver(isi)") << "Deliver" << QVariantList{0, tst, 3};
    QTest::newRow("Deliver(isiss)") << "Deliver" << QVariantList{0, tst, 3, text, text};
    QTest::newRow("Deliver(usus)") << "Deliver" << QVariantList{0u, tst, 3u, text};
    QTest::newRow("Deliver(isxs)") << "Deliver" << QVariantList{0, tst, qlonglong(3), text};
    QTest::newRow("Deliver()") << "Deliver" << QVariantList{};
    QTest::newRow("DeliverUtf8(isis)") << "DeliverUtf8" << QVariantList{0, tst, 3, text};
    QTest::newRow("DeliverUtf8(isiai)")
        << "DeliverUtf8" << QVariantList{0, tst, 3, QVariant::fromValue(QList<int>{104, 105})};
    QTest::newRow("DeliverSealed(isiit)")
        << "DeliverSealed" << QVariantList{0, tst, 3, 5, qulonglong(4)};
    QTest::newRow("DeliverSealed(isih)")
        << "DeliverSealed" << QVariantList{0, tst, 3, QVariant::fromValue(sealedText("text"))};
    QTest::newRow("DeliverSealed(isiay)")
        << "DeliverSealed" << QVariantList{0, tst, 3, QByteArray("text")};
    QTest::newRow("DeliverSealed(isihi)")
        << "DeliverSealed" << QVariantList{0, tst, 3, QVariant::fromValue(sealedText("text")), 4};
}

void FaultsForeign::wrongArgumentTypes()
{
    QFETCH(QString, method);
    QFETCH(QVariantList, arguments);

    const QDBusMessage reply =
        QDBusConnection::sessionBus().call(callTo(m_receiver->handle(), method, arguments));
    // No method of the window takes these arguments.
    QCOMPARE(reply.errorName(), UnknownMethod);
    // cleanup() shows that nothing arrived.
}

void FaultsForeign::refusedSenderHandle_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QString>("handle"); // a number, or whose handle it is

    for (const char *method : {"Deliver", "DeliverUtf8", "DeliverSealed"}) {
        const auto row = [&](const char *what, const char *handle) {
            QTest::addRow("%s, %s", method, what) << QString::fromLatin1(method) << handle;
        };
        row("-1", "-1");
        row("lowest", "-2147483648");
        row("highest", "2147483647");
        row("another process's window", "other");
        row("the receiver's own window", "receiver");
        row("a window of this process on another connection", "in-process");
    }
}

void FaultsForeign::refusedSenderHandle()
{
    QFETCH(QString, method);
    QFETCH(QString, handle);

    // A window of this process, which has a bus connection of its own.
    QWidget host;
    host.setWindowTitle(QStringLiteral("Foreign In-process"));
    auto *ip = new InterProc(&host);
    QVERIFY2(ip->isConnected(), qPrintable(ip->errorString()));
    QVERIFY2(m_receiver->waitUntilSees(0, host.windowTitle(), 1),
             m_receiver->transcript().constData());

    qint32 senderHandle = 0;
    if (handle == QLatin1String("other"))
        senderHandle = m_other->handle();
    else if (handle == QLatin1String("receiver"))
        senderHandle = m_receiver->handle();
    else if (handle == QLatin1String("in-process"))
        senderHandle = ip->windowHandle();
    else
        senderHandle = handle.toInt();

    QVariantList arguments{senderHandle, QStringLiteral("tst"), 5};
    if (method == QLatin1String("Deliver"))
        arguments << QStringLiteral("refused");
    else if (method == QLatin1String("DeliverUtf8"))
        arguments << QByteArray("refused");
    else
        arguments << QVariant::fromValue(sealedText("refused")) << qulonglong(7);
    const QDBusMessage reply =
        QDBusConnection::sessionBus().call(callTo(m_receiver->handle(), method, arguments));
    QCOMPARE(reply.errorName(), SenderMismatch);
}

void FaultsForeign::textOneByteOverTheLimit_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<qint64>("size");
    QTest::newRow("sealed") << QStringLiteral("DeliverSealed") << InterProc::maxTextBytes() + 1;
    QTest::newRow("UTF-8 bytes") << QStringLiteral("DeliverUtf8")
                                 << qint64(InterProcBus::InlineTextLimit + 1);
    QTest::newRow("string") << QStringLiteral("Deliver")
                            << qint64(InterProcBus::InlineTextLimit + 1);
}

void FaultsForeign::textOneByteOverTheLimit()
{
    QFETCH(QString, method);
    QFETCH(qint64, size);
    QVariantList arguments{0, QStringLiteral("tst"), 6};
    if (method == QLatin1String("DeliverSealed")) {
        // Sparse: the file takes no memory until someone reads it.
        const QDBusUnixFileDescriptor descriptor = sealedText({}, size);
        QVERIFY(descriptor.isValid());
        arguments << QVariant::fromValue(descriptor) << qulonglong(size);
    } else if (method == QLatin1String("DeliverUtf8")) {
        arguments << QByteArray(size, 'u');
    } else {
        arguments << QString(size, u's');
    }
    const QDBusMessage reply =
        QDBusConnection::sessionBus().call(callTo(m_receiver->handle(), method, arguments));
    QCOMPARE(reply.errorName(), TooLarge);
}

void FaultsForeign::tenThousandCallsAtOnce()
{
    constexpr int Calls = 10000;
    // Each fifth call is valid through Deliver, each fifth through
    // DeliverUtf8; the others are refused for their text, their argument
    // types or their sender handle.
    enum Kind { Valid, ValidUtf8, BadText, BadTypes, BadSender, Kinds };
    const qint64 before = m_receiver->arrivedCount();
    QVERIFY(before >= 0);

    QList<qint32> expected;
    int answered = 0;
    QStringList wrong;
    QElapsedTimer clock;
    clock.start();
    QDBusConnection bus = QDBusConnection::sessionBus();
    const qint32 receiver = m_receiver->handle();
    for (int i = 0; i < Calls; ++i) {
        const qint32 number = i + 1;
        const int kind = i % Kinds;
        QDBusMessage call;
        switch (kind) {
        case Valid:
            call = callTo(receiver, QStringLiteral("Deliver"),
                          {0, QStringLiteral("tst"), number, QStringLiteral("valid")});
            break;
        case ValidUtf8:
            call = callTo(receiver, QStringLiteral("DeliverUtf8"),
                          {0, QStringLiteral("tst"), number, QByteArray("valid")});
            break;
        case BadText:
            call = callTo(receiver, QStringLiteral("DeliverUtf8"),
                          {0, QStringLiteral("tst"), number, QByteArray("in\xC0valid")});
            break;
        case BadTypes:
            call = callTo(receiver, QStringLiteral("Deliver"),
                          {0, number, number, QStringLiteral("wrong types")});
            break;
        case BadSender:
            call = callTo(receiver, QStringLiteral("DeliverUtf8"),
                          {m_other->handle(), QStringLiteral("tst"), number, QByteArray("theirs")});
            break;
        }
        if (kind == Valid || kind == ValidUtf8)
            expected.append(number);
        auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this,
                [&, kind, number](QDBusPendingCallWatcher *w) {
                    w->deleteLater();
                    ++answered;
                    const QDBusMessage reply = w->reply();
                    bool right = false;
                    switch (kind) {
                    case Valid:
                    case ValidUtf8:
                        right = reply.type() == QDBusMessage::ReplyMessage;
                        break;
                    case BadText:
                        right = reply.errorName() == InvalidText;
                        break;
                    case BadTypes:
                        right = reply.errorName() == UnknownMethod;
                        break;
                    case BadSender:
                        right = reply.errorName() == SenderMismatch;
                        break;
                    }
                    if (!right)
                        wrong.append(QStringLiteral("call %1: %2 %3")
                                         .arg(number)
                                         .arg(reply.errorName(), reply.errorMessage()));
                });
    }
    const qint64 issuedMs = clock.elapsed();

    // Arrivals are read while the calls are answered, so that the receiver
    // never waits for its output to be taken.
    QList<qint32> arrived;
    QStringList strange;
    QVERIFY2(QTest::qWaitFor(
                 [&] {
                     for (const QByteArray &line : m_receiver->takeReceivedLines("ARRIVAL ")) {
                         const std::optional<Arrival> a = Arrival::parse(line);
                         if (a && a->sender == 0 && a->name == QLatin1String("tst") &&
                             a->text == QLatin1String("valid"))
                             arrived.append(a->longData);
                         else
                             strange.append(QString::fromUtf8(line));
                     }
                     return answered == Calls && arrived.size() >= expected.size();
                 },
                 4 * LineTimeoutMs),
             qPrintable(QStringLiteral("%1 of %2 calls answered, %3 of %4 payloads arrived")
                            .arg(answered)
                            .arg(Calls)
                            .arg(arrived.size())
                            .arg(expected.size())));
    const qint64 doneMs = clock.elapsed();
    qInfo("%d calls issued in %lld ms; all answered and %lld payloads logged after %lld ms "
          "(%.0f calls/s)",
          Calls, issuedMs, qint64(arrived.size()), doneMs, Calls * 1000.0 / std::max(doneMs, 1LL));

    QCOMPARE(wrong.mid(0, 5), QStringList());
    QCOMPARE(strange.mid(0, 5), QStringList());
    QCOMPARE(arrived, expected);
    QCOMPARE(m_receiver->arrivedCount(), before + expected.size());
}

QTEST_MAIN(FaultsForeign)
#include "tst_faults_foreign.moc"
