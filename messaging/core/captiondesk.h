// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// A connection to the session bus that answers Describe for the endpoints
// of a process, on a thread of its own. An endpoint's own connection takes
// calls in the order they came and its thread also runs the program, so a
// party that only asks for a caption would wait behind any flood of
// payloads there, or behind a long handler; this connection carries nothing
// else, and its thread touches nothing of the endpoints but the handles and
// captions they hand it.
//
// For each endpoint it owns captionServiceForHandle(handle), taken before
// the endpoint's own name: whoever sees the endpoint's name finds the
// desk's taken by the same process already. Parties that do not know the
// desk keep asking the endpoint itself, which answers as before.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include <systemd/sd-bus.h>

class CaptionDesk
{
public:
    // The desk of this process on the session bus the environment names,
    // made when there is none that is open; it goes with the last endpoint
    // that holds it. It connects in the background: claim() waits for that.
    static std::shared_ptr<CaptionDesk> forThisProcess();
    ~CaptionDesk();
    CaptionDesk(const CaptionDesk &) = delete;
    CaptionDesk &operator=(const CaptionDesk &) = delete;

    // Takes the desk's name for handle and answers for it with caption from
    // now on: 0, or the negative errno (-EEXIST when another connection has
    // the name, -ENOTCONN when the desk has no connection). Waits at most
    // boundMs for the desk to connect.
    int claim(qint32 handle, const QString &caption, int boundMs);
    // Stops answering for handle and gives its name back.
    void release(qint32 handle);
    void setCaption(qint32 handle, const QString &caption);

    // Answers waiting to be written past which the desk stops reading: a
    // caller that asks without reading its answers fills no more than this.
    static constexpr uint64_t MaxQueuedWrites = 256;

private:
    CaptionDesk();
    void run();
    void serve();
    void wake();
    bool isOpen();
    static int describe(sd_bus_message *m, void *userdata, sd_bus_error *error);

    // Guards everything below, the connection included: the thread
    // processes it under the lock, and endpoints take and give back names
    // on it under the lock.
    std::mutex m_mutex;
    std::condition_variable m_opened;
    sd_bus *m_bus = nullptr;
    bool m_connecting = true;
    bool m_stopping = false;
    QHash<qint32, QByteArray> m_captions; // UTF-8, as the answers carry them
    int m_wake = -1;                      // an eventfd that wakes the thread's poll
    std::thread m_thread;
};
