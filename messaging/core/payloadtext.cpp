// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "payloadtext.h"

#include <InterProc/interprocbus.h>

#include <QStringDecoder>
#include <QStringEncoder>
#include <QSysInfo>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

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

namespace {

constexpr bool isSurrogate(char16_t u)
{
    return (u & 0xF800) == 0xD800;
}
constexpr bool isHigh(char16_t u)
{
    return (u & 0xFC00) == 0xD800;
}
constexpr bool isLow(char16_t u)
{
    return (u & 0xFC00) == 0xDC00;
}

// Whether the surrogates of units pair up, one piece of a longer text at a
// time: *highPending carries a high surrogate that ends the previous piece
// in, and one that ends this piece out.
bool surrogatesPaired(const char16_t *units, qsizetype count, bool *highPending)
{
    if (count == 0)
        return true;
    // Every unit is a high surrogate exactly when the next is a low one:
    // tested for all of them without a branch, eight at a time where the
    // machine has vector instructions for it, so that checking costs little
    // beside copying.
    unsigned unpaired = unsigned(*highPending) ^ unsigned(isLow(units[0]));
    qsizetype i = 0;
#ifdef __SSE2__
    const __m128i mask = _mm_set1_epi16(short(0xFC00));
    const __m128i high = _mm_set1_epi16(short(0xD800));
    const __m128i low = _mm_set1_epi16(short(0xDC00));
    __m128i wrong = _mm_setzero_si128();
    for (; i + 8 < count; i += 8) {
        const __m128i these = _mm_loadu_si128(reinterpret_cast<const __m128i *>(units + i));
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i *>(units + i + 1));
        wrong = _mm_or_si128(wrong, _mm_xor_si128(_mm_cmpeq_epi16(_mm_and_si128(these, mask), high),
                                                  _mm_cmpeq_epi16(_mm_and_si128(next, mask), low)));
    }
    unpaired |= unsigned(_mm_movemask_epi8(wrong));
#endif
    for (; i + 1 < count; ++i)
        unpaired |= unsigned(isHigh(units[i])) ^ unsigned(isLow(units[i + 1]));
    *highPending = isHigh(units[count - 1]);
    return unpaired == 0;
}

} // namespace

bool isWellFormedUtf16(QStringView text)
{
    bool highPending = false;
    return surrogatesPaired(text.utf16(), text.size(), &highPending) && !highPending;
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

UniqueFd createSealedMemfdUtf16(QStringView text, qint64 *size, QString *error)
{
    // Copied a piece at a time into a buffer that stays in the cache, each
    // piece checked on the way, and written from there: the kernel then
    // reads the same few pages again and again, where reading the text's
    // own pages from the kernel costs far more the first time than copying
    // them here. An unpaired surrogate becomes U+FFFD, as in UTF-8; a piece
    // never ends between the halves of a pair.
    static constexpr qsizetype PieceUnits = 64 * 1024;
    constexpr bool LittleEndian = QSysInfo::ByteOrder == QSysInfo::LittleEndian;
    UniqueFd fd = sealedMemfd(
        [text, error](int fd) {
            const std::unique_ptr<char16_t[]> buffer(new char16_t[PieceUnits]);
            QStringView rest = text;
            while (!rest.isEmpty()) {
                qsizetype units = std::min(rest.size(), PieceUnits);
                if (units < rest.size() && isHigh(rest.at(units - 1).unicode()))
                    --units;
                const char16_t *piece = rest.utf16();
                rest = rest.sliced(units);
                bool highPending = false;
                if (LittleEndian && surrogatesPaired(piece, units, &highPending) && !highPending) {
                    std::memcpy(buffer.get(), piece, size_t(units) * sizeof(char16_t));
                } else {
                    for (qsizetype i = 0; i < units; ++i) {
                        char16_t unit = piece[i];
                        if (isHigh(unit) && i + 1 < units && isLow(piece[i + 1])) {
                            buffer[i] = qToLittleEndian(unit);
                            unit = piece[++i];
                        } else if (isSurrogate(unit)) {
                            unit = QChar::ReplacementCharacter;
                        }
                        buffer[i] = qToLittleEndian(unit);
                    }
                }
                if (!writeAll(fd, reinterpret_cast<const char *>(buffer.get()),
                              qint64(units) * qint64(sizeof(char16_t)), error))
                    return false;
            }
            return true;
        },
        error);
    *size = qint64(text.size()) * qint64(sizeof(char16_t));
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

namespace {

// Refuses a descriptor that is not a regular file sealed against writing,
// shrinking and growing of exactly declaredSize bytes, at most maxBytes.
std::optional<ReadOutcome> refusedDescriptor(int fd, quint64 declaredSize, qint64 maxBytes)
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
    return std::nullopt;
}

} // namespace

ReadOutcome readSealedText(int fd, quint64 declaredSize, qint64 maxBytes)
{
    if (std::optional<ReadOutcome> refused = refusedDescriptor(fd, declaredSize, maxBytes))
        return std::move(*refused);
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

ReadOutcome readSealedUtf16(int fd, quint64 declaredSize, qint64 maxBytes)
{
    if (declaredSize > quint64(maxBytes))
        return refusedDescriptor(fd, declaredSize, maxBytes).value();
    if (declaredSize % sizeof(char16_t) != 0)
        return refuse(InterProcBus::ErrorInvalidText,
                      QStringLiteral("The text is %1 bytes, which is no whole number of UTF-16 "
                                     "units.")
                          .arg(declaredSize));
    if (std::optional<ReadOutcome> refused = refusedDescriptor(fd, declaredSize, maxBytes))
        return std::move(*refused);
    if (declaredSize == 0)
        return {QString(), {}, {}};

    // Read a piece at a time into a buffer that stays in the cache, checked
    // there and copied into the text's storage: the kernel writes the same
    // few pages again and again, where writing the text's fresh pages from
    // the kernel costs far more than copying them here. pread neither uses
    // nor moves the shared file offset.
    static constexpr quint64 PieceBytes = 128 << 10;
    const qsizetype units = qsizetype(declaredSize / sizeof(char16_t));
    QString text(units, Qt::Uninitialized);
    preferHugePages(text);
    char *out = reinterpret_cast<char *>(text.data());
    const std::unique_ptr<char16_t[]> buffer(new char16_t[PieceBytes / sizeof(char16_t)]);
    char *const piece = reinterpret_cast<char *>(buffer.get());
    bool highPending = false;
    quint64 offset = 0;
    while (offset < declaredSize) {
        // Both even: a piece holds whole units.
        const quint64 want = std::min(PieceBytes, declaredSize - offset);
        for (quint64 have = 0; have < want;) {
            const ssize_t got =
                ::pread(fd, piece + have, size_t(want - have), off_t(offset + have));
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return refuse(InterProcBus::ErrorBadDescriptor, systemError("reading the text"));
            have += quint64(got);
        }
        const qsizetype count = qsizetype(want / sizeof(char16_t));
        if constexpr (QSysInfo::ByteOrder != QSysInfo::LittleEndian)
            qFromLittleEndian<char16_t>(buffer.get(), count, buffer.get());
        if (!surrogatesPaired(buffer.get(), count, &highPending))
            return refuse(InterProcBus::ErrorInvalidText,
                          QStringLiteral("The text is not valid UTF-16."));
        std::memcpy(out + offset, piece, size_t(want));
        offset += want;
    }
    if (highPending)
        return refuse(InterProcBus::ErrorInvalidText,
                      QStringLiteral("The text is not valid UTF-16."));
    return {std::move(text), {}, {}};
}

} // namespace PayloadText
