// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// Tells whether this copy of the program is the server (the first copy
// running) or a client, through the session bus's name ownership: every copy
// asks for the same well-known name, without taking it from its owner. The
// bus makes the first asker the owner and queues the others, and it frees the
// name when its owner ends in any way, a crash included.
#pragma once

#include <QDBusConnection>
#include <QString>

class InstanceRole
{
public:
    enum class Role { Server, Client };

    static constexpr const char *ServiceName = "org.calvorn.CalvornTest";

    // Asks for the name at once. The role is fixed from then on: a client
    // that later inherits the name stays a client.
    explicit InstanceRole(const QDBusConnection &bus = QDBusConnection::sessionBus());
    // Gives up the name, or the place in its queue.
    ~InstanceRole();

    InstanceRole(const InstanceRole &) = delete;
    InstanceRole &operator=(const InstanceRole &) = delete;

    Role role() const { return m_role; }
    bool isServer() const { return m_role == Role::Server; }
    // Why the bus could not be asked (this copy then counts as a client), or
    // empty.
    QString errorString() const { return m_error; }
    // For the first client while a program other than a copy of this one
    // owns the name: which program it is, as a sentence for the user; else
    // empty.
    QString foreignOwner() const { return m_foreignOwner; }

private:
    QString describeForeignOwner() const;

    QDBusConnection m_bus;
    Role m_role = Role::Client;
    bool m_asked = false;
    QString m_error;
    QString m_foreignOwner;
};
