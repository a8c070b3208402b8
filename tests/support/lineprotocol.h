// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The line protocol between the tests and benchmarks and their helper
// programs (interproc_peer, calvorn_windowhost, dbus_echo): one command or
// report a line, words separated by spaces, texts in base64 of their UTF-8.
// Texts too long to report whole are reported by their SHA-256.
#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QSocketNotifier>
#include <QString>
#include <QStringDecoder>

#include <cstdio>
#include <functional>
#include <unistd.h>

namespace TestSupport {

inline QByteArray b64(const QString &text)
{
    return text.toUtf8().toBase64();
}

// Unlike QString::fromUtf8, keeps a leading byte order mark.
inline QString exactUtf8(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
    return decoder.decode(bytes);
}

inline QString unb64(const QByteArray &field)
{
    return exactUtf8(QByteArray::fromBase64(field));
}

inline QByteArray sha256(const QString &text)
{
    return QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha256).toHex();
}

// A helper program's report: one line on standard output, at once.
inline void emitLine(const QByteArray &line)
{
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// A helper program's commands: hands each line that comes on standard input
// to the handler, without its newline, from the event loop. When the input
// ends the application quits.
class StdinLines
{
public:
    explicit StdinLines(std::function<void(const QByteArray &)> handler)
        : m_handler(std::move(handler)), m_notifier(STDIN_FILENO, QSocketNotifier::Read)
    {
        QObject::connect(&m_notifier, &QSocketNotifier::activated, [this] { readAvailable(); });
    }

    StdinLines(const StdinLines &) = delete;
    StdinLines &operator=(const StdinLines &) = delete;

private:
    void readAvailable()
    {
        char buffer[65536];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            QCoreApplication::quit();
            return;
        }
        m_pending.append(buffer, n);
        qsizetype start = 0;
        qsizetype end;
        while ((end = m_pending.indexOf('\n', start)) >= 0) {
            const QByteArray line = m_pending.mid(start, end - start);
            start = end + 1;
            m_handler(line);
        }
        m_pending.remove(0, start);
    }

    std::function<void(const QByteArray &)> m_handler;
    QSocketNotifier m_notifier;
    QByteArray m_pending;
};

} // namespace TestSupport
