// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "threadcheck.h"

#include "interproclogging.h"

#include <atomic>

void ThreadCheck::wrongThread(const QObject *object, const char *call)
{
#ifdef INTERPROC_THREAD_CHECKS
    qFatal("InterProc: %s was called from thread %p, but the endpoint belongs to thread %p; "
           "an endpoint is used from the thread that made it",
           call, static_cast<void *>(QThread::currentThread()),
           static_cast<void *>(object->thread()));
#else
    static std::atomic_bool told = false;
    if (!told.exchange(true))
        qCWarning(lcInterProc,
                  "%s was called from thread %p, but the endpoint belongs to thread %p; an "
                  "endpoint is used from the thread that made it (told once)",
                  call, static_cast<void *>(QThread::currentThread()),
                  static_cast<void *>(object->thread()));
#endif
}
