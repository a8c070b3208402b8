// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// Drives interproc_nametaker (see its source): one connection with many
// window names that describe themselves late or never, or one name with a
// caption and a refusal of its choosing.
#pragma once

#include "peerprocess.h"

#include <memory>

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

    // Takes one name that others might take for the window `handle`'s
    // instead: its caption desk's, or its name spelt H0<handle>. Answers
    // Describe for that window with `caption`, and refuses every other call.
    enum Guise { CaptionDesk, Alias };
    static std::unique_ptr<NameTaker> posingAs(Guise guise, qint32 handle, const QString &caption)
    {
        const QString form = guise == CaptionDesk ? QStringLiteral("desk:%1").arg(handle)
                                                  : QStringLiteral("alias:%1").arg(handle);
        auto taker = std::unique_ptr<NameTaker>(
            new NameTaker({form, QStringLiteral("now"), QString::fromLatin1(b64(caption)),
                           QString::fromLatin1(b64(QStringLiteral("posing")))}));
        taker->m_service = guise == CaptionDesk
                               ? InterProcBus::captionServiceForHandle(handle)
                               : QStringLiteral("%1.H0%2")
                                     .arg(QLatin1String(InterProcBus::ServiceNamespace))
                                     .arg(handle);
        return taker;
    }

    ~NameTaker() override
    {
        stop();
        // The next test on this bus must not meet these names any more.
        const QString service =
            m_service.isEmpty() && m_first > 0 ? serviceForHandle(m_first) : m_service;
        if (!service.isEmpty()) {
            QDBusConnectionInterface *bus = QDBusConnection::sessionBus().interface();
            (void)QTest::qWaitFor([&] { return !bus->isServiceRegistered(service).value(); },
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
    explicit NameTaker(const QStringList &arguments)
        : LineProcess(QStringLiteral(NAME_TAKER), arguments)
    {}

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
    QString m_service; // the one name taken, when it is no window's
};

} // namespace TestSupport
