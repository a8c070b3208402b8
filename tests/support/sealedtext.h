// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// A text in a memfd sealed as a sender seals it (against writing, shrinking
// and growing), for the DeliverSealed calls of tests and benchmarks.
#pragma once

#include <QByteArray>
#include <QDBusUnixFileDescriptor>

#include <algorithm>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace TestSupport {

// `size` bytes: `piece` repeated, or zeros never written (a sparse file,
// which takes no memory until someone reads it) when piece is empty.
// Invalid when the memfd cannot be made.
inline QDBusUnixFileDescriptor sealedText(const QByteArray &piece, qint64 size)
{
    const int fd = ::memfd_create("sealed-text", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0)
        return {};
    bool made = ::ftruncate(fd, off_t(size)) == 0;
    if (!piece.isEmpty()) {
        const QByteArray run = piece.repeated(std::max<qsizetype>(1, (1 << 20) / piece.size()));
        for (qint64 done = 0; made && done < size;) {
            const qsizetype n = qsizetype(std::min<qint64>(run.size(), size - done));
            made = ::pwrite(fd, run.constData(), size_t(n), off_t(done)) == n;
            done += n;
        }
    }
    made = made &&
           ::fcntl(fd, F_ADD_SEALS, F_SEAL_WRITE | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) == 0;
    const QDBusUnixFileDescriptor descriptor =
        made ? QDBusUnixFileDescriptor(fd) : QDBusUnixFileDescriptor();
    ::close(fd); // the descriptor keeps a duplicate
    return descriptor;
}

inline QDBusUnixFileDescriptor sealedText(const QByteArray &text)
{
    return sealedText(text, text.size());
}

} // namespace TestSupport
