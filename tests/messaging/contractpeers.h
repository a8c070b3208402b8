// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// What the contract tests (tst_contract_*.cpp) share: checks of what the
// peers receive.
#pragma once

#include "peerprocess.h"

#include <QDBusMessage>

// Stops the test function when a helper that checks things has failed.
#define CHECKED(call)                                                                              \
    do {                                                                                           \
        call;                                                                                      \
        if (QTest::currentTestFailed())                                                            \
            return;                                                                                \
    } while (false)

namespace TestSupport {

inline void expectArrival(Peer &receiver, const Arrival &expected, int timeoutMs = LineTimeoutMs)
{
    const std::optional<Arrival> arrival = receiver.nextArrival(timeoutMs);
    QVERIFY2(arrival, receiver.transcript().constData());
    QCOMPARE(*arrival, expected);
}

// Shows that sender has sent receiver nothing beyond what was taken: one
// connection's messages reach a receiver in order, so a marker that sender
// sends now must be the next payload receiver sees.
inline void expectNothingMoreFrom(Peer &sender, Peer &receiver)
{
    static qint32 markers = 0;
    const qint32 number = -(++markers);
    const QString marker = QStringLiteral("marker %1").arg(-number);
    QCOMPARE(sender.sendTo(receiver, number, marker), 1);
    CHECKED(
        expectArrival(receiver, Arrival::of(sender.handle(), sender.caption(), number, marker)));
}

} // namespace TestSupport
