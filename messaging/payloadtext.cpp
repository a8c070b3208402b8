#include "payloadtext.h"

#include "buscontract.h"

#include <QStringDecoder>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
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

UniqueFd createSealedMemfd(QByteArrayView bytes, QString *error)
{
    UniqueFd fd(::memfd_create("calvorn-interproc-text", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!fd.isValid()) {
        *error = systemError("memfd_create");
        return {};
    }
    if (::ftruncate(fd.get(), bytes.size()) != 0) {
        *error = systemError("ftruncate");
        return {};
    }
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t n =
            ::pwrite(fd.get(), bytes.data() + written, size_t(bytes.size() - written), written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *error = systemError("writing the text");
            return {};
        }
        written += n;
    }
    if (::fcntl(fd.get(), F_ADD_SEALS, F_SEAL_WRITE | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) !=
        0) {
        *error = systemError("sealing the text");
        return {};
    }
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
