// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// Many copies of the program deciding their role at the same moment on one
// bus: however they interleave, exactly one becomes the server.
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTest>

#include <algorithm>
#include <memory>
#include <vector>

#ifndef ROLE_HELPER
#error "ROLE_HELPER must name the role helper program"
#endif

namespace {

const QString programBusName = QStringLiteral("org.calvorn.CalvornTest");
constexpr int AnswerTimeoutMs = 60000;

using Copy = std::unique_ptr<QProcess>;

QDBusConnectionInterface *bus()
{
    return QDBusConnection::sessionBus().interface();
}

// The unique names waiting in the name's queue, its owner first.
QStringList queuedOwners()
{
    const QDBusMessage reply = QDBusConnection::sessionBus().call(
        QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("ListQueuedOwners"))
        << programBusName);
    return reply.arguments().value(0).toStringList();
}

// What the process waits in, as the kernel names it ("anon_pipe_read"
// while a copy waits for its first line), or empty.
QByteArray waitChannel(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/wchan").arg(pid));
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray();
}

bool waitsForInput(const Copy &copy)
{
    return waitChannel(copy->processId()).endsWith("pipe_read");
}

} // namespace

class FaultsCopies : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void simultaneousCopiesHaveOneServer_data();
    void simultaneousCopiesHaveOneServer();

private:
    std::vector<Copy> m_copies;
};

void FaultsCopies::init()
{
    QVERIFY(!bus()->isServiceRegistered(programBusName).value());
}

void FaultsCopies::cleanup()
{
    // Closing their input ends the copies together, each giving up its name
    // or its place in the queue.
    for (const Copy &copy : m_copies)
        copy->closeWriteChannel();
    for (const Copy &copy : m_copies) {
        if (!copy->waitForFinished(AnswerTimeoutMs)) {
            copy->kill();
            copy->waitForFinished();
        }
    }
    m_copies.clear();
    QTRY_VERIFY_WITH_TIMEOUT(!bus()->isServiceRegistered(programBusName).value(), AnswerTimeoutMs);
}

void FaultsCopies::simultaneousCopiesHaveOneServer_data()
{
    QTest::addColumn<int>("count");
    QTest::newRow("round 1") << 30;
    QTest::newRow("round 2") << 30;
    QTest::newRow("round 3") << 30;
}

void FaultsCopies::simultaneousCopiesHaveOneServer()
{
    QFETCH(int, count);

    for (int i = 0; i < count; ++i) {
        auto copy = std::make_unique<QProcess>();
        copy->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        copy->start(QStringLiteral(ROLE_HELPER), {});
        m_copies.push_back(std::move(copy));
    }
    for (const Copy &copy : m_copies)
        QVERIFY2(copy->waitForStarted(AnswerTimeoutMs), qPrintable(copy->errorString()));
    // Where the kernel tells what a process waits in, wait until every copy
    // has loaded and sits reading its first line.
    const QByteArray channel = waitChannel(m_copies.front()->processId());
    if (!channel.isEmpty() && channel != "0") {
        QVERIFY(QTest::qWaitFor(
            [&] { return std::all_of(m_copies.cbegin(), m_copies.cend(), waitsForInput); },
            AnswerTimeoutMs));
    }

    // Let them all ask the bus at once.
    QElapsedTimer clock;
    clock.start();
    for (const Copy &copy : m_copies)
        copy->write("go\n");
    QStringList roles;
    qint64 serverPid = 0;
    for (const Copy &copy : m_copies) {
        QVERIFY(QTest::qWaitFor([&] { return copy->canReadLine(); }, AnswerTimeoutMs));
        const QString role = QString::fromLocal8Bit(copy->readLine()).trimmed();
        roles.append(role);
        if (role == QLatin1String("server"))
            serverPid = copy->processId();
    }
    qInfo("%d copies answered in %lld ms", count, clock.elapsed());

    QCOMPARE(roles.count(QStringLiteral("server")), 1);
    QCOMPARE(roles.count(QStringLiteral("client")), count - 1);

    // The copy that calls itself the server is the one the bus made owner,
    // and every other copy waits in the name's queue.
    const QString owner = bus()->serviceOwner(programBusName);
    QVERIFY(!owner.isEmpty());
    QCOMPARE(qint64(bus()->servicePid(owner).value()), serverPid);
    QCOMPARE(queuedOwners().size(), count);
}

QTEST_GUILESS_MAIN(FaultsCopies)
#include "tst_faults_copies.moc"
