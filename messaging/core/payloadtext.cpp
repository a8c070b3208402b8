// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "payloadtext.h"

#include <InterProc/interprocbus.h>

#include <QStringDecoder>
#include <QStringEncoder>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace PayloadText {

std::optional<QString> decodeUtf8(QByteArrayView bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless |
                                                     QStringDecoder::Flag::ConvertInitialBom);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

UniqueFd &UniqueFd::operator=(UniqueFd &&other) noexcept
{
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = other.release();
    }
    return *this;
}

UniqueFd::~UniqueFd()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

int UniqueFd::release()
{
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

static QString systemError(const char *what)
{
    return QStringLiteral("%1 failed: %2")
        .arg(QLatin1String(what), QString::fromLocal8Bit(strerror(errno)));
}

// Writes all of data at the file's offset.
static bool writeAll(int fd, const char *data, qint64 size, QString *error)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(std::min<qint64>(size, qint64(1) << 30)));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *error = systemError("writing the text file");
            return false;
        }
        data += n;
        size -= n;
    }
    return true;
}

// A new memfd that fill() writes into (returning false with *error set when
// it cannot), then sealed against writing, shrinking and growing. Written
// with write() rather than through a mapping: the kernel then adds the
// file's pages without a page fault and a page table entry for each, which
// makes writing hundreds of MiB several times faster.
static UniqueFd sealedMemfd(const std::function<bool(int)> &fill, QString *error)
{
    UniqueFd fd(::memfd_create("calvorn-interproc-text", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!fd.isValid()) {
        *error = systemError("memfd_create");
        return {};
    }
    if (!fill(fd.get()))
        return {};
    if (::fcntl(fd.get(), F_ADD_SEALS, F_SEAL_WRITE | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) !=
        0) {
        *error = systemError("sealing the text");
        return {};
    }
    return fd;
}

UniqueFd createSealedMemfd(QByteArrayView bytes, QString *error)
{
    return sealedMemfd(
        [bytes, error](int fd) { return writeAll(fd, bytes.data(), bytes.size(), error); }, error);
}

UniqueFd createSealedMemfd(QStringView text, qint64 *size, QString *error)
{
    // Encoded piece by piece into a buffer that stays in the cache. A piece
    // never ends between the two halves of a surrogate pair, which the
    // stateless encoder would turn into two U+FFFD.
    static constexpr qsizetype PieceUnits = 64 * 1024;
    qint64 written = 0;
    UniqueFd fd = sealedMemfd(
        [text, error, &written](int fd) {
            // UTF-8 takes at most three bytes for each UTF-16 unit.
            const std::unique_ptr<char[]> buffer(new char[3 * PieceUnits]);
            QStringView rest = text;
            while (!rest.isEmpty()) {
                qsizetype units = std::min(rest.size(), PieceUnits);
                if (units < rest.size() && rest.at(units - 1).isHighSurrogate())
                    --units;
                QStringEncoder encoder(QStringEncoder::Utf8, QStringEncoder::Flag::Stateless);
                const qint64 bytes =
                    encoder.appendToBuffer(buffer.get(), rest.first(units)) - buffer.get();
                if (!writeAll(fd, buffer.get(), bytes, error))
                    return false;
                written += bytes;
                rest = rest.sliced(units);
            }
            return true;
        },
        error);
    *size = written;
    return fd;
}

static ReadOutcome refuse(const char *name, const QString &message)
{
    return {std::nullopt, QLatin1String(name), message};
}

namespace {

// A piece adds little to the memory the text itself takes, and its pread
// costs little beside decoding it.
constexpr qsizetype ReadChunkBytes = 64 << 10;

// How many bytes at the end of data begin a UTF-8 sequence that data does
// not hold whole; they are decoded with the bytes that follow.
qsizetype incompleteTail(const char *data, qsizetype size)
{
    for (qsizetype back = 1; back <= std::min<qsizetype>(4, size); ++back) {
        const uchar c = uchar(data[size - back]);
        if ((c & 0xC0) == 0x80)
            continue; // a continuation byte: look further back for the lead byte
        const qsizetype length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        return length > back ? back : 0;
    }
    return 0; // no lead byte: invalid, which the decoder tells
}

// Filling a fresh buffer of many megabytes costs mostly page faults; huge
// pages, where the system gives them on request, make them far fewer.
void preferHugePages(QString &text)
{
#ifdef MADV_HUGEPAGE
    const quintptr page = quintptr(::sysconf(_SC_PAGESIZE));
    const quintptr from = (quintptr(text.data()) + page - 1) & ~(page - 1);
    const quintptr to = (quintptr(text.data() + text.size())) & ~(page - 1);
    if (to > from)
        ::madvise(reinterpret_cast<void *>(from), to - from, MADV_HUGEPAGE);
#else
    Q_UNUSED(text);
#endif
}

} // namespace

ReadOutcome readSealedText(int fd, quint64 declaredSize, qint64 maxBytes)
{
    if (declaredSize > quint64(maxBytes))
        return refuse(InterProcBus::ErrorTooLarge,
                      QStringLiteral("The text is %1 bytes; at most %2 bytes are accepted.")
                          .arg(declaredSize)
                          .arg(maxBytes));
    struct stat st = {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return refuse(InterProcBus::ErrorBadDescriptor,
                      QStringLiteral("The text descriptor is not a regular file."));
    const int seals = ::fcntl(fd, F_GET_SEALS);
    // Growing too: a text that can grow while it is read has no size to check.
    const int needed = F_SEAL_WRITE | F_SEAL_SHRINK | F_SEAL_GROW;
    if (seals < 0 || (seals & needed) != needed)
        return refuse(InterProcBus::ErrorBadDescriptor,
                      QStringLiteral("The text descriptor is not sealed against writing, "
                                     "shrinking and growing."));
    if (quint64(st.st_size) != declaredSize)
        return refuse(InterProcBus::ErrorBadDescriptor,
                      QStringLiteral("The text descriptor holds %1 bytes, not the declared %2.")
                          .arg(qint64(st.st_size))
                          .arg(declaredSize));
    if (declaredSize == 0)
        return {QString(), {}, {}};

    // Read a piece at a time and decode each straight into the text, which
    // never needs more UTF-16 units than there are bytes: the reading costs
    // the text and one piece. pread neither uses nor moves the shared file
    // offset, and unlike a mapping it takes no memory for the holes of a
    // sparse file.
    QString text(qsizetype(declaredSize), Qt::Uninitialized);
    preferHugePages(text);
    QChar *out = text.data();
    QByteArray buffer(ReadChunkBytes + 4, Qt::Uninitialized);
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless |
                                                     QStringDecoder::Flag::ConvertInitialBom);
    qsizetype carried = 0;
    quint64 offset = 0;
    while (offset < declaredSize) {
        const size_t want = size_t(std::min<quint64>(ReadChunkBytes, declaredSize - offset));
        const ssize_t got = ::pread(fd, buffer.data() + carried, want, off_t(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return refuse(InterProcBus::ErrorBadDescriptor, systemError("reading the text"));
        offset += quint64(got);
        const qsizetype have = carried + got;
        carried = offset < declaredSize ? incompleteTail(buffer.constData(), have) : 0;
        out = decoder.appendToBuffer(out, QByteArrayView(buffer.constData(), have - carried));
        if (decoder.hasError())
            return refuse(InterProcBus::ErrorInvalidText,
                          QStringLiteral("The text is not valid UTF-8."));
        std::memmove(buffer.data(), buffer.constData() + have - carried, size_t(carried));
    }
    text.truncate(out - text.constData());
    // Many characters of several bytes each leave much of the text unused.
    if (text.size() < text.capacity() / 2)
        text.squeeze();
    return {std::move(text), {}, {}};
}

} // namespace PayloadText
