// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "arrivalprinter.h"

#include "terminaltext.h"

#include <QByteArray>
#include <QStringEncoder>

#include <utility>

namespace {

// Characters escaped and written at a time.
constexpr qsizetype PieceChars = 64 * 1024;

} // namespace

ArrivalPrinter::ArrivalPrinter(std::FILE *out) : m_out(out), m_thread([this] { run(); })
{}

ArrivalPrinter::~ArrivalPrinter()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

void ArrivalPrinter::print(qint32 senderHandle, const QString &senderName, qint32 longData,
                           const QString &stringData)
{
    Arrival arrival{senderHandle, senderName, longData, stringData};
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [&] {
        return m_waiting.empty() || (m_waiting.size() < MaxWaiting &&
                                     m_waitingChars + charsOf(arrival) <= MaxWaitingChars);
    });
    m_waitingChars += charsOf(arrival);
    m_waiting.push_back(std::move(arrival));
    lock.unlock();
    m_changed.notify_all();
}

void ArrivalPrinter::run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_stopping || !m_waiting.empty(); });
        if (m_waiting.empty())
            return; // stopping, and all is printed
        // Stays queued, and counted, while it is written.
        const Arrival &next = m_waiting.front();
        lock.unlock();
        write(next);
        lock.lock();
        m_waitingChars -= charsOf(m_waiting.front());
        m_waiting.pop_front();
        m_changed.notify_all();
    }
}

void ArrivalPrinter::write(const Arrival &arrival)
{
    QStringEncoder utf8(QStringEncoder::Utf8);
    QString piece;
    piece.reserve(PieceChars * 6 + 64);
    const auto flush = [&] {
        const QByteArray bytes = utf8.encode(piece);
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), m_out);
        piece.clear();
    };
    piece += QStringLiteral("{\"longData\":%1,\"senderHandle\":%2,\"senderName\":\"")
                 .arg(arrival.longData)
                 .arg(arrival.senderHandle);
    TerminalText::appendEscaped(piece, arrival.senderName, TerminalText::Quotes::Escaped);
    piece += QLatin1String("\",\"stringData\":\"");
    const QString &text = arrival.stringData;
    for (qsizetype at = 0; at < text.size(); at += PieceChars) {
        TerminalText::appendEscaped(piece, QStringView(text).mid(at, PieceChars),
                                    TerminalText::Quotes::Escaped);
        flush();
    }
    piece += QLatin1String("\"}\n");
    flush();
    std::fflush(m_out);
}
