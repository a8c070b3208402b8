// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "stopsignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {
bool stopped = false; // read and written on the main thread only
} // namespace

bool stopRequested()
{
    return stopped;
}

void quitOnStopSignals()
{
    // Blocked signals wait in a signalfd, which the event loop reads like
    // any other descriptor: no code runs inside a signal handler.
    sigset_t stops;
    sigemptyset(&stops);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&stops, signal);
    if (pthread_sigmask(SIG_BLOCK, &stops, nullptr) != 0)
        return;
    const int fd = signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK);
    if (fd < 0) {
        pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);
        return;
    }
    auto *notifier = new QSocketNotifier(fd, QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [fd] {
        signalfd_siginfo info;
        while (::read(fd, &info, sizeof info) == ssize_t(sizeof info)) {
        }
        stopped = true;
        QCoreApplication::exit(0);
    });
}
