// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The role of each copy, decided by real processes on the test's private bus.
#include "windowtesthelpers.h"

#include <QProcess>

#include <memory>
#include <vector>

using Copy = std::unique_ptr<QProcess>;

class InstanceRoleTest : public QObject
{
    Q_OBJECT
private slots:
    void cleanup();
    void simultaneousStartHasOneServer();
    void copyAfterKilledServerIsServer();

private:
    Copy startCopy();
    // Lets the copies ask for their role together; returns what each printed.
    QStringList askRoles(const std::vector<Copy> &copies);
    static bool nameIsFree();

    std::vector<Copy> m_copies;
};

void InstanceRoleTest::cleanup()
{
    for (const Copy &copy : m_copies) {
        copy->kill();
        copy->waitForFinished();
    }
    m_copies.clear();
    QTRY_VERIFY(nameIsFree());
}

Copy InstanceRoleTest::startCopy()
{
    auto copy = std::make_unique<QProcess>();
    copy->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    copy->start(QStringLiteral(ROLE_HELPER), {});
    return copy;
}

QStringList InstanceRoleTest::askRoles(const std::vector<Copy> &copies)
{
    for (const Copy &copy : copies) {
        if (!copy->waitForStarted())
            return {};
    }
    for (const Copy &copy : copies)
        copy->write("go\n");
    QStringList roles;
    for (const Copy &copy : copies) {
        while (!copy->canReadLine() && copy->waitForReadyRead(5000)) {
        }
        roles.append(QString::fromLocal8Bit(copy->readLine()).trimmed());
    }
    return roles;
}

bool InstanceRoleTest::nameIsFree()
{
    return !QDBusConnection::sessionBus().interface()->isServiceRegistered(programBusName);
}

void InstanceRoleTest::simultaneousStartHasOneServer()
{
    for (int i = 0; i < 6; ++i)
        m_copies.push_back(startCopy());
    const QStringList roles = askRoles(m_copies);
    QCOMPARE(roles.count("server"), 1);
    QCOMPARE(roles.count("client"), 5);

    // The server ends while clients remain: a new copy is a client, though
    // a remaining client now holds the name.
    const auto server = roles.indexOf("server");
    m_copies[server]->kill();
    QVERIFY(m_copies[server]->waitForFinished());
    std::vector<Copy> late;
    late.push_back(startCopy());
    QCOMPARE(askRoles(late), QStringList{"client"});
    m_copies.push_back(std::move(late.front()));
}

void InstanceRoleTest::copyAfterKilledServerIsServer()
{
    m_copies.push_back(startCopy());
    QCOMPARE(askRoles(m_copies), QStringList{"server"});

    // SIGKILL gives the copy no chance to give the name up: the bus frees it.
    m_copies.front()->kill();
    QVERIFY(m_copies.front()->waitForFinished());
    QTRY_VERIFY(nameIsFree());
    std::vector<Copy> next;
    next.push_back(startCopy());
    QCOMPARE(askRoles(next), QStringList{"server"});
    m_copies.push_back(std::move(next.front()));
}

QTEST_GUILESS_MAIN(InstanceRoleTest)
#include "tst_app_instancerole.moc"
