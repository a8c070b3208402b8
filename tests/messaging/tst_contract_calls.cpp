// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The contract's methods called directly, as command-line tools and other
// languages call them: who may claim which sender handle, which UTF-8 is
// refused, which text descriptors (of UTF-8 or UTF-16) are taken, and which
// batches.
#include "contractpeers.h"

#include <QDBusMetaType>
#include <QDBusUnixFileDescriptor>
#include <QtEndian>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <limits>
#include <string_view>

using namespace TestSupport;
using namespace std::string_view_literals;

namespace {
// One payload of a DeliverBatch call.
struct BatchEntry
{
    qint32 longData = 0;
    QByteArray text;
};

QDBusArgument &operator<<(QDBusArgument &argument, const BatchEntry &entry)
{
    argument.beginStructure();
    argument << entry.longData << entry.text;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, BatchEntry &entry)
{
    argument.beginStructure();
    argument >> entry.longData >> entry.text;
    argument.endStructure();
    return argument;
}
} // namespace
Q_DECLARE_METATYPE(BatchEntry)

class TestContractCalls : public QObject
{
    Q_OBJECT

private slots:
    void commandLineDeliver_data();
    void commandLineDeliver();
    void refusesInvalidUtf8_data();
    void refusesInvalidUtf8();
    void checksTextDescriptor_data();
    void checksTextDescriptor();
    void takesBatchesWhole_data();
    void takesBatchesWhole();

private:
    QDBusMessage deliverUtf8(const Peer &receiver, const QByteArray &text);
};

void TestContractCalls::commandLineDeliver_data()
{
    QTest::addColumn<QString>("senderHandle"); // "other", "receiver" or a number
    QTest::addColumn<QString>("error");        // empty when accepted

    const QString mismatch = QLatin1String(InterProcBus::ErrorSenderMismatch);
    QTest::newRow("without a window") << QStringLiteral("0") << QString();
    QTest::newRow("another window's handle") << QStringLiteral("other") << mismatch;
    QTest::newRow("the receiver's own handle") << QStringLiteral("receiver") << mismatch;
    QTest::newRow("a handle no window has") << QStringLiteral("unused") << mismatch;
    QTest::newRow("a negative handle") << QStringLiteral("-5") << mismatch;
}

void TestContractCalls::commandLineDeliver()
{
    QFETCH(QString, senderHandle);
    QFETCH(QString, error);

    PeerList peers;
    peers.push_back(std::make_unique<Peer>(QStringLiteral("Command Line Receiver")));
    peers.push_back(std::make_unique<Peer>(QStringLiteral("Command Line Other")));
    QVERIFY(startAll(peers));
    Peer &receiver = *peers.at(0);
    Peer &other = *peers.at(1);
    if (senderHandle == QLatin1String("other"))
        senderHandle = QString::number(other.handle());
    else if (senderHandle == QLatin1String("receiver"))
        senderHandle = QString::number(receiver.handle());
    else if (senderHandle == QLatin1String("unused"))
        senderHandle = QString::number(receiver.handle() == 1 || other.handle() == 1 ? 2 : 1);

    auto gdbusDeliver = [&](const QString &handle, const QString &text) {
        auto gdbus = std::make_unique<QProcess>();
        gdbus->start(QStringLiteral("gdbus"),
                     {QStringLiteral("call"), QStringLiteral("--session"), QStringLiteral("--dest"),
                      serviceForHandle(receiver.handle()), QStringLiteral("--object-path"), BusPath,
                      QStringLiteral("--method"), BusInterface + QLatin1String(".Deliver"),
                      QStringLiteral("--"), handle, QStringLiteral("gdbus"), QStringLiteral("42"),
                      text});
        return gdbus;
    };
    const auto call = gdbusDeliver(senderHandle, QStringLiteral("hello"));
    QVERIFY(call->waitForFinished(LineTimeoutMs));
    const QByteArray errorOutput = call->readAllStandardError();
    if (error.isEmpty()) {
        QVERIFY2(call->exitStatus() == QProcess::NormalExit && call->exitCode() == 0, errorOutput);
        CHECKED(expectArrival(
            receiver, Arrival::of(0, QStringLiteral("gdbus"), 42, QStringLiteral("hello"))));
    } else {
        QVERIFY(call->exitCode() != 0);
        QVERIFY2(errorOutput.contains(error.toUtf8()), errorOutput);
    }

    // The refused call was answered before this one started: had it left a
    // payload, that would arrive first.
    const auto after = gdbusDeliver(QStringLiteral("0"), QStringLiteral("afterwards"));
    QVERIFY(after->waitForFinished(LineTimeoutMs));
    QCOMPARE(after->exitCode(), 0);
    CHECKED(expectArrival(
        receiver, Arrival::of(0, QStringLiteral("gdbus"), 42, QStringLiteral("afterwards"))));
}

QDBusMessage TestContractCalls::deliverUtf8(const Peer &receiver, const QByteArray &text)
{
    QDBusMessage call = QDBusMessage::createMethodCall(serviceForHandle(receiver.handle()), BusPath,
                                                       BusInterface, QStringLiteral("DeliverUtf8"));
    call << 0 << QStringLiteral("tst") << 3 << text;
    return QDBusConnection::sessionBus().call(call, QDBus::Block, LineTimeoutMs);
}

void TestContractCalls::refusesInvalidUtf8_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("valid");

    QTest::newRow("valid, NUL and four-byte characters")
        << QByteArray("a\0b\xF0\x9F\x98\x80", 7) << true;
    QTest::newRow("valid, leading byte order mark") << QByteArray("\xEF\xBB\xBFx") << true;
    QTest::newRow("stray continuation byte") << QByteArray("a\x80z") << false;
    QTest::newRow("truncated sequence at the end") << QByteArray("ab\xE2\x82") << false;
    QTest::newRow("truncated sequence inside") << QByteArray("\xE2\x82z") << false;
    QTest::newRow("overlong NUL") << QByteArray("\xC0\x80") << false;
    QTest::newRow("overlong slash") << QByteArray("\xE0\x80\xAF") << false;
    QTest::newRow("encoded surrogate") << QByteArray("\xED\xA0\x80") << false;
    QTest::newRow("beyond U+10FFFF") << QByteArray("\xF4\x90\x80\x80") << false;
    QTest::newRow("0xFF byte") << QByteArray("\xFF") << false;
}

void TestContractCalls::refusesInvalidUtf8()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, valid);

    PeerList peers;
    peers.push_back(std::make_unique<Peer>(QStringLiteral("Utf8 Receiver")));
    QVERIFY(startAll(peers));
    Peer &receiver = *peers.at(0);

    const QDBusMessage reply = deliverUtf8(receiver, bytes);
    if (valid) {
        QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
        CHECKED(
            expectArrival(receiver, Arrival::of(0, QStringLiteral("tst"), 3, exactUtf8(bytes))));
    } else {
        QCOMPARE(reply.errorName(), QLatin1String(InterProcBus::ErrorInvalidText));
    }
    QCOMPARE(deliverUtf8(receiver, "still here").type(), QDBusMessage::ReplyMessage);
    CHECKED(expectArrival(receiver,
                          Arrival::of(0, QStringLiteral("tst"), 3, QStringLiteral("still here"))));
}

namespace {
enum class Descriptor {
    Sealed,
    SealedOnlyAgainstWriting,
    SealedButGrowable,
    Unsealed,
    Pipe,
    CharacterDevice
};

// A descriptor for DeliverSealed that holds bytes, made as kind says.
int makeDescriptor(Descriptor kind, const QByteArray &bytes)
{
    if (kind == Descriptor::Pipe) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0)
            return -1;
        if (::write(ends[1], bytes.constData(), size_t(bytes.size())) != bytes.size())
            qWarning("short write to a pipe");
        ::close(ends[1]);
        return ends[0];
    }
    if (kind == Descriptor::CharacterDevice)
        return ::open("/dev/zero", O_RDONLY | O_CLOEXEC);
    const int fd = ::memfd_create("tst-interproc", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0 || ::write(fd, bytes.constData(), size_t(bytes.size())) != bytes.size())
        return -1;
    int seals = 0;
    if (kind == Descriptor::Sealed)
        seals = F_SEAL_WRITE | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL;
    else if (kind == Descriptor::SealedOnlyAgainstWriting)
        seals = F_SEAL_WRITE;
    else if (kind == Descriptor::SealedButGrowable)
        seals = F_SEAL_WRITE | F_SEAL_SHRINK | F_SEAL_SEAL;
    if (seals && ::fcntl(fd, F_ADD_SEALS, seals) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}
} // namespace

namespace {
// Every unit of text, NUL included, little-endian.
QByteArray utf16le(std::u16string_view text)
{
    QByteArray bytes(qsizetype(text.size()) * 2, Qt::Uninitialized);
    qToLittleEndian<char16_t>(text.data(), qsizetype(text.size()), bytes.data());
    return bytes;
}
} // namespace

void TestContractCalls::checksTextDescriptor_data()
{
    QTest::addColumn<QString>("member");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<qint64>("declaredSize"); // -1: the size of bytes
    QTest::addColumn<QString>("error");       // empty when accepted

    const QByteArray text = "sealed \xF0\x9F\x98\x80 text";
    const QString bad = QLatin1String(InterProcBus::ErrorBadDescriptor);
    const QString tooLarge = QLatin1String(InterProcBus::ErrorTooLarge);
    const QString invalid = QLatin1String(InterProcBus::ErrorInvalidText);
    const int sealed = int(Descriptor::Sealed);
    const QString utf8 = QStringLiteral("DeliverSealed");

    QTest::newRow("sealed memfd") << utf8 << sealed << text << qint64(-1) << QString();
    QTest::newRow("sealed empty memfd")
        << utf8 << sealed << QByteArray() << qint64(-1) << QString();
    QTest::newRow("pipe") << utf8 << int(Descriptor::Pipe) << text << qint64(-1) << bad;
    QTest::newRow("character device")
        << utf8 << int(Descriptor::CharacterDevice) << text << qint64(-1) << bad;
    QTest::newRow("unsealed memfd")
        << utf8 << int(Descriptor::Unsealed) << text << qint64(-1) << bad;
    QTest::newRow("memfd sealed only against writing")
        << utf8 << int(Descriptor::SealedOnlyAgainstWriting) << text << qint64(-1) << bad;
    // Its sender could still append to it while it is being read.
    QTest::newRow("memfd sealed against all but growing")
        << utf8 << int(Descriptor::SealedButGrowable) << text << qint64(-1) << bad;
    QTest::newRow("declared size larger")
        << utf8 << sealed << text << qint64(text.size() + 1) << bad;
    QTest::newRow("declared size smaller")
        << utf8 << sealed << text << qint64(text.size() - 1) << bad;
    QTest::newRow("declared size over the limit")
        << utf8 << sealed << text << InterProc::maxTextBytes() + 1 << tooLarge;
    QTest::newRow("declared size far over the limit")
        << utf8 << sealed << text << std::numeric_limits<qint64>::max() << tooLarge;
    QTest::newRow("invalid UTF-8")
        << utf8 << sealed << QByteArray("ab\xC0\x80") << qint64(-1) << invalid;

    // A receiver reads a text a megabyte at a time: sequences across the
    // boundary are decoded whole, and judged as anywhere else.
    const auto across = [&](const char *name, qsizetype before, const QByteArray &tail,
                            const QString &error) {
        QTest::newRow(name) << utf8 << sealed << QByteArray(1024 * 1024 - before, 'a') + tail
                            << qint64(-1) << error;
    };
    across("four-byte character across 1 MiB", 2, "\xF0\x9F\x98\x80z", QString());
    across("three-byte character ending at 1 MiB", 3, "\xE2\x82\xACz", QString());
    across("byte order mark after 1 MiB", 0, "\xEF\xBB\xBFz", QString());
    across("truncated sequence at 1 MiB", 1, "\xE2z", invalid);
    across("stray continuation byte after 1 MiB", 0, "\x80z", invalid);
    across("truncated sequence at the end, after 1 MiB", 0, "z\xF0\x9F", invalid);

    // The same checks for texts of UTF-16, which must pair every surrogate.
    const QString utf16 = QStringLiteral("DeliverSealedUtf16");
    const QByteArray units = utf16le(u"\uFEFFsealed \0 \U0001F600\U0001D11E text"sv);
    const auto row = [&](const char *name, int kind, const QByteArray &bytes, qint64 declared,
                         const QString &error) {
        QTest::newRow(qPrintable(QStringLiteral("UTF-16: ") + QLatin1String(name)))
            << utf16 << kind << bytes << declared << error;
    };
    row("NUL, byte order mark, beyond the BMP", sealed, units, -1, QString());
    row("empty", sealed, QByteArray(), -1, QString());
    row("odd size", sealed, units.chopped(1), -1, invalid);
    row("unpaired high surrogate at the end", sealed, units + utf16le(u"\xD83D"), -1, invalid);
    row("unpaired low surrogate", sealed,
        utf16le(u"a\xDE00"
                u"b"),
        -1, invalid);
    row("high surrogate before another", sealed, utf16le(u"\xD83D\xD83D\xDE00"), -1, invalid);
    row("pair in the wrong order", sealed, utf16le(u"\xDE00\xD83D"), -1, invalid);
    row("unsealed memfd", int(Descriptor::Unsealed), units, -1, bad);
    row("memfd sealed against all but growing", int(Descriptor::SealedButGrowable), units, -1, bad);
    row("pipe", int(Descriptor::Pipe), units, -1, bad);
    row("declared size larger", sealed, units, units.size() + 2, bad);
    row("declared size smaller", sealed, units, units.size() - 2, bad);
    row("declared size over the limit", sealed, units, InterProcBus::MaxTextUtf16Bytes + 2,
        tooLarge);
    row("declared size far over the limit", sealed, units, std::numeric_limits<qint64>::max() - 1,
        tooLarge);
    // Read and checked a piece at a time: a pair across pieces is whole.
    const QByteArray half = QByteArray("a\0", 2).repeated(128 * 1024 - 1);
    row("pair across 256 KiB", sealed, half + utf16le(u"\U0001F600z"), -1, QString());
    row("unpaired high surrogate ending 256 KiB", sealed, half + utf16le(u"\xD83Dz"), -1, invalid);
    row("unpaired low surrogate after 256 KiB", sealed, half + utf16le(u"a\xDE00"), -1, invalid);
}

void TestContractCalls::checksTextDescriptor()
{
    QFETCH(QString, member);
    QFETCH(int, kind);
    QFETCH(QByteArray, bytes);
    QFETCH(qint64, declaredSize);
    QFETCH(QString, error);

    PeerList peers;
    peers.push_back(std::make_unique<Peer>(QStringLiteral("Descriptor Receiver")));
    QVERIFY(startAll(peers));
    Peer &receiver = *peers.at(0);

    const int fd = makeDescriptor(Descriptor(kind), bytes);
    QVERIFY(fd >= 0);
    QDBusMessage call = QDBusMessage::createMethodCall(serviceForHandle(receiver.handle()), BusPath,
                                                       BusInterface, member);
    call << 0 << QStringLiteral("tst") << 4 << QVariant::fromValue(QDBusUnixFileDescriptor(fd))
         << qulonglong(declaredSize < 0 ? bytes.size() : declaredSize);
    ::close(fd);
    const QDBusMessage reply =
        QDBusConnection::sessionBus().call(call, QDBus::Block, LineTimeoutMs);
    if (error.isEmpty()) {
        QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
        QString text(bytes.size() / 2, Qt::Uninitialized);
        if (member.endsWith(QLatin1String("Utf16")))
            qFromLittleEndian<char16_t>(bytes.constData(), text.size(), text.data());
        else
            text = exactUtf8(bytes);
        CHECKED(expectArrival(receiver, Arrival::of(0, QStringLiteral("tst"), 4, text)));
    } else {
        QCOMPARE(reply.errorName(), error);
    }
    QCOMPARE(deliverUtf8(receiver, "still here").type(), QDBusMessage::ReplyMessage);
    CHECKED(expectArrival(receiver,
                          Arrival::of(0, QStringLiteral("tst"), 3, QStringLiteral("still here"))));
}

void TestContractCalls::takesBatchesWhole_data()
{
    QTest::addColumn<QList<BatchEntry>>("batch");
    QTest::addColumn<bool>("ownHandle"); // claims the receiver's handle as its sender
    QTest::addColumn<QString>("error");  // empty when taken

    const QString tooLarge = QLatin1String(InterProcBus::ErrorTooLarge);
    QTest::newRow("three, NUL and an empty text")
        << QList<BatchEntry>{{1, "one"}, {2, QByteArray("t\0o", 3)}, {3, ""}} << false << QString();
    QTest::newRow("empty") << QList<BatchEntry>{} << false << QString();
    QTest::newRow("one text not UTF-8")
        << QList<BatchEntry>{{1, "one"}, {2, "\xFF"}, {3, "three"}} << false
        << QString::fromLatin1(InterProcBus::ErrorInvalidText);
    QTest::newRow("past the payload bound")
        << QList<BatchEntry>(InterProcBus::MaxBatchPayloads + 1, {1, "x"}) << false << tooLarge;
    const QByteArray inlineMax(InterProcBus::InlineTextLimit, 'x');
    QTest::newRow("past the text bound")
        << QList<BatchEntry>(InterProcBus::MaxBatchTextBytes / inlineMax.size() + 1, {1, inlineMax})
        << false << tooLarge;
    QTest::newRow("a text past the inline bound")
        << QList<BatchEntry>{{1, inlineMax + 'x'}} << false << tooLarge;
    QTest::newRow("another window's handle")
        << QList<BatchEntry>{{1, "one"}, {2, "two"}} << true
        << QString::fromLatin1(InterProcBus::ErrorSenderMismatch);
}

void TestContractCalls::takesBatchesWhole()
{
    QFETCH(QList<BatchEntry>, batch);
    QFETCH(bool, ownHandle);
    QFETCH(QString, error);

    qDBusRegisterMetaType<BatchEntry>();
    qDBusRegisterMetaType<QList<BatchEntry>>();
    PeerList peers;
    peers.push_back(std::make_unique<Peer>(QStringLiteral("Batch Receiver")));
    QVERIFY(startAll(peers));
    Peer &receiver = *peers.at(0);

    QDBusMessage call = QDBusMessage::createMethodCall(
        serviceForHandle(receiver.handle()), BusPath, BusInterface, QStringLiteral("DeliverBatch"));
    call << (ownHandle ? receiver.handle() : 0) << QStringLiteral("tst")
         << QVariant::fromValue(batch);
    const QDBusMessage reply =
        QDBusConnection::sessionBus().call(call, QDBus::Block, LineTimeoutMs);
    if (error.isEmpty()) {
        QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
        QCOMPARE(reply.arguments().value(0).toUInt(), uint(batch.size()));
        for (const BatchEntry &entry : std::as_const(batch))
            CHECKED(expectArrival(receiver, Arrival::of(0, QStringLiteral("tst"), entry.longData,
                                                        exactUtf8(entry.text))));
    } else {
        QCOMPARE(reply.errorName(), error);
    }
    // Nothing of a refused batch comes before the next payload.
    QCOMPARE(deliverUtf8(receiver, "still here").type(), QDBusMessage::ReplyMessage);
    CHECKED(expectArrival(receiver,
                          Arrival::of(0, QStringLiteral("tst"), 3, QStringLiteral("still here"))));
}

QTEST_GUILESS_MAIN(TestContractCalls)
#include "tst_contract_calls.moc"
