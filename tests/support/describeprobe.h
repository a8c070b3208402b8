// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// A prober of an endpoint's responsiveness for the fault suites: asks it to
// describe itself over the bus every 50 ms, one question at a time, and
// keeps the longest wait for an answer.
#pragma once

#include "peerprocess.h"

#include <QDBusPendingCallWatcher>
#include <QElapsedTimer>
#include <QTimer>

namespace TestSupport {

// An endpoint that has not answered Describe for this long hangs (it should
// answer within 100 ms whatever it is given).
constexpr int DescribeHangMs = 10000;

class DescribeProbe : public QObject
{
public:
    explicit DescribeProbe(qint32 handle)
        : m_call(QDBusMessage::createMethodCall(serviceForHandle(handle), BusPath, BusInterface,
                                                QStringLiteral("Describe")))
    {
        connect(&m_timer, &QTimer::timeout, this, &DescribeProbe::ask);
        m_timer.start(50);
    }

    // True once a question went unanswered for DescribeHangMs, or was refused.
    bool hung() const
    {
        return !m_failure.isEmpty() || (m_waiting && m_asked.elapsed() > DescribeHangMs);
    }
    QString failure() const
    {
        return m_failure.isEmpty()
                   ? QStringLiteral("no answer to Describe for %1 ms").arg(DescribeHangMs)
                   : m_failure;
    }
    qint64 longestMs() const { return std::max(m_longest, m_waiting ? m_asked.elapsed() : 0); }
    int answers() const { return m_answers; }

private:
    void ask()
    {
        if (m_waiting)
            return;
        m_waiting = true;
        m_asked.start();
        auto *watcher = new QDBusPendingCallWatcher(
            QDBusConnection::sessionBus().asyncCall(m_call, 2 * DescribeHangMs), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this,
                [this](QDBusPendingCallWatcher *w) {
                    w->deleteLater();
                    m_waiting = false;
                    m_longest = std::max(m_longest, m_asked.elapsed());
                    if (w->isError())
                        m_failure = w->error().message();
                    ++m_answers;
                });
    }

    QDBusMessage m_call;
    QTimer m_timer;
    QElapsedTimer m_asked;
    bool m_waiting = false;
    qint64 m_longest = 0;
    int m_answers = 0;
    QString m_failure;
};

// Waits until done() holds while the probe sees the window answer; false on
// a hang or after timeoutMs.
template <typename Done> bool waitAnswering(const DescribeProbe &probe, Done done, int timeoutMs)
{
    return QTest::qWaitFor([&] { return probe.hung() || done(); }, timeoutMs) && !probe.hung();
}

} // namespace TestSupport
