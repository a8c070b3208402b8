// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// How a payload's text travels: as UTF-8, inline or in a sealed memfd, or as
// UTF-16 (little-endian) in a sealed memfd, and the checks a receiver makes
// before it believes any of them.
#pragma once

#include <QByteArrayView>
#include <QString>
#include <QStringView>

#include <optional>

namespace PayloadText {

// How a text in a sealed memfd is written: DeliverSealed carries UTF-8,
// DeliverSealedUtf16 little-endian UTF-16.
enum class Encoding { Utf8, Utf16 };

// Decodes UTF-8 exactly: a leading byte order mark stays part of the text,
// and any malformed sequence makes the whole input invalid (nullopt).
std::optional<QString> decodeUtf8(QByteArrayView bytes);

// Whether every surrogate in text is half of a pair, in its order.
bool isWellFormedUtf16(QStringView text);

// A file descriptor that closes itself.
class UniqueFd
{
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    UniqueFd(UniqueFd &&other) noexcept : m_fd(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept;
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    ~UniqueFd();
    int get() const { return m_fd; }
    int release();
    bool isValid() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

// Copies bytes into a new memfd and seals it against writing, shrinking and
// growing, so that a receiver can map it safely. On failure returns an
// invalid descriptor and sets *error.
UniqueFd createSealedMemfd(QByteArrayView bytes, QString *error);
// The same for a text, written as UTF-8 straight into the memfd; *size gets
// its length in bytes.
UniqueFd createSealedMemfd(QStringView text, qint64 *size, QString *error);
// The same with the text's UTF-16 units as they are, little-endian, each
// unpaired surrogate replaced by U+FFFD as the UTF-8 encoder replaces it;
// *size gets twice the text's length.
UniqueFd createSealedMemfdUtf16(QStringView text, qint64 *size, QString *error);

struct ReadOutcome
{
    std::optional<QString> text;
    QString errorName;    // a D-Bus error name when text is empty
    QString errorMessage; // a sentence for the sender
};

// Reads a text that a peer passed as a descriptor. Accepts only a regular
// file sealed against writing, shrinking and growing whose size equals declaredSize
// and is at most maxBytes, holding valid UTF-8. Costs the text's memory and
// a small buffer; the descriptor's shared file offset is neither used nor
// moved.
ReadOutcome readSealedText(int fd, quint64 declaredSize, qint64 maxBytes);
// The same for a text of little-endian UTF-16, which becomes the text as it
// is read, with no decoding: declaredSize must be even, and an unpaired
// surrogate makes the whole text invalid.
ReadOutcome readSealedUtf16(int fd, quint64 declaredSize, qint64 maxBytes);

} // namespace PayloadText
