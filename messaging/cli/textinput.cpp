// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "textinput.h"

#include <InterProc/interprocendpoint.h>

#include <QEventLoop>
#include <QFile>
#include <QStringDecoder>
#include <QThread>

#include <cstdio>
#include <memory>

namespace {

constexpr qint64 ChunkBytes = 4 * 1024 * 1024;

// The file as a message names it; at the start of a sentence with capital.
QString describe(const QString &path, bool capital = false)
{
    if (path != QLatin1String("-"))
        return QStringLiteral("'%1'").arg(path);
    return capital ? QStringLiteral("Standard input") : QStringLiteral("standard input");
}

// Reads until the end, or one byte past the largest text that can be sent.
std::optional<QByteArray> readBytes(const QString &path, QString *error)
{
    QFile file;
    bool opened = false;
    if (path == QLatin1String("-")) {
        opened = file.open(stdin, QIODevice::ReadOnly | QIODevice::Unbuffered);
    } else {
        file.setFileName(path);
        opened = file.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }
    if (!opened) {
        *error = QStringLiteral("Cannot read %1: %2.").arg(describe(path), file.errorString());
        return std::nullopt;
    }
    const qint64 limit = InterProcEndpoint::maxTextBytes();
    QByteArray bytes;
    if (!file.isSequential())
        bytes.reserve(qsizetype(std::min(file.size(), limit) + 1));
    qint64 length = 0;
    while (length <= limit) {
        const qint64 want = std::min(ChunkBytes, limit + 1 - length);
        if (bytes.size() < length + want)
            bytes.resize(qsizetype(length + want));
        const qint64 got = file.read(bytes.data() + length, want);
        if (got < 0) {
            *error = QStringLiteral("Cannot read %1: %2.").arg(describe(path), file.errorString());
            return std::nullopt;
        }
        if (got == 0)
            break; // the end: reads wait for data until then
        length += got;
    }
    if (length > limit) {
        *error = QStringLiteral("The text in %1 is over %2 bytes, the most that can be sent.")
                     .arg(describe(path))
                     .arg(limit);
        return std::nullopt;
    }
    bytes.truncate(qsizetype(length));
    return bytes;
}

std::optional<QString> decode(const QByteArray &bytes, const QString &path, QString *error)
{
    // A byte order mark at the start is part of what was given: kept.
    // Stateless: a sequence cut off at the end is an error, not a rest kept
    // for more input that never comes.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom |
                                                     QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError()) {
        *error =
            QStringLiteral("%1 is not UTF-8 text; nothing was sent.").arg(describe(path, true));
        return std::nullopt;
    }
    return text;
}

} // namespace

std::optional<QString> readTextFile(const QString &path, QString *error)
{
    std::optional<QString> text;
    QString failure;
    std::unique_ptr<QThread> reader(QThread::create([&] {
        std::optional<QByteArray> bytes = readBytes(path, &failure);
        if (bytes)
            text = decode(*bytes, path, &failure);
    }));
    QEventLoop loop;
    QObject::connect(reader.get(), &QThread::finished, &loop, &QEventLoop::quit);
    reader->start();
    loop.exec();
    reader->wait();
    if (!text)
        *error = failure;
    return text;
}
