// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// Who owns each party's name, as far as Admission needs to know it to check
// a sender handle: what the directory knows, whether the bus has told it
// more than it has taken in, and a question to the bus itself.
// EndpointDirectory gives it to the endpoint's parts.
#pragma once

#include <QString>

#include <functional>

class QObject;

class PartyOwners
{
public:
    virtual ~PartyOwners() = default;

    // Unique name of the connection that owns the party's name, or empty.
    virtual QString ownerOf(qint32 handle) const = 0;
    // Whether the directory follows the bus's name changes, and so knows
    // every owner the bus told it.
    virtual bool isReady() const = 0;
    // Whether the bus has told the directory more than it has taken in.
    virtual bool isBehind() const = 0;
    // Asks the bus who owns the party's name; done runs once, with the
    // owner or empty, on context's thread unless context is gone first.
    virtual void lookUpOwner(qint32 handle, QObject *context,
                             std::function<void(const QString &)> done, int timeoutMs) const = 0;

protected:
    PartyOwners() = default;
    PartyOwners(const PartyOwners &) = default;
    PartyOwners &operator=(const PartyOwners &) = default;
};
