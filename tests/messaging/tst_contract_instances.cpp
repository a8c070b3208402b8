// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The contract of an instance's life: handles, two instances in one
// process, sending and receiving before an instance knows the bus, handlers
// that run an event loop of their own, and a session bus that is missing.
#include "contractpeers.h"

#include <QDBusPendingCallWatcher>
#include <QEventLoop>
#include <QScopeGuard>
#include <QSet>
#include <QSignalSpy>
#include <QThread>
#include <QWidget>

using namespace TestSupport;

class TestContractInstances : public QObject
{
    Q_OBJECT

private slots:
    void handlesArePositiveAndDistinct_data();
    void handlesArePositiveAndDistinct();
    void twoInstancesInOneProcess();
    void sendBeforeReadyIsHeldBack();
    void receiverChecksSenderBeforeReady();
    void arrivalsWaitForANestedEventLoop();
    void reportsMissingSessionBus_data();
    void reportsMissingSessionBus();
};

void TestContractInstances::handlesArePositiveAndDistinct_data()
{
    QTest::addColumn<int>("count");
    QTest::newRow("two") << 2;
    QTest::newRow("six started together") << 6;
}

void TestContractInstances::handlesArePositiveAndDistinct()
{
    QFETCH(int, count);
    PeerList peers;
    for (int i = 0; i < count; ++i)
        peers.push_back(std::make_unique<Peer>(QStringLiteral("Handle %1").arg(i)));
    QVERIFY(startAll(peers, true));

    QSet<qint32> handles;
    QDBusConnection bus = QDBusConnection::sessionBus();
    for (const auto &peer : peers) {
        QVERIFY(peer->handle() > 0);
        handles.insert(peer->handle());
        // The window's bus name leads to an object that describes it.
        const QDBusMessage reply = bus.call(QDBusMessage::createMethodCall(
            serviceForHandle(peer->handle()), BusPath, BusInterface, QStringLiteral("Describe")));
        QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
        QCOMPARE(reply.arguments(), (QVariantList{peer->handle(), peer->caption()}));
    }
    QCOMPARE(handles.size(), count);
}

void TestContractInstances::twoInstancesInOneProcess()
{
    QWidget hostA;
    QWidget hostB;
    hostA.setWindowTitle(QStringLiteral("In-process A"));
    hostB.setWindowTitle(QStringLiteral("In-process B"));
    auto *a = new InterProc(&hostA);
    auto *b = new InterProc(&hostB);
    QVERIFY2(a->isConnected(), qPrintable(a->errorString()));
    QVERIFY2(b->isConnected(), qPrintable(b->errorString()));
    QVERIFY(a->windowHandle() > 0);
    QVERIFY(b->windowHandle() > 0);
    QVERIFY(a->windowHandle() != b->windowHandle());

    struct Received
    {
        qint32 sender;
        QString name;
        qint32 longData;
        QString text;
        QThread *thread;
    };
    QList<Received> toA;
    QList<Received> toB;
    for (auto [instance, log] : {std::pair{a, &toA}, std::pair{b, &toB}}) {
        connect(
            instance, &InterProc::DataArrival, this,
            [log = log](qint32 sender, const QString &name, qint32 number, const QString &text) {
                log->append({sender, name, number, text, QThread::currentThread()});
            });
    }
    int probed = -1;
    QList<std::pair<qint32, QString>> checked;
    for (InterProc *instance : {a, b}) {
        connect(
            instance, &InterProc::WindowCheck, this,
            [&](qint32 handle, const QString &name, bool &skip) {
                if (probed >= 0) {
                    ++probed;
                    skip = true;
                } else {
                    checked.append({handle, name});
                }
            },
            Qt::DirectConnection);
    }
    auto sees = [&](InterProc *from, const QString &caption) {
        if (!from->isReady())
            return false; // a send now would be held back and go out later
        from->setTargetSearchMethod(InterProc::ExactCaption);
        from->setTarget(caption);
        probed = 0;
        from->Send();
        const bool seen = probed == 1;
        probed = -1;
        return seen;
    };
    QTRY_VERIFY_WITH_TIMEOUT(sees(a, hostB.windowTitle()), LineTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(sees(b, hostA.windowTitle()), LineTimeoutMs);

    a->setTargetSearchMethod(InterProc::WindowHandle);
    a->setTarget(b->windowHandle());
    a->setLongData(1);
    a->setStringData(QStringLiteral("from A"));
    QCOMPARE(a->Send(), 1);
    QCOMPARE(checked,
             (QList<std::pair<qint32, QString>>{{b->windowHandle(), hostB.windowTitle()}}));

    b->setTargetSearchMethod(InterProc::ExactCaption);
    b->setTarget(hostA.windowTitle());
    b->setLongData(2);
    b->setStringData(QStringLiteral("from B"));
    QCOMPARE(b->Send(), 1);

    QTRY_COMPARE_WITH_TIMEOUT(toB.size(), 1, LineTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(toA.size(), 1, LineTimeoutMs);
    QCOMPARE(toB.at(0).sender, a->windowHandle());
    QCOMPARE(toB.at(0).name, hostA.windowTitle());
    QCOMPARE(toB.at(0).longData, 1);
    QCOMPARE(toB.at(0).text, QStringLiteral("from A"));
    QCOMPARE(toB.at(0).thread, hostB.thread());
    QCOMPARE(toA.at(0).sender, b->windowHandle());
    QCOMPARE(toA.at(0).name, hostB.windowTitle());
    QCOMPARE(toA.at(0).longData, 2);
    QCOMPARE(toA.at(0).text, QStringLiteral("from B"));
    QCOMPARE(toA.at(0).thread, hostA.thread());
}

void TestContractInstances::sendBeforeReadyIsHeldBack()
{
    QWidget hostA;
    hostA.setWindowTitle(QStringLiteral("Early receiver"));
    auto *a = new InterProc(&hostA);
    QTRY_VERIFY_WITH_TIMEOUT(a->isReady(), LineTimeoutMs);
    QList<std::pair<qint32, QString>> arrived;
    connect(a, &InterProc::DataArrival, this,
            [&](qint32 sender, const QString &, qint32, const QString &text) {
                arrived.append({sender, text});
            });

    // A sender that has not yet learnt the windows on the bus holds its
    // payloads back, in order, and checks each addressee only when it has.
    QWidget hostB;
    hostB.setWindowTitle(QStringLiteral("Early sender"));
    auto *b = new InterProc(&hostB);
    int checks = 0;
    connect(
        b, &InterProc::WindowCheck, this, [&](qint32, const QString &, bool &) { ++checks; },
        Qt::DirectConnection);
    QSignalSpy ready(b, &InterProc::ready);
    b->setTargetSearchMethod(InterProc::ExactCaption);
    b->setTarget(hostA.windowTitle());
    const int first = b->isReady() ? 1 : -1;
    for (const QString &text : {QStringLiteral("first"), QStringLiteral("second")}) {
        b->setStringData(text);
        QCOMPARE(b->Send(), first);
    }
    if (first == -1)
        QCOMPARE(checks, 0);
    QTRY_COMPARE_WITH_TIMEOUT(arrived.size(), 2, LineTimeoutMs);
    QCOMPARE(arrived, (QList<std::pair<qint32, QString>>{{b->windowHandle(), "first"},
                                                         {b->windowHandle(), "second"}}));
    QCOMPARE(checks, 2);
    QCOMPARE(ready.size(), first == -1 ? 1 : 0);
}

void TestContractInstances::receiverChecksSenderBeforeReady()
{
    // The test's own connection owns a window name, as a window that was on
    // the bus before the receiver started would, and calls the receiver at
    // once: the receiver has not learnt who owns that window yet and must
    // ask the bus instead of refusing, or accepting, blindly.
    QDBusConnection bus = QDBusConnection::sessionBus();
    constexpr qint32 OwnWindow = 424242;
    QVERIFY(bus.interface()->registerService(serviceForHandle(OwnWindow)).isValid());
    const auto releaseName =
        qScopeGuard([&] { bus.interface()->unregisterService(serviceForHandle(OwnWindow)); });

    QWidget host;
    host.setWindowTitle(QStringLiteral("Fresh receiver"));
    auto *receiver = new InterProc(&host);
    QList<qint32> senders;
    connect(
        receiver, &InterProc::DataArrival, this,
        [&](qint32 sender, const QString &, qint32, const QString &) { senders.append(sender); });
    QVERIFY(!receiver->isReady());

    auto deliver = [&](qint32 senderHandle) {
        QDBusMessage call =
            QDBusMessage::createMethodCall(serviceForHandle(receiver->windowHandle()), BusPath,
                                           BusInterface, QStringLiteral("Deliver"));
        call << senderHandle << QStringLiteral("early") << 1 << QStringLiteral("text");
        return bus.asyncCall(call);
    };
    QDBusPendingCall own = deliver(OwnWindow);
    QDBusPendingCall foreign = deliver(OwnWindow + 1); // nobody's window
    QTRY_VERIFY_WITH_TIMEOUT(own.isFinished() && foreign.isFinished(), LineTimeoutMs);
    QVERIFY2(!own.isError(), qPrintable(own.error().message()));
    QCOMPARE(foreign.error().name(), QLatin1String(InterProcBus::ErrorSenderMismatch));
    QTRY_COMPARE_WITH_TIMEOUT(senders, QList<qint32>{OwnWindow}, LineTimeoutMs);
}

void TestContractInstances::arrivalsWaitForANestedEventLoop()
{
    // The first handler runs an event loop of its own, as a modal dialog
    // does, while a peer's further payloads come in: none of them may reach
    // a handler before the first one has returned, and all arrive in order.
    QWidget host;
    host.setWindowTitle(QStringLiteral("Modal Receiver"));
    auto *receiver = new InterProc(&host);
    QTRY_VERIFY_WITH_TIMEOUT(receiver->isReady(), LineTimeoutMs);
    Peer sender(QStringLiteral("Modal Sender"));
    sender.start();
    QVERIFY2(sender.waitReady(), sender.transcript().constData());
    QVERIFY2(
        sender.waitUntilSees(InterProc::WindowHandle, QString::number(receiver->windowHandle()), 1),
        sender.transcript().constData());

    constexpr int Count = 20;
    const QString target = QString::number(receiver->windowHandle());
    const QString text = QStringLiteral("while a dialog is open");
    int depth = 0;
    int deepest = 0;
    int sent = 1;
    QList<qint32> order;
    QDBusConnection bus = QDBusConnection::sessionBus();
    connect(receiver, &InterProc::DataArrival, this, [&](qint32, const QString &, qint32 number) {
        deepest = std::max(deepest, ++depth);
        order.append(number);
        if (number == 1) {
            // The rest is sent while this handler runs; waiting for each
            // SENT line spins an event loop, as a dialog would.
            for (int i = 2; i <= Count; ++i)
                sent += sender.send(InterProc::WindowHandle, target, i, text);
            // Calls are answered once queued, so when a call of ours made
            // after the last SENT line is answered, the payloads are in.
            QDBusMessage ping =
                QDBusMessage::createMethodCall(serviceForHandle(receiver->windowHandle()), BusPath,
                                               BusInterface, QStringLiteral("Describe"));
            QEventLoop nested;
            auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(ping), &nested);
            connect(watcher, &QDBusPendingCallWatcher::finished, &nested, &QEventLoop::quit);
            nested.exec();
            QTest::qWait(100); // a little longer, for anything still under way
        }
        --depth;
    });
    QCOMPARE(sender.send(InterProc::WindowHandle, target, 1, text), 1);
    QTRY_COMPARE_WITH_TIMEOUT(order.size(), Count, LineTimeoutMs);
    QCOMPARE(sent, Count);
    QCOMPARE(deepest, 1);
    for (int i = 0; i < Count; ++i)
        QCOMPARE(order.at(i), i + 1);
}

void TestContractInstances::reportsMissingSessionBus_data()
{
    QTest::addColumn<QString>("address");
    QTest::newRow("no such socket") << QStringLiteral("unix:path=/nonexistent");
    QTest::newRow("no such abstract socket") << QStringLiteral("unix:abstract=calvorn-no-bus-here");
    QTest::newRow("malformed address") << QStringLiteral("not an address");
}

void TestContractInstances::reportsMissingSessionBus()
{
    QFETCH(QString, address);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), address);
    Peer peer(QStringLiteral("Busless"), {}, env);
    peer.start();

    const QByteArray line = peer.takeLine("NOTCONNECTED ");
    QVERIFY2(!line.isEmpty(), peer.transcript().constData());
    QVERIFY(!QByteArray::fromBase64(line.mid(13)).trimmed().isEmpty());
    QVERIFY(waitForExit(peer.process()));
    QCOMPARE(peer.process().exitStatus(), QProcess::NormalExit);
    QVERIFY(peer.process().exitCode() != 0);
}

QTEST_MAIN(TestContractInstances)
#include "tst_contract_instances.moc"
