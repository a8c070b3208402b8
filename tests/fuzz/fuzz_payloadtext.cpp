// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// Fuzzes the decoding of a received text with arbitrary bytes. decodeUtf8
// must accept exactly the well-formed UTF-8 (as an independent validator
// judges it) and give back a text that encodes to the same bytes again.
// readSealedText, handed the bytes in a sealed memfd, must read the same
// text when the declared size is right, and refuse the descriptor when the
// size is wrong, the limit too small or the memfd unsealed. And the sending
// side's encoder must put any UTF-16 text, the same bytes read as UTF-16
// units, into a sealed memfd that reads back as that text. The same bytes
// as a memfd of little-endian UTF-16 must be taken exactly when they are
// whole units whose surrogates all pair up, as an independent check judges,
// and the UTF-16 encoder must write any text so that it reads back whole.
#include "fuzzcheck.h"
#include "payloadtext.h"
#include <InterProc/interprocbus.h>

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// Well-formed UTF-8 as the Unicode standard defines it: no overlong forms,
// no surrogates, nothing above U+10FFFF, no truncated sequence. Counts the
// UTF-16 units of the decoded text on the way.
bool isWellFormedUtf8(const std::uint8_t *data, std::size_t size, qsizetype *utf16Units)
{
    *utf16Units = 0;
    std::size_t at = 0;
    while (at < size) {
        const std::uint8_t lead = data[at];
        std::size_t length = 1;
        char32_t code = lead;
        char32_t smallest = 0;
        if (lead >= 0x80) {
            if ((lead & 0xE0) == 0xC0) {
                length = 2, code = lead & 0x1F, smallest = 0x80;
            } else if ((lead & 0xF0) == 0xE0) {
                length = 3, code = lead & 0x0F, smallest = 0x800;
            } else if ((lead & 0xF8) == 0xF0) {
                length = 4, code = lead & 0x07, smallest = 0x10000;
            } else {
                return false;
            }
            if (size - at < length)
                return false;
            for (std::size_t k = 1; k < length; ++k) {
                if ((data[at + k] & 0xC0) != 0x80)
                    return false;
                code = (code << 6) | (data[at + k] & 0x3F);
            }
            if (code < smallest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
                return false;
        }
        *utf16Units += code >= 0x10000 ? 2 : 1;
        at += length;
    }
    return true;
}

// Little-endian UTF-16 as the Unicode standard defines it: whole units,
// each high surrogate followed by a low one, no other low surrogate.
bool isWellFormedUtf16Le(const std::uint8_t *data, std::size_t size)
{
    if (size % 2)
        return false;
    bool high = false;
    for (std::size_t at = 0; at < size; at += 2) {
        const unsigned unit = data[at] | unsigned(data[at + 1]) << 8;
        const bool isHigh = unit >= 0xD800 && unit <= 0xDBFF;
        const bool isLow = unit >= 0xDC00 && unit <= 0xDFFF;
        if (high != isLow)
            return false;
        high = isHigh;
    }
    return !high;
}

void checkRefused(const PayloadText::ReadOutcome &outcome, const char *errorName)
{
    FUZZ_CHECK(!outcome.text);
    FUZZ_CHECK(outcome.errorName == QLatin1String(errorName));
    FUZZ_CHECK(!outcome.errorMessage.isEmpty());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArrayView bytes(data, qsizetype(size));
    qsizetype utf16Units = 0;
    const bool wellFormed = isWellFormedUtf8(data, size, &utf16Units);

    const std::optional<QString> decoded = PayloadText::decodeUtf8(bytes);
    FUZZ_CHECK(decoded.has_value() == wellFormed);
    if (decoded) {
        FUZZ_CHECK(decoded->size() == utf16Units);
        FUZZ_CHECK(decoded->toUtf8() == bytes);
    }

    QString error;
    const PayloadText::UniqueFd sealed = PayloadText::createSealedMemfd(bytes, &error);
    FUZZ_CHECK(sealed.isValid() && error.isEmpty());
    const qint64 limit = InterProcBus::MaxTextBytes;

    const PayloadText::ReadOutcome read = PayloadText::readSealedText(sealed.get(), size, limit);
    FUZZ_CHECK(read.text == decoded);
    if (read.text)
        FUZZ_CHECK(read.errorName.isEmpty());
    else
        checkRefused(read, InterProcBus::ErrorInvalidText);

    // A wrong size is refused however the bytes look: one more, one less,
    // and one that differs in a single bit chosen by the input.
    checkRefused(PayloadText::readSealedText(sealed.get(), size + 1, limit),
                 InterProcBus::ErrorBadDescriptor);
    if (size > 0) {
        checkRefused(PayloadText::readSealedText(sealed.get(), size - 1, limit),
                     InterProcBus::ErrorBadDescriptor);
        const quint64 flipped = quint64(size) ^ (quint64(1) << (data[0] % 24));
        checkRefused(PayloadText::readSealedText(sealed.get(), flipped, limit),
                     InterProcBus::ErrorBadDescriptor);
        // The limit is inclusive.
        checkRefused(PayloadText::readSealedText(sealed.get(), size, qint64(size) - 1),
                     InterProcBus::ErrorTooLarge);
        FUZZ_CHECK(PayloadText::readSealedText(sealed.get(), size, qint64(size)).text == decoded);
    }

    // The same bytes in a memfd that anybody could still change are refused.
    const PayloadText::UniqueFd unsealed(::memfd_create("fuzz-unsealed", MFD_CLOEXEC));
    FUZZ_CHECK(unsealed.isValid());
    FUZZ_CHECK(::write(unsealed.get(), data, size) == ssize_t(size));
    checkRefused(PayloadText::readSealedText(unsealed.get(), size, limit),
                 InterProcBus::ErrorBadDescriptor);

    // Sending: a text arrives unchanged; a lone surrogate, which UTF-8
    // cannot carry, arrives as one replacement character in its place.
    QString units(qsizetype(size / 2), Qt::Uninitialized);
    std::memcpy(units.data(), data, size_t(units.size()) * sizeof(char16_t));
    qint64 sentSize = -1;
    const PayloadText::UniqueFd sent = PayloadText::createSealedMemfd(units, &sentSize, &error);
    FUZZ_CHECK(sent.isValid() && error.isEmpty());
    const PayloadText::ReadOutcome back = PayloadText::readSealedText(sent.get(), sentSize, limit);
    FUZZ_CHECK(back.text && back.text->size() == units.size());
    if (QStringView(units).isValidUtf16()) {
        FUZZ_CHECK(sentSize == units.toUtf8().size());
        FUZZ_CHECK(*back.text == units);
    }

    // The same bytes as a text of UTF-16.
    const qint64 utf16Limit = InterProcBus::MaxTextUtf16Bytes;
    const bool wellFormed16 = isWellFormedUtf16Le(data, size);
    const PayloadText::ReadOutcome read16 =
        PayloadText::readSealedUtf16(sealed.get(), size, utf16Limit);
    FUZZ_CHECK(read16.text.has_value() == wellFormed16);
    if (read16.text) {
        FUZZ_CHECK(read16.errorName.isEmpty());
        FUZZ_CHECK(read16.text->size() == qsizetype(size / 2));
        FUZZ_CHECK(PayloadText::isWellFormedUtf16(*read16.text));
        for (qsizetype i = 0; i < read16.text->size(); ++i)
            FUZZ_CHECK(read16.text->at(i).unicode() == (data[2 * i] | data[2 * i + 1] << 8));
    } else {
        checkRefused(read16, InterProcBus::ErrorInvalidText);
    }
    // An even size other than the memfd's, or a memfd anybody can change.
    const std::size_t even = size & ~std::size_t(1);
    checkRefused(PayloadText::readSealedUtf16(sealed.get(), even + 2, utf16Limit),
                 InterProcBus::ErrorBadDescriptor);
    checkRefused(PayloadText::readSealedUtf16(unsealed.get(), even, utf16Limit),
                 InterProcBus::ErrorBadDescriptor);
    FUZZ_CHECK(PayloadText::isWellFormedUtf16(units) == QStringView(units).isValidUtf16());

    // Any text, lone surrogates included, is written as UTF-16 that reads
    // back as the text with each lone surrogate replaced, as in UTF-8.
    qint64 sent16Size = -1;
    const PayloadText::UniqueFd sent16 =
        PayloadText::createSealedMemfdUtf16(units, &sent16Size, &error);
    FUZZ_CHECK(sent16.isValid() && error.isEmpty());
    FUZZ_CHECK(sent16Size == qint64(units.size()) * 2);
    const PayloadText::ReadOutcome back16 =
        PayloadText::readSealedUtf16(sent16.get(), sent16Size, utf16Limit);
    FUZZ_CHECK(back16.text && back16.text->size() == units.size());
    FUZZ_CHECK(*back16.text == *back.text);
    return 0;
}
