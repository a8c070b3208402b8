// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "kepttextfile.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// Texts start at multiples of this, so that giving one back frees whole
// blocks of the file; it is also the piece written at a time.
constexpr qint64 PieceBytes = 64 * 1024;

bool allZero(const char *data, qint64 size)
{
    return size == 0 || (data[0] == 0 && std::memcmp(data, data + 1, size_t(size - 1)) == 0);
}

} // namespace

KeptTextFile::KeptTextFile()
{
    // Unnamed from the start in the temporary folder (on disk on most
    // systems); a memfd where that folder cannot have one.
    m_fd = ::open(QFile::encodeName(QDir::tempPath()).constData(), O_TMPFILE | O_RDWR | O_CLOEXEC,
                  0600);
    if (m_fd < 0)
        m_fd = ::memfd_create("calvorn-kept-text", MFD_CLOEXEC);
}

KeptTextFile::~KeptTextFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

KeptTextFile::Span KeptTextFile::reserve(qint64 length)
{
    const Span span{m_end, length};
    m_end += (2 * length + PieceBytes - 1) / PieceBytes * PieceBytes;
    return span;
}

qint64 KeptTextFile::write(const Span &span, QStringView text) const
{
    if (m_fd < 0 || span.offset < 0 || text.size() != span.length)
        return -1;
    const char *data = reinterpret_cast<const char *>(text.utf16());
    const qint64 size = 2 * span.length;
    qint64 stored = 0;
    for (qint64 done = 0; done < size;) {
        const qint64 piece = std::min(PieceBytes, size - done);
        if (allZero(data + done, piece)) {
            done += piece;
            continue;
        }
        const ssize_t n = ::pwrite(m_fd, data + done, size_t(piece), off_t(span.offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        done += n;
        stored += n;
    }
    return stored;
}

bool KeptTextFile::read(const Span &span, QChar *to) const
{
    if (m_fd < 0 || span.offset < 0)
        return false;
    char *data = reinterpret_cast<char *>(to);
    const qint64 size = 2 * span.length;
    for (qint64 done = 0; done < size;) {
        const ssize_t n = ::pread(m_fd, data + done, size_t(std::min(size - done, qint64(1) << 30)),
                                  off_t(span.offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0) {
            // Past the end of the file: the rest was all NUL.
            std::fill(data + done, data + size, 0);
            break;
        }
        done += n;
    }
    return true;
}

void KeptTextFile::release(const Span &span) const
{
    if (m_fd < 0 || span.offset < 0 || span.length == 0)
        return;
    ::fallocate(m_fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, off_t(span.offset),
                off_t(2 * span.length));
}
