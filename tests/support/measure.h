// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// What the tests and benchmarks measure of processes, with or without Qt: a
// clock that every process on the machine reads alike, and a process's
// memory and state as the kernel counts them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/types.h>

namespace TestSupport {

// Nanoseconds on CLOCK_MONOTONIC: one process may compare its reading with
// another's.
inline int64_t nowNs()
{
    timespec ts = {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// A figure of /proc/<pid>/status in KiB, such as VmRSS (resident memory) or
// VmHWM (its peak); pid 0 is this process. -1 when there is none.
inline long long statusKiB(pid_t pid, const char *field)
{
    char path[64] = "/proc/self/status";
    if (pid > 0)
        std::snprintf(path, sizeof path, "/proc/%d/status", int(pid));
    FILE *status = std::fopen(path, "re");
    if (!status)
        return -1;
    const size_t length = std::strlen(field);
    long long kib = -1;
    char line[256];
    while (kib < 0 && std::fgets(line, sizeof line, status)) {
        if (std::strncmp(line, field, length) == 0 && line[length] == ':')
            kib = std::strtoll(line + length + 1, nullptr, 10);
    }
    std::fclose(status);
    return kib;
}

inline long long residentKiB(pid_t pid = 0)
{
    return statusKiB(pid, "VmRSS");
}

// The state letter of a process in /proc/<pid>/stat (R, S, T, ...), or 0.
inline char processState(pid_t pid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", int(pid));
    FILE *stat = std::fopen(path, "re");
    if (!stat)
        return 0;
    char line[512] = {};
    const size_t length = std::fread(line, 1, sizeof line - 1, stat);
    std::fclose(stat);
    // The command name, in parentheses, may hold blanks and parentheses.
    const char *close = std::strrchr(line, ')');
    return close && close + 2 < line + length ? close[2] : 0;
}

} // namespace TestSupport
