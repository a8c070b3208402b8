// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// Every part of an endpoint belongs to the thread that made it: its sd-bus
// connections, timers and socket notifiers are used from there alone, and
// nothing in it is guarded by a lock. Each entry point says so with
// INTERPROC_CHECK_THREAD(object). Built with INTERPROC_THREAD_CHECKS (the
// test and sanitizer builds), a call from another thread stops the program
// with the name of the call; otherwise the first one is reported as a
// warning of calvorn.interproc.
#pragma once

#include <QObject>
#include <QThread>

namespace ThreadCheck {

[[gnu::cold]] void wrongThread(const QObject *object, const char *call);

inline void ensure(const QObject *object, const char *call)
{
    if (Q_UNLIKELY(QThread::currentThread() != object->thread()))
        wrongThread(object, call);
}

} // namespace ThreadCheck

#define INTERPROC_CHECK_THREAD(object) ThreadCheck::ensure((object), Q_FUNC_INFO)
