// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// A second connection to the session bus that answers Describe for one
// endpoint, on a thread of its own. The endpoint's own connection takes
// calls in the order they came and its thread also runs the program, so a
// party that only asks for the caption would wait behind any flood of
// payloads there; this connection carries nothing else, and its thread
// touches nothing of the endpoint but the handle and caption given to it.
//
// It owns captionServiceForHandle(handle), taken before the endpoint's own name:
// whoever sees the endpoint's name finds the desk's taken by the same
// process already. Parties that do not know the desk keep asking the
// endpoint itself, which answers as before.
#pragma once

#include <QByteArray>
#include <QString>

#include <condition_variable>
#include <mutex>
#include <thread>

#include <systemd/sd-bus.h>

class CaptionDesk
{
public:
    // Starts connecting in the background.
    CaptionDesk();
    // Stops answering and closes the connection, which gives the name back.
    ~CaptionDesk();
    CaptionDesk(const CaptionDesk &) = delete;
    CaptionDesk &operator=(const CaptionDesk &) = delete;

    // Waits at most boundMs for the connection; false when there is none.
    bool waitOpen(int boundMs);
    // Takes the desk's name for handle, before start(): 0, or the negative
    // errno sd-bus gave (-EEXIST when another connection has it).
    int claim(qint32 handle);
    // Gives the claimed name back, before start().
    void release();
    // Answers Describe from now on, with the claimed handle and caption.
    void start(const QString &caption);
    void setCaption(const QString &caption);

    // Answers waiting to be written past which the desk stops reading: a
    // caller that asks without reading its answers fills no more than this.
    static constexpr uint64_t MaxQueuedWrites = 256;

private:
    void run();
    void serve();
    void wake();
    static int describe(sd_bus_message *m, void *userdata, sd_bus_error *error);

    std::mutex m_mutex;
    std::condition_variable m_changed;
    sd_bus *m_bus = nullptr; // the thread's, but the owner's until start()
    bool m_opened = false;   // whether the connection attempt has ended
    bool m_started = false;
    bool m_stopping = false;
    qint32 m_handle = 0;
    QByteArray m_caption; // UTF-8, as the answer carries it
    int m_wake = -1;      // an eventfd that wakes the thread's poll
    std::thread m_thread;
};
