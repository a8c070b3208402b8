// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "logmemory.h"

#include <QString>

#include <algorithm>
#include <unistd.h>

namespace LogMemory {

qint64 budgetBytes()
{
    constexpr qint64 MiB = 1024 * 1024;
    bool ok = false;
    const qint64 set = qEnvironmentVariable("CALVORN_LOG_MEMORY_MIB").toLongLong(&ok);
    if (ok && set >= 1)
        return std::min<qint64>(set, qint64(1) << 32) * MiB;
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    const qint64 machine = pages > 0 && pageSize > 0 ? qint64(pages) * pageSize : 0;
    return std::clamp<qint64>(machine / 8, 64 * MiB, 512 * MiB);
}

qint64 fileBudgetBytes(qint64 memoryBudget)
{
    return 4 * memoryBudget;
}

} // namespace LogMemory
