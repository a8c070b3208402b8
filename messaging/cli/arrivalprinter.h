// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// Prints what `interproc watch` receives, one JSON object a line, on a
// thread of its own: a large text takes a while to escape and to write, and
// standard output may be a pipe that its reader empties slowly or not at
// all, while the watch must go on answering on the bus. Each line is
// written in pieces as it is escaped, so that printing a text costs little
// memory beside the text itself.
#pragma once

#include <QString>
#include <QtGlobal>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>

class ArrivalPrinter
{
public:
    // Payloads waiting to be printed at most, and their texts' characters
    // at most (the first payload always fits); past either, print() waits
    // until the printer has caught up.
    static constexpr int MaxWaiting = 64;
    static constexpr qint64 MaxWaitingChars = 256 * 1024 * 1024;

    explicit ArrivalPrinter(std::FILE *out);
    // Prints what is waiting, then stops.
    ~ArrivalPrinter();
    ArrivalPrinter(const ArrivalPrinter &) = delete;
    ArrivalPrinter &operator=(const ArrivalPrinter &) = delete;

    void print(qint32 senderHandle, const QString &senderName, qint32 longData,
               const QString &stringData);

private:
    struct Arrival
    {
        qint32 senderHandle;
        QString senderName;
        qint32 longData;
        QString stringData;
    };

    void run();
    void write(const Arrival &arrival);
    static qint64 charsOf(const Arrival &arrival)
    {
        return arrival.senderName.size() + arrival.stringData.size();
    }

    std::FILE *m_out;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Arrival> m_waiting;
    qint64 m_waitingChars = 0;
    bool m_stopping = false;
    std::thread m_thread;
};
