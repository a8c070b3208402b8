#include "instancerole.h"

#include <QDBusConnectionInterface>
#include <QDBusReply>

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
}

InstanceRole::~InstanceRole()
{
    if (m_asked && m_bus.isConnected())
        m_bus.interface()->unregisterService(QString::fromLatin1(ServiceName));
}
