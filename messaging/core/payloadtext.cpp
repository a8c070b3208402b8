#include "payloadtext.h"

#include "buscontract.h"

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

    void *map = ::mmap(nullptr, size_t(declaredSize), PROT_READ, MAP_PRIVATE, fd, 0);
    if (map == MAP_FAILED)
        return refuse(BusContract::ErrorBadDescriptor, systemError("mapping the text"));
    std::optional<QString> text =
        decodeUtf8(QByteArrayView(static_cast<const char *>(map), qsizetype(declaredSize)));
    ::munmap(map, size_t(declaredSize));
    if (!text)
        return refuse(BusContract::ErrorInvalidText,
                      QStringLiteral("The text is not valid UTF-8."));
    return {std::move(text), {}, {}};
}

} // namespace PayloadText
