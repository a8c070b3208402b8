// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// Drives calvorn_windowhost (windowhost.cpp): the program's real window in a
// process of its own, for the suites that need one.
#pragma once

#include "peerprocess.h"

#include <QPair>

#ifndef WINDOW_HOST
#error "WINDOW_HOST must name the window host program"
#endif

namespace TestSupport {

class WindowHost : public LineProcess
{
public:
    // Starts the window. With mergeErrors, what it prints on standard error
    // comes in as lines too.
    explicit WindowHost(const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(),
                        bool mergeErrors = false)
        : LineProcess(QStringLiteral(WINDOW_HOST), {}, env)
    {
        if (mergeErrors)
            process().setProcessChannelMode(QProcess::MergedChannels);
        start();
    }

    // Waits until the window is on the bus; false if it could not reach the
    // bus, or ended.
    bool waitReady()
    {
        const QList<QByteArray> f =
            takeLineIf([](const QByteArray &l) {
                return l.startsWith("READY ") || l.startsWith("NOTCONNECTED ");
            }).split(' ');
        if (f.size() == 3 && f.at(0) == "READY") {
            m_handle = f.at(1).toInt();
            m_role = f.at(2);
        }
        return m_handle > 0;
    }
    qint32 handle() const { return m_handle; }
    // "server" or "client".
    QByteArray role() const { return m_role; }

    QString log()
    {
        command("log");
        return unb64(takeLine("LOG ").mid(4));
    }
    // What copying the whole log gives: characters shown, UTF-8 bytes and
    // their SHA-256.
    QList<QByteArray> copy()
    {
        command("copy");
        return takeLine("COPY ").split(' ').mid(1);
    }
    // Resident memory and its peak so far, in KiB.
    QPair<qint64, qint64> memory()
    {
        command("memory");
        const QList<QByteArray> f = takeLine("MEMORY ").split(' ');
        return {f.value(1).toLongLong(), f.value(2).toLongLong()};
    }
    QString boxes()
    {
        command("boxes");
        return unb64(takeLine("BOXES ").mid(6));
    }
    QByteArray font()
    {
        command("font");
        return takeLine("FONT ").mid(5);
    }
    // "BUTTONS <send button 0> <send button 1>", 1 for enabled.
    QByteArray buttons()
    {
        command("buttons");
        return takeLine("BUTTONS ");
    }
    // The longest the window's thread worked (in its own CPU time) without a
    // turn of its event loop, since the last call.
    qint64 longestStallMs()
    {
        command("stall");
        return takeLine("STALL ").mid(6).toLongLong();
    }
    // Whether the window's component knows that party and its caption.
    bool knows(qint32 handle)
    {
        command("knows " + QByteArray::number(handle));
        return takeLine("KNOWS ") == "KNOWS 1";
    }
    // Types the payload into the window and clicks "Send to clients".
    void sendToClients(qint32 longData, const QString &text)
    {
        command("send 0 " + QByteArray::number(longData) + ' ' + b64(text));
    }

private:
    qint32 m_handle = 0;
    QByteArray m_role;
};

} // namespace TestSupport
