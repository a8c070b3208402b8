#include "payloadtext.h"

#include "buscontract.h"

#include <QStringDecoder>
#include <QStringEncoder>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
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

// A memfd of `capacity` bytes, mapped for fill() to write into; fill
// returns how many bytes it wrote, and the file is cut to that and sealed.
// Writing through the mapping spares a temporary copy of the whole text.
static UniqueFd sealedMemfd(qint64 capacity, const std::function<qint64(char *)> &fill,
                            qint64 *size, QString *error)
{
    UniqueFd fd(::memfd_create("calvorn-interproc-text", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!fd.isValid()) {
        *error = systemError("memfd_create");
        return {};
    }
    if (::ftruncate(fd.get(), capacity) != 0) {
        *error = systemError("sizing the text file");
        return {};
    }
    qint64 used = 0;
    if (capacity > 0) {
        void *map =
            ::mmap(nullptr, size_t(capacity), PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
        if (map == MAP_FAILED) {
            *error = systemError("mapping the text file");
            return {};
        }
        used = fill(static_cast<char *>(map));
        ::munmap(map, size_t(capacity));
    }
    if (used != capacity && ::ftruncate(fd.get(), used) != 0) {
        *error = systemError("sizing the text file");
        return {};
    }
    if (::fcntl(fd.get(), F_ADD_SEALS, F_SEAL_WRITE | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) !=
        0) {
        *error = systemError("sealing the text");
        return {};
    }
    *size = used;
    return fd;
}

UniqueFd createSealedMemfd(QByteArrayView bytes, QString *error)
{
    qint64 size = 0;
    return sealedMemfd(
        bytes.size(),
        [bytes](char *out) {
            std::memcpy(out, bytes.data(), size_t(bytes.size()));
            return qint64(bytes.size());
        },
        &size, error);
}

UniqueFd createSealedMemfd(QStringView text, qint64 *size, QString *error)
{
    // UTF-8 takes at most three bytes for each UTF-16 unit; the pages that
    // stay unused are never allocated and are cut off again.
    return sealedMemfd(
        qint64(text.size()) * 3,
        [text](char *out) {
            QStringEncoder encoder(QStringEncoder::Utf8, QStringEncoder::Flag::Stateless);
            return qint64(encoder.appendToBuffer(out, text) - out);
        },
        size, error);
}

static ReadOutcome refuse(const char *name, const QString &message)
{
    return {std::nullopt, QLatin1String(name), message};
}

namespace {

constexpr qsizetype ReadChunkBytes = 1 << 20;

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
        return refuse(BusContract::ErrorTooLarge,
                      QStringLiteral("The text is %1 bytes; at most %2 bytes are accepted.")
                          .arg(declaredSize)
                          .arg(maxBytes));
    struct stat st = {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return refuse(BusContract::ErrorBadDescriptor,
                      QStringLiteral("The text descriptor is not a regular file."));
    const int seals = ::fcntl(fd, F_GET_SEALS);
    const int needed = F_SEAL_WRITE | F_SEAL_SHRINK;
    if (seals < 0 || (seals & needed) != needed)
        return refuse(
            BusContract::ErrorBadDescriptor,
            QStringLiteral("The text descriptor is not sealed against writing and shrinking."));
    if (quint64(st.st_size) != declaredSize)
        return refuse(BusContract::ErrorBadDescriptor,
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
            return refuse(BusContract::ErrorBadDescriptor, systemError("reading the text"));
        offset += quint64(got);
        const qsizetype have = carried + got;
        carried = offset < declaredSize ? incompleteTail(buffer.constData(), have) : 0;
        out = decoder.appendToBuffer(out, QByteArrayView(buffer.constData(), have - carried));
        if (decoder.hasError())
            return refuse(BusContract::ErrorInvalidText,
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
