// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// Drives interproc_nametaker (see its source): one connection with many
// window names that describe themselves late or never, or one name with a
// caption and a refusal of its choosing.
#pragma once

#include "peerprocess.h"

#ifndef NAME_TAKER
#error "NAME_TAKER must name the name-taking program"
#endif

namespace TestSupport {

class NameTaker : public LineProcess
{
public:
    enum Describe { Now, Late, Never };

    NameTaker(int count, Describe describe, const QString &caption = {},
              const QString &refusal = QString())
        : LineProcess(QStringLiteral(NAME_TAKER), arguments(count, describe, caption, refusal))
    {}

    ~NameTaker() override
    {
        stop();
        // The next test on this bus must not meet these names any more.
        if (m_first > 0) {
            QDBusConnectionInterface *bus = QDBusConnection::sessionBus().interface();
            (void)QTest::qWaitFor(
                [&] { return !bus->isServiceRegistered(serviceForHandle(m_first)).value(); },
                30000);
        }
    }

    // Waits until the names are taken; false unless every one was.
    bool waitReady(int count, int timeoutMs = LineTimeoutMs)
    {
        const QList<QByteArray> words = takeLine("READY ", timeoutMs).split(' ');
        m_first = words.value(1).toInt();
        return m_first > 0 && words.value(2).toInt() == count;
    }

    qint32 firstHandle() const { return m_first; }

private:
    static QStringList arguments(int count, Describe describe, const QString &caption,
                                 const QString &refusal)
    {
        static const char *const how[] = {"now", "late", "never"};
        QStringList list{QString::number(count), QString::fromLatin1(how[describe]),
                         QString::fromLatin1(b64(caption))};
        if (!refusal.isNull())
            list.append(QString::fromLatin1(b64(refusal)));
        return list;
    }

    qint32 m_first = 0;
};

} // namespace TestSupport
