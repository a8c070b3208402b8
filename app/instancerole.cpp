// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "instancerole.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QFile>
#include <QFileInfo>

#include <unistd.h>

namespace {

// The program file of a process, or empty where the system does not tell.
QString programOf(uint pid)
{
    QString path = QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid));
    // A program rebuilt or removed while it runs.
    const QString deleted = QStringLiteral(" (deleted)");
    if (path.endsWith(deleted))
        path.chop(deleted.size());
    return path;
}

} // namespace

InstanceRole::InstanceRole(const QDBusConnection &bus) : m_bus(bus)
{
    QDBusConnectionInterface *busInterface = m_bus.isConnected() ? m_bus.interface() : nullptr;
    if (!busInterface) {
        m_error = QStringLiteral("The D-Bus session bus is not available: %1")
                      .arg(m_bus.lastError().message());
        return;
    }
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply =
        busInterface->registerService(QString::fromLatin1(ServiceName),
                                      QDBusConnectionInterface::QueueService,
                                      QDBusConnectionInterface::DontAllowReplacement);
    if (!reply.isValid()) {
        m_error = QStringLiteral("Cannot ask the session bus whether another copy runs: %1")
                      .arg(reply.error().message());
        return;
    }
    m_asked = true;
    if (reply.value() == QDBusConnectionInterface::ServiceRegistered)
        m_role = Role::Server;
    else
        m_foreignOwner = describeForeignOwner();
}

QString InstanceRole::describeForeignOwner() const
{
    // Only the first copy in the queue speaks up; the others would repeat it.
    QDBusMessage listQueue = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("ListQueuedOwners"));
    listQueue << QString::fromLatin1(ServiceName);
    const QDBusReply<QStringList> queue = m_bus.call(listQueue);
    if (!queue.isValid() || queue.value().size() < 2 || queue.value().at(1) != m_bus.baseService())
        return {};
    const QString owner = queue.value().first();

    // A copy of this program, also one started from another build, is no
    // stranger; neither is this process itself, which may hold the name on
    // another connection.
    const QDBusReply<uint> pid = m_bus.interface()->servicePid(owner);
    QString program;
    if (pid.isValid()) {
        if (pid.value() == uint(::getpid()))
            return {};
        program = programOf(pid.value());
        if (!program.isEmpty() && QFileInfo(program).fileName() ==
                                      QFileInfo(QCoreApplication::applicationFilePath()).fileName())
            return {};
    }
    const QString who =
        pid.isValid()
            ? QStringLiteral("process %1 (%2), bus connection %3")
                  .arg(pid.value())
                  .arg(program.isEmpty() ? QStringLiteral("program unknown") : program, owner)
            : QStringLiteral("bus connection %1").arg(owner);
    return QStringLiteral("Another program holds the bus name %1, which marks the server copy of "
                          "CalvornTest: %2. This copy works as a client, as does every copy "
                          "started while that program runs; to have a server, end it and start "
                          "the copies anew.")
        .arg(QLatin1String(ServiceName), who);
}

InstanceRole::~InstanceRole()
{
    if (m_asked && m_bus.isConnected())
        m_bus.interface()->unregisterService(QString::fromLatin1(ServiceName));
}
