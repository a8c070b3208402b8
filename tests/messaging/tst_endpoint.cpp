// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// InterProcEndpoint without any window: a program that links InterProc::Core
// alone (no QApplication) joins the bus, is addressed by the caption it sets,
// and receives the payloads of one caller in the order of the calls, also
// while the endpoint still checks that caller or reads its text, or moves
// from the bus to a direct channel; a direct channel admits nobody who has
// not come through the bus. A sender can wait until the parties it
// delivered to have answered. An endpoint ended while it waits for the bus
// frees its connection.
#include "channellog.h"
#include "sealedtext.h"

#include <InterProc/interprocbus.h>
#include <InterProc/interprocconventions.h>
#include <InterProc/interprocendpoint.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLoggingCategory>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QXmlStreamReader>
#include <QtEndian>

#include <algorithm>
#include <atomic>
#include <optional>
#include <thread>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {
constexpr int TimeoutMs = 60000;
// How many attached channels a receiver keeps from one process.
constexpr int MaxAttachedChannelsPerProcess = 64;
const QString BusInterface = QLatin1String(InterProcBus::Interface);
const QString BusPath = QLatin1String(InterProcBus::ObjectPath);
const QString SenderMismatch = QLatin1String(InterProcBus::ErrorSenderMismatch);
using InterProcBus::serviceForHandle;
using TestSupport::sealedText;

// The reply to a call that the endpoint on this thread answers, while the
// event loop runs.
QDBusMessage answerOf(const QDBusConnection &connection, const QDBusMessage &message)
{
    const QDBusPendingCall pending = connection.asyncCall(message, TimeoutMs);
    (void)QTest::qWaitFor([&] { return pending.isFinished(); }, TimeoutMs);
    return QDBusPendingReply<>(pending).reply();
}

// A bare connection to a Unix socket, or -1.
int connectTo(const QByteArray &path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (fd < 0 || size_t(path.size()) >= sizeof(address.sun_path))
        return -1;
    memcpy(address.sun_path, path.constData(), size_t(path.size()));
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool closedByPeer(int fd)
{
    char byte = 0;
    return ::recv(fd, &byte, 1, MSG_DONTWAIT | MSG_PEEK) == 0;
}

// The members of the messaging interface in an introspection document, as
// "kind name(types)" in order of name, annotations and argument names left out.
QStringList membersIn(const QString &xml)
{
    QStringList members;
    QXmlStreamReader reader(xml);
    bool inside = false;
    QString member;
    QStringList types;
    while (!reader.atEnd()) {
        reader.readNext();
        const auto name = reader.name();
        const QXmlStreamAttributes attributes = reader.attributes();
        if (reader.isStartElement() && name == u"interface") {
            inside = attributes.value(QLatin1String("name")) == BusInterface;
        } else if (reader.isEndElement() && name == u"interface") {
            inside = false;
        } else if (!inside) {
            continue;
        } else if (reader.isStartElement() && (name == u"method" || name == u"signal")) {
            member = name.toString() + u' ' + attributes.value(QLatin1String("name")).toString();
            types.clear();
        } else if (reader.isStartElement() && name == u"arg") {
            const QString direction = attributes.value(QLatin1String("direction")).toString();
            types.append(
                member.startsWith(u"method") && direction.isEmpty()
                    ? QStringLiteral("in ") + attributes.value(QLatin1String("type")).toString()
                    : (direction + u' ' + attributes.value(QLatin1String("type")).toString())
                          .trimmed());
        } else if (reader.isEndElement() && (name == u"method" || name == u"signal")) {
            members.append(member + u'(' + types.join(u", ") + u')');
        } else if (reader.isStartElement() && name == u"property") {
            members.append(QStringLiteral("property %1 %2 %3")
                               .arg(attributes.value(QLatin1String("name")),
                                    attributes.value(QLatin1String("type")),
                                    attributes.value(QLatin1String("access"))));
        }
    }
    members.sort();
    return members;
}

// A window of another program that counts how often it is asked to
// describe itself.
class CountingWindow : public QDBusVirtualObject
{
public:
    CountingWindow(qint32 handle, const QString &caption) : m_handle(handle), m_caption(caption) {}
    int describes = 0;

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        if (message.member() != QLatin1String("Describe"))
            return false;
        ++describes;
        return connection.send(message.createReply({m_handle, m_caption}));
    }
    QString introspect(const QString &) const override { return {}; }

private:
    qint32 m_handle;
    QString m_caption;
};

// A window of another program that takes sealed texts and keeps each as
// the bytes of its memfd with the member that carried it. features is its
// answer to Features; without one it does not know the method, as a window
// of an older contract; silent, it never answers.
class SealedTextWindow : public QDBusVirtualObject
{
public:
    SealedTextWindow(qint32 handle, std::optional<QStringList> features, bool silent)
        : m_handle(handle), m_features(std::move(features)), m_silent(silent)
    {}
    int featuresAsked = 0;
    QList<std::pair<QString, QByteArray>> texts; // member, bytes
    int smallTexts = 0;                          // inline, in either call
    int batches = 0;

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        const QString member = message.member();
        if (member == QLatin1String("Describe"))
            return connection.send(message.createReply({m_handle, QStringLiteral("Sealed")}));
        if (member == QLatin1String("Features")) {
            ++featuresAsked;
            if (m_silent)
                return true;
            if (!m_features)
                return false;
            return connection.send(message.createReply(QVariant(*m_features)));
        }
        if (member == QLatin1String("DeliverUtf8")) {
            ++smallTexts;
            return connection.send(message.createReply());
        }
        if (member == QLatin1String("DeliverBatch")) {
            ++batches;
            const auto payloads = message.arguments().value(2).value<QDBusArgument>();
            uint count = 0;
            payloads.beginArray();
            for (; !payloads.atEnd(); ++count) {
                qint32 number = 0;
                QByteArray text;
                payloads.beginStructure();
                payloads >> number >> text;
                payloads.endStructure();
            }
            payloads.endArray();
            smallTexts += int(count);
            return connection.send(message.createReply(QVariant(count)));
        }
        if (!member.startsWith(QLatin1String("DeliverSealed")))
            return false;
        const auto fd = message.arguments().value(3).value<QDBusUnixFileDescriptor>();
        QByteArray bytes(qsizetype(message.arguments().value(4).toULongLong()), Qt::Uninitialized);
        if (::pread(fd.fileDescriptor(), bytes.data(), size_t(bytes.size()), 0) != bytes.size())
            bytes = "unreadable";
        texts.append({member, bytes});
        return connection.send(message.createReply());
    }
    QString introspect(const QString &) const override { return {}; }

private:
    qint32 m_handle;
    std::optional<QStringList> m_features;
    bool m_silent;
};

struct Received
{
    qint32 sender;
    QString name;
    qint32 longData;
    QString text;
};
} // namespace

class TestEndpoint : public QObject
{
    Q_OBJECT

private slots:
    // Direct channels are opt-in; these tests take them wherever they can.
    void initTestCase() { qputenv("INTERPROC_DIRECT_CHANNELS", "1"); }
    void addressedByItsCaption_data();
    void addressedByItsCaption();
    void callerOrderKeptWhileChecking();
    void handleTakenAfterRefusal();
    void partiesAreAskedOncePerThread();
    void orderKeptAcrossDirectChannel();
    void directChannelRefusesStrangers_data();
    void directChannelRefusesStrangers();
    void unattachedChannelsAreBounded();
    void attachedChannelsAreBoundedPerProcess();
    void introspectionIsTheContract();
    void answersAwaited_data();
    void answersAwaited();
    void slowProgramRefusesPastItsInbox();
    void sealedTextsCountTowardsTheInbox();
    void sendsInTheFormsTheReceiverOffers_data();
    void sendsInTheFormsTheReceiverOffers();
    void oneFloodLeavesRoomAndTurnsForOthers();
    void channelPeerThatNeverReadsIsNotRead();
    void callFromAnotherThreadStops_data();
    void callFromAnotherThreadStops();
    void moveToAnotherThreadIsRefused();
    void endedWhileAskingTheBusFreesItsConnection();
};

void TestEndpoint::addressedByItsCaption_data()
{
    QTest::addColumn<bool>("setLater"); // setCaption after joining, not at construction
    QTest::addColumn<int>("method");
    QTest::addColumn<QString>("target");
    QTest::newRow("exact, at construction") << false << 0 << QStringLiteral("Daemon one");
    QTest::newRow("exact, set later") << true << 0 << QStringLiteral("Daemon one");
    QTest::newRow("prefix, set later") << true << 1 << QStringLiteral("Daemon");
}

void TestEndpoint::addressedByItsCaption()
{
    QFETCH(bool, setLater);
    QFETCH(int, method);
    QFETCH(QString, target);
    const QString caption = QStringLiteral("Daemon one");

    InterProcEndpoint receiver(setLater ? QStringLiteral("not yet") : caption);
    InterProcEndpoint sender(QStringLiteral("Console sender"));
    QVERIFY2(receiver.isConnected(), qPrintable(receiver.errorString()));
    QVERIFY2(sender.isConnected(), qPrintable(sender.errorString()));
    QList<Received> arrived;
    connect(&receiver, &InterProcEndpoint::DataArrival, this,
            [&](qint32 from, const QString &name, qint32 number, const QString &text) {
                arrived.append({from, name, number, text});
            });
    QTRY_VERIFY_WITH_TIMEOUT(sender.isReady() && receiver.isReady(), TimeoutMs);
    if (setLater)
        receiver.setCaption(caption);
    QCOMPARE(receiver.caption(), caption);

    sender.setTarget(target);
    sender.setTargetSearchMethod(method);
    // The new caption travels as a signal; the sender's directory has it
    // soon. Until then, sends that would address it are skipped.
    bool probing = true;
    int addressed = 0;
    connect(
        &sender, &InterProcEndpoint::WindowCheck, this,
        [&](qint32, const QString &, bool &skip) {
            skip = probing;
            ++addressed;
        },
        Qt::DirectConnection);
    QTRY_VERIFY_WITH_TIMEOUT((addressed = 0, sender.Send(), addressed == 1), TimeoutMs);
    probing = false;
    sender.setLongData(-7);
    sender.setStringData(QStringLiteral("no window here"));
    QCOMPARE(sender.Send(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(arrived.size(), 1, TimeoutMs);
    QCOMPARE(arrived.at(0).sender, sender.handle());
    QCOMPARE(arrived.at(0).name, QStringLiteral("Console sender"));
    QCOMPARE(arrived.at(0).longData, -7);
    QCOMPARE(arrived.at(0).text, QStringLiteral("no window here"));
}

void TestEndpoint::callerOrderKeptWhileChecking()
{
    // The test's own connection owns a window name, so a fresh receiver must
    // ask the bus about it; meanwhile calls that need no such question, and
    // a large text read on a worker, must not overtake it or each other.
    QDBusConnection bus = QDBusConnection::sessionBus();
    constexpr qint32 OwnWindow = 515151;
    QVERIFY(bus.interface()->registerService(serviceForHandle(OwnWindow)).isValid());
    const auto releaseName =
        qScopeGuard([&] { bus.interface()->unregisterService(serviceForHandle(OwnWindow)); });

    InterProcEndpoint receiver(QStringLiteral("Fresh receiver"));
    QVERIFY2(receiver.isConnected(), qPrintable(receiver.errorString()));
    QList<qint32> order;
    connect(&receiver, &InterProcEndpoint::DataArrival, this,
            [&](qint32, const QString &, qint32 number, const QString &) { order.append(number); });

    const QByteArray large(8 * 1024 * 1024, 'L');
    auto call = [&](const QString &method, qint32 sender, qint32 number, const QVariant &text) {
        QDBusMessage message = QDBusMessage::createMethodCall(serviceForHandle(receiver.handle()),
                                                              BusPath, BusInterface, method);
        message << sender << QStringLiteral("ordered") << number << text;
        if (method == QLatin1String("DeliverSealed"))
            message << qulonglong(large.size());
        return bus.asyncCall(message);
    };
    const QList<QDBusPendingCall> calls = {
        call(QStringLiteral("Deliver"), OwnWindow, 1, QStringLiteral("checked with the bus")),
        call(QStringLiteral("Deliver"), 0, 2, QStringLiteral("needs no check")),
        call(QStringLiteral("DeliverSealed"), 0, 3, QVariant::fromValue(sealedText(large))),
        call(QStringLiteral("DeliverUtf8"), 0, 4, QByteArray("small")),
        call(QStringLiteral("Deliver"), OwnWindow + 1, 5, QStringLiteral("nobody's window")),
        call(QStringLiteral("Deliver"), OwnWindow, 6, QStringLiteral("last")),
    };
    QTRY_VERIFY_WITH_TIMEOUT(std::all_of(calls.begin(), calls.end(),
                                         [](const QDBusPendingCall &c) { return c.isFinished(); }),
                             TimeoutMs);
    for (int i = 0; i < calls.size(); ++i) {
        if (i == 4)
            QCOMPARE(calls.at(i).error().name(), SenderMismatch);
        else
            QVERIFY2(!calls.at(i).isError(), qPrintable(calls.at(i).error().message()));
    }
    QTRY_COMPARE_WITH_TIMEOUT(order, (QList<qint32>{1, 2, 3, 4, 6}), TimeoutMs);
}

void TestEndpoint::handleTakenAfterRefusal()
{
    // A handle nobody had is refused; once a window takes it, its owner's
    // payloads are taken.
    QDBusConnection bus = QDBusConnection::sessionBus();
    constexpr qint32 LateWindow = 626262;
    InterProcEndpoint receiver(QStringLiteral("Late receiver"));
    QTRY_VERIFY_WITH_TIMEOUT(receiver.isReady(), TimeoutMs);
    int arrived = 0;
    connect(&receiver, &InterProcEndpoint::DataArrival, this, [&] { ++arrived; });
    auto deliver = [&] {
        QDBusMessage message = QDBusMessage::createMethodCall(
            serviceForHandle(receiver.handle()), BusPath, BusInterface, QStringLiteral("Deliver"));
        message << LateWindow << QStringLiteral("late") << 1 << QStringLiteral("text");
        const QDBusPendingCall call = bus.asyncCall(message);
        (void)QTest::qWaitFor([&] { return call.isFinished(); }, TimeoutMs);
        return call.error().name();
    };
    for (int attempt = 0; attempt < 2; ++attempt)
        QCOMPARE(deliver(), SenderMismatch);
    QVERIFY(bus.interface()->registerService(serviceForHandle(LateWindow)).isValid());
    const auto releaseName =
        qScopeGuard([&] { bus.interface()->unregisterService(serviceForHandle(LateWindow)); });
    QCOMPARE(deliver(), QString());
    QTRY_COMPARE_WITH_TIMEOUT(arrived, 1, TimeoutMs);
}

void TestEndpoint::partiesAreAskedOncePerThread()
{
    // Endpoints of one thread share what they learn of the bus: a window
    // that was there before them is asked for its caption once at most
    // (none when it announced it), however many of them start, and each
    // knows it by caption once ready.
    constexpr qint32 Handle = 737373;
    constexpr int Endpoints = 8;
    const QString caption = QStringLiteral("Counted window");
    const QString connectionName = QStringLiteral("counting window");
    CountingWindow object(Handle, caption);
    {
        QDBusConnection window =
            QDBusConnection::connectToBus(QDBusConnection::SessionBus, connectionName);
        QVERIFY(window.registerVirtualObject(BusPath, &object));
        QVERIFY(window.interface()->registerService(serviceForHandle(Handle)).isValid());
        QDBusMessage joined =
            QDBusMessage::createSignal(BusPath, BusInterface, QStringLiteral("CaptionChanged"));
        joined << Handle << caption;
        QVERIFY(window.send(joined));
    }
    const auto leave = qScopeGuard([&] { QDBusConnection::disconnectFromBus(connectionName); });

    std::vector<std::unique_ptr<InterProcEndpoint>> endpoints;
    for (int i = 0; i < Endpoints; ++i) {
        endpoints.push_back(
            std::make_unique<InterProcEndpoint>(QStringLiteral("Sharing %1").arg(i)));
        QVERIFY2(endpoints.back()->isConnected(), qPrintable(endpoints.back()->errorString()));
    }
    QTRY_VERIFY_WITH_TIMEOUT(
        std::all_of(endpoints.begin(), endpoints.end(), [](const auto &e) { return e->isReady(); }),
        TimeoutMs);
    const auto knows = [](const InterProcEndpoint &endpoint, qint32 handle, const QString &text) {
        const QList<InterProcEndpoint::Party> parties = endpoint.parties();
        return std::any_of(parties.begin(), parties.end(), [&](const auto &party) {
            return party.handle == handle && party.caption == text;
        });
    };
    for (const auto &endpoint : endpoints) {
        QVERIFY(knows(*endpoint, Handle, caption));
        // Every endpoint of the thread too, by its caption, at once.
        for (const auto &other : endpoints)
            QVERIFY(knows(*endpoint, other->handle(), other->caption()));
    }
    QVERIFY2(object.describes <= 1, qPrintable(QString::number(object.describes)));
}

void TestEndpoint::orderKeptAcrossDirectChannel()
{
    // The first payloads go over the bus while the channel opens; the rest,
    // small and sealed, through the channel. None may overtake another.
    const TestSupport::ChannelLog log;
    InterProcEndpoint receiver(QStringLiteral("Channel receiver"));
    InterProcEndpoint sender(QStringLiteral("Channel sender"));
    QTRY_VERIFY_WITH_TIMEOUT(sender.isReady() && receiver.isReady(), TimeoutMs);
    QList<qint32> order;
    connect(&receiver, &InterProcEndpoint::DataArrival, this,
            [&](qint32 from, const QString &, qint32 number, const QString &text) {
                if (from == sender.handle() && text.size() == (number % 50 ? 5 : 100000))
                    order.append(number);
            });
    QStringList failures;
    connect(&sender, &InterProcEndpoint::errorOccurred, this,
            [&](const QString &message) { failures.append(message); });

    sender.setTarget(receiver.handle());
    sender.setTargetSearchMethod(InterProcEndpoint::WindowHandle);
    // Bursts of calls, so that many are still on their way over the bus
    // when the channel opens; two more bursts after that.
    constexpr int Burst = 300;
    QList<qint32> expected;
    int burstsAfterOpening = 0;
    while (burstsAfterOpening < 2 && expected.size() < 100 * Burst) {
        if (!TestSupport::ChannelLog::lines().isEmpty())
            ++burstsAfterOpening;
        for (int i = 0; i < Burst; ++i) {
            const qint32 number = qint32(expected.size()) + 1;
            sender.setLongData(number);
            sender.setStringData(number % 50 ? QStringLiteral("small") : QString(100000, u'S'));
            QCOMPARE(sender.Send(), 1);
            expected.append(number);
        }
        QCoreApplication::processEvents();
    }
    QTRY_COMPARE_WITH_TIMEOUT(order.size(), expected.size(), TimeoutMs);
    QCOMPARE(order, expected);
    QCOMPARE(failures, QStringList());
    QVERIFY2(TestSupport::ChannelLog::lines().size() == 1 &&
                 TestSupport::ChannelLog::lines().first().endsWith(QLatin1String("open")),
             qPrintable(TestSupport::ChannelLog::lines().join(QLatin1Char('\n'))));
}

void TestEndpoint::directChannelRefusesStrangers_data()
{
    QTest::addColumn<bool>("attach");
    QTest::addColumn<QByteArray>("tokenChange"); // appended to the real token
    QTest::addColumn<bool>("ownHandle");         // the receiver's own handle as the sender
    QTest::addColumn<QString>("error");          // expected, or empty for delivered
    QTest::newRow("not attached") << false << QByteArray() << false
                                  << QStringLiteral("org.freedesktop.DBus.Error.AccessDenied");
    QTest::newRow("wrong token") << true << QByteArray("x") << false
                                 << QStringLiteral("org.freedesktop.DBus.Error.AccessDenied");
    QTest::newRow("someone else's window") << true << QByteArray() << true << SenderMismatch;
    QTest::newRow("no window") << true << QByteArray() << false << QString();
}

void TestEndpoint::directChannelRefusesStrangers()
{
    QFETCH(bool, attach);
    QFETCH(QByteArray, tokenChange);
    QFETCH(bool, ownHandle);
    QFETCH(QString, error);

    InterProcEndpoint receiver(QStringLiteral("Guarded receiver"));
    QTRY_VERIFY_WITH_TIMEOUT(receiver.isReady(), TimeoutMs);
    int arrived = 0;
    connect(&receiver, &InterProcEndpoint::DataArrival, this, [&] { ++arrived; });

    // The receiver answers from this thread's event loop.
    auto answer = [](const QDBusConnection &connection, const QDBusMessage &message) {
        const QDBusPendingCall pending = connection.asyncCall(message, TimeoutMs);
        (void)QTest::qWaitFor([&] { return pending.isFinished(); }, TimeoutMs);
        return QDBusPendingReply<>(pending).reply();
    };
    const QDBusMessage offer =
        answer(QDBusConnection::sessionBus(),
               QDBusMessage::createMethodCall(serviceForHandle(receiver.handle()), BusPath,
                                              BusInterface, QStringLiteral("OpenDirectChannel")));
    QCOMPARE(offer.type(), QDBusMessage::ReplyMessage);
    const QString address = offer.arguments().value(0).toString();
    const QByteArray token = offer.arguments().value(1).toByteArray();
    QVERIFY2(!address.isEmpty(), "the receiver offers no channel: is XDG_RUNTIME_DIR private?");

    const QString name = QStringLiteral("stranger");
    QDBusConnection channel = QDBusConnection::connectToPeer(address, name);
    const auto disconnect = qScopeGuard([&] { QDBusConnection::disconnectFromPeer(name); });
    QVERIFY(channel.isConnected());
    auto call = [&](const QString &method, const QVariantList &args) {
        QDBusMessage message =
            QDBusMessage::createMethodCall(QString(), BusPath, BusInterface, method);
        message.setArguments(args);
        return answer(channel, message);
    };
    if (attach) {
        const QDBusMessage attached =
            call(QStringLiteral("AttachDirectChannel"), {token + tokenChange});
        QCOMPARE(attached.errorName(), tokenChange.isEmpty() ? QString() : error);
    }
    const QDBusMessage delivered =
        call(QStringLiteral("Deliver"), {ownHandle ? receiver.handle() : 0,
                                         QStringLiteral("stranger"), 1, QStringLiteral("hi")});
    QCOMPARE(delivered.errorName(), error);
    QTRY_COMPARE_WITH_TIMEOUT(arrived, error.isEmpty() ? 1 : 0, TimeoutMs);
    // Whatever happened, the token opens no second channel.
    const QString secondName = QStringLiteral("second stranger");
    QDBusConnection second = QDBusConnection::connectToPeer(address, secondName);
    const auto disconnectSecond =
        qScopeGuard([&] { QDBusConnection::disconnectFromPeer(secondName); });
    QDBusMessage reattach = QDBusMessage::createMethodCall(QString(), BusPath, BusInterface,
                                                           QStringLiteral("AttachDirectChannel"));
    reattach << token;
    QCOMPARE(answer(second, reattach).errorName(),
             attach && tokenChange.isEmpty()
                 ? QStringLiteral("org.freedesktop.DBus.Error.AccessDenied")
                 : QString());
}

void TestEndpoint::unattachedChannelsAreBounded()
{
    // Connections that never attach: 8 from one process are held at once,
    // one more is closed as it comes, and each is closed after about 5 s,
    // which frees its place.
    constexpr int Limit = 8;
    InterProcEndpoint receiver(QStringLiteral("Idle channels' host"));
    QTRY_VERIFY_WITH_TIMEOUT(receiver.isReady(), TimeoutMs);
    const QDBusMessage offer =
        answerOf(QDBusConnection::sessionBus(),
                 QDBusMessage::createMethodCall(serviceForHandle(receiver.handle()), BusPath,
                                                BusInterface, QStringLiteral("OpenDirectChannel")));
    const QString address = offer.arguments().value(0).toString();
    QVERIFY2(address.startsWith(u"unix:path="), qPrintable(address));
    const QByteArray path = address.mid(10).section(u',', 0, 0).toLocal8Bit();

    std::vector<int> idle;
    const auto closeAll = qScopeGuard([&] {
        for (int fd : idle)
            ::close(fd);
    });
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < Limit; ++i) {
        idle.push_back(connectTo(path));
        QVERIFY(idle.back() >= 0);
    }
    QTest::qWait(300);
    const int extra = connectTo(path);
    idle.push_back(extra);
    QTRY_VERIFY_WITH_TIMEOUT(closedByPeer(extra), 2000);
    idle.pop_back();
    ::close(extra);
    QTest::qWait(int(std::max<qint64>(0, 3000 - clock.elapsed())));
    for (int fd : idle)
        QVERIFY(!closedByPeer(fd));

    QTRY_VERIFY_WITH_TIMEOUT(std::all_of(idle.cbegin(), idle.cend(), closedByPeer), 10000);
    const int later = connectTo(path);
    idle.push_back(later);
    QTest::qWait(300);
    QVERIFY(!closedByPeer(later));
}

void TestEndpoint::attachedChannelsAreBoundedPerProcess()
{
    // One process with more senders than a receiver keeps channels for
    // from one process: the channels past that bound are refused, and
    // those senders keep to the bus; every payload arrives.
    constexpr int Senders = MaxAttachedChannelsPerProcess + 6;
    const TestSupport::ChannelLog log;
    InterProcEndpoint receiver(QStringLiteral("Channel receiver of many"));
    std::vector<std::unique_ptr<InterProcEndpoint>> senders;
    for (int i = 0; i < Senders; ++i)
        senders.push_back(std::make_unique<InterProcEndpoint>(QStringLiteral("Sender %1").arg(i)));
    QTRY_VERIFY_WITH_TIMEOUT(receiver.isReady() &&
                                 std::all_of(senders.cbegin(), senders.cend(),
                                             [](const auto &s) { return s->isReady(); }),
                             TimeoutMs);
    int arrived = 0;
    connect(&receiver, &InterProcEndpoint::DataArrival, this, [&] { ++arrived; });
    auto opened = [] {
        return std::count_if(TestSupport::ChannelLog::lines().cbegin(),
                             TestSupport::ChannelLog::lines().cend(),
                             [](const QString &line) { return line.endsWith(u"open"); });
    };
    // A receiver lets one process open 8 channels at a time: the senders
    // open theirs 8 at a time, each group once the last one's are open.
    auto send = [&](const std::unique_ptr<InterProcEndpoint> &sender, int number) {
        sender->setTarget(receiver.handle());
        sender->setTargetSearchMethod(InterProcEndpoint::WindowHandle);
        sender->setLongData(number);
        return sender->Send();
    };
    int sent = 0;
    for (int first = 0; first < Senders; first += 8) {
        const int group = std::min(8, Senders - first);
        for (int i = first; i < first + group; ++i, ++sent)
            QCOMPARE(send(senders[size_t(i)], 1), 1);
        QTRY_COMPARE_WITH_TIMEOUT(arrived, sent, TimeoutMs);
        const qsizetype expected =
            std::min<qsizetype>(first + group, MaxAttachedChannelsPerProcess);
        QTRY_COMPARE_WITH_TIMEOUT(opened(), expected, TimeoutMs);
    }
    // The refused ones deliver over the bus.
    QTest::qWait(300);
    for (int i = MaxAttachedChannelsPerProcess; i < Senders; ++i, ++sent)
        QCOMPARE(send(senders[size_t(i)], 2), 1);
    QTRY_COMPARE_WITH_TIMEOUT(arrived, sent, TimeoutMs);
    QCOMPARE(opened(), qsizetype(MaxAttachedChannelsPerProcess));
}

void TestEndpoint::introspectionIsTheContract()
{
    // What the endpoint's object says of itself is the interface description
    // that foreign callers are built from.
    InterProcEndpoint window(QStringLiteral("Introspected"));
    QTRY_VERIFY_WITH_TIMEOUT(window.isReady(), TimeoutMs);
    const QDBusMessage introspected = answerOf(
        QDBusConnection::sessionBus(),
        QDBusMessage::createMethodCall(serviceForHandle(window.handle()), BusPath,
                                       QStringLiteral("org.freedesktop.DBus.Introspectable"),
                                       QStringLiteral("Introspect")));
    QCOMPARE(introspected.type(), QDBusMessage::ReplyMessage);
    QFile contract(QStringLiteral(CONTRACT_XML));
    QVERIFY(contract.open(QIODevice::ReadOnly));
    const QStringList expected = membersIn(QString::fromUtf8(contract.readAll()));
    QVERIFY(expected.size() >= 8);
    QCOMPARE(membersIn(introspected.arguments().value(0).toString()), expected);
}

void TestEndpoint::answersAwaited_data()
{
    QTest::addColumn<QString>("awaited"); // the party awaited: "slow", "gone" or none
    QTest::newRow("a slow acknowledgement") << QStringLiteral("slow");
    QTest::newRow("a party that has left") << QStringLiteral("gone");
    QTest::newRow("nobody") << QString();
}

void TestEndpoint::answersAwaited()
{
    QFETCH(QString, awaited);
    // The receiver, on a thread of its own, acknowledges from its
    // DataArrival handler only after a while, as a busy window does.
    QThread thread;
    thread.start();
    QObject anchor;
    anchor.moveToThread(&thread);
    InterProcEndpoint *receiver = nullptr;
    const auto inReceiverThread = [&](auto work) {
        QMetaObject::invokeMethod(&anchor, work, Qt::BlockingQueuedConnection);
    };
    inReceiverThread([&] {
        receiver = new InterProcEndpoint(QStringLiteral("Slow answerer"));
        connect(receiver, &InterProcEndpoint::DataArrival, receiver,
                [r = receiver](qint32 from, const QString &, qint32, const QString &) {
                    QThread::msleep(300);
                    r->setTarget(from);
                    r->setTargetSearchMethod(InterProcEndpoint::WindowHandle);
                    r->setLongData(0);
                    r->setStringData(InterProcConventions::acknowledgementText(r->caption()));
                    r->Send();
                });
    });
    const auto cleanup = qScopeGuard([&] {
        inReceiverThread([&] { delete receiver; });
        thread.quit();
        thread.wait();
    });
    bool receiverConnected = false;
    QString receiverError;
    qint32 receiverHandle = 0;
    inReceiverThread([&] {
        receiverConnected = receiver->isConnected();
        receiverError = receiver->errorString();
        receiverHandle = receiver->handle();
    });
    QVERIFY2(receiverConnected, qPrintable(receiverError));

    InterProcEndpoint sender(QStringLiteral("Awaiting sender"));
    QStringList arrived;
    connect(&sender, &InterProcEndpoint::DataArrival, this,
            [&](qint32, const QString &, qint32, const QString &text) { arrived.append(text); });
    bool delivered = false;
    connect(&sender, &InterProcEndpoint::delivered, this, [&] { delivered = true; });
    QTRY_VERIFY_WITH_TIMEOUT(sender.isReady(), TimeoutMs);
    sender.setTarget(receiverHandle);
    sender.setTargetSearchMethod(InterProcEndpoint::WindowHandle);
    sender.setStringData(QStringLiteral("answer me"));
    QCOMPARE(sender.Send(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(delivered, TimeoutMs);

    QList<qint32> handles;
    if (awaited == QLatin1String("slow")) {
        handles = {receiverHandle};
    } else if (awaited == QLatin1String("gone")) {
        InterProcEndpoint leaving(QStringLiteral("Leaving"));
        QVERIFY(leaving.isConnected());
        handles = {leaving.handle()};
    }
    int done = 0;
    QStringList arrivedWhenDone;
    sender.awaitAnswers(handles, this, [&] {
        ++done;
        arrivedWhenDone = arrived;
    });
    QCOMPARE(done, 0); // never from within the call
    QTRY_COMPARE_WITH_TIMEOUT(done, 1, TimeoutMs);
    if (awaited == QLatin1String("slow"))
        QCOMPARE(arrivedWhenDone, QStringList{QStringLiteral("OK from \"Slow answerer\"")});
}

void TestEndpoint::slowProgramRefusesPastItsInbox()
{
    // A program whose first handler opens a dialog while a flood comes in:
    // what waits for it stays bounded, and every call ends either taken
    // (then raised, in order) or refused as too many.
    constexpr int Calls = 70000;
    InterProcEndpoint receiver(QStringLiteral("Program with a dialog"));
    QVERIFY2(receiver.isConnected(), qPrintable(receiver.errorString()));
    QList<QDBusPendingCall> calls;
    auto refusals = [&] {
        return std::count_if(calls.begin(), calls.end(), [](const QDBusPendingCall &c) {
            return c.isFinished() && c.isError();
        });
    };
    QList<qint32> raised;
    connect(&receiver, &InterProcEndpoint::DataArrival, this,
            [&](qint32, const QString &, qint32 number, const QString &) {
                raised.append(number);
                if (number != 1)
                    return;
                // The dialog closes once refusals have come and stopped.
                QEventLoop dialog;
                qsizetype last = -1;
                QTimer poll;
                QObject::connect(&poll, &QTimer::timeout, &dialog, [&] {
                    const qsizetype now = refusals();
                    if (now > 0 && now == last)
                        dialog.quit();
                    last = now;
                });
                poll.start(500);
                QTimer::singleShot(TimeoutMs, &dialog, &QEventLoop::quit);
                dialog.exec();
            });

    // From two connections, as the bus allows one 50,000 calls awaiting
    // their replies: the first sends 1..Calls/2, the second the rest.
    const QString second = QStringLiteral("second flooder");
    QDBusConnection buses[] = {QDBusConnection::sessionBus(),
                               QDBusConnection::connectToBus(QDBusConnection::SessionBus, second)};
    const auto disconnect = qScopeGuard([&] { QDBusConnection::disconnectFromBus(second); });
    calls.reserve(Calls);
    for (int i = 1; i <= Calls; ++i) {
        QDBusMessage message = QDBusMessage::createMethodCall(
            serviceForHandle(receiver.handle()), BusPath, BusInterface, QStringLiteral("Deliver"));
        message << 0 << QStringLiteral("flood") << i << QStringLiteral("x");
        calls.append(buses[i > Calls / 2].asyncCall(message, 2 * TimeoutMs));
    }
    QTRY_VERIFY_WITH_TIMEOUT(std::all_of(calls.begin(), calls.end(),
                                         [](const QDBusPendingCall &c) { return c.isFinished(); }),
                             2 * TimeoutMs);
    int taken = 0;
    int refused = 0;
    for (const QDBusPendingCall &call : calls) {
        if (!call.isError())
            ++taken;
        else if (call.error().message().contains(QLatin1String("payloads waiting")))
            ++refused;
        else
            QFAIL(qPrintable(call.error().name() + u' ' + call.error().message()));
    }
    qInfo("%d calls while the program's dialog was open: %d taken, %d refused", Calls, taken,
          refused);
    QVERIFY(refused > 0);
    QCOMPARE(taken + refused, Calls);
    QTRY_COMPARE_WITH_TIMEOUT(raised.size(), taken, TimeoutMs);
    const auto fromSecond = std::stable_partition(
        raised.begin(), raised.end(), [](qint32 number) { return number <= Calls / 2; });
    QVERIFY(std::is_sorted(raised.begin(), fromSecond));
    QVERIFY(std::is_sorted(fromSecond, raised.end()));
}

void TestEndpoint::sealedTextsCountTowardsTheInbox()
{
    // Large texts from memfds have a bound of their own in the inbox:
    // while the program's first handler has a dialog open, one caller's
    // texts of 512 KiB fill its 64 MiB share (as UTF-16) and the rest are
    // refused, instead of piling up without a bound in bytes.
    constexpr int Calls = 100;
    constexpr qint64 TextBytes = 512 * 1024;
    InterProcEndpoint receiver(QStringLiteral("Program with a dialog for texts"));
    QVERIFY2(receiver.isConnected(), qPrintable(receiver.errorString()));
    QList<QDBusPendingCall> calls;
    int raised = 0;
    connect(&receiver, &InterProcEndpoint::DataArrival, this, [&] {
        if (++raised != 1)
            return;
        // The dialog closes once refusals have come and stopped, or after
        // 10 s when none come.
        QEventLoop dialog;
        qsizetype last = -1;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &dialog, [&] {
            const qsizetype now =
                std::count_if(calls.cbegin(), calls.cend(), [](const QDBusPendingCall &c) {
                    return c.isFinished() && c.isError();
                });
            if (now > 0 && now == last)
                dialog.quit();
            last = now;
        });
        poll.start(500);
        QTimer::singleShot(10000, &dialog, &QEventLoop::quit);
        dialog.exec();
    });
    const QDBusUnixFileDescriptor text = TestSupport::sealedText("t", TextBytes);
    QVERIFY(text.isValid());
    for (int i = 1; i <= Calls; ++i) {
        QDBusMessage message =
            QDBusMessage::createMethodCall(serviceForHandle(receiver.handle()), BusPath,
                                           BusInterface, QStringLiteral("DeliverSealed"));
        message << 0 << QStringLiteral("texts") << i << QVariant::fromValue(text)
                << qulonglong(TextBytes);
        calls.append(QDBusConnection::sessionBus().asyncCall(message, 2 * TimeoutMs));
    }
    QTRY_VERIFY_WITH_TIMEOUT(std::all_of(calls.begin(), calls.end(),
                                         [](const QDBusPendingCall &c) { return c.isFinished(); }),
                             2 * TimeoutMs);
    int taken = 0;
    for (const QDBusPendingCall &call : calls) {
        if (!call.isError())
            ++taken;
        else
            QVERIFY2(call.error().message().contains(QLatin1String("large texts waiting")),
                     qPrintable(call.error().name() + u' ' + call.error().message()));
    }
    qInfo("%d texts of %lld bytes while the program's dialog was open: %d taken", Calls, TextBytes,
          taken);
    // 64 MiB of UTF-16 is 64 texts of 512 KiB; the first is with the dialog.
    QVERIFY2(taken <= 66, qPrintable(QString::number(taken)));
    QTRY_COMPARE_WITH_TIMEOUT(raised, taken, TimeoutMs);
}

void TestEndpoint::sendsInTheFormsTheReceiverOffers_data()
{
    QTest::addColumn<QString>("answer"); // to Features: "list", "unknown" or "none"
    QTest::addColumn<QStringList>("features");
    QTest::addColumn<bool>("utf16");
    QTest::addColumn<bool>("batches");
    const QString list = QStringLiteral("list");
    QTest::newRow("offers UTF-16")
        << list << QStringList{QStringLiteral("Other"), QStringLiteral("DeliverSealedUtf16")}
        << true << false;
    QTest::newRow("offers batches")
        << list << QStringList{QStringLiteral("DeliverBatch")} << false << true;
    QTest::newRow("older window, no Features")
        << QStringLiteral("unknown") << QStringList() << false << false;
    QTest::newRow("offers something else")
        << list << QStringList{QStringLiteral("DeliverSealedUtf32")} << false << false;
    QTest::newRow("never answers") << QStringLiteral("none") << QStringList() << false << false;
}

void TestEndpoint::sendsInTheFormsTheReceiverOffers()
{
    // A window is asked how it takes large texts only once one goes to it,
    // and once for all of them, whatever it answers; a small text never
    // asks, and a burst of them goes in batches only to a window that
    // offers them.
    QFETCH(QString, answer);
    QFETCH(QStringList, features);
    QFETCH(bool, utf16);
    QFETCH(bool, batches);
    static qint32 nextHandle = 848400;
    const qint32 handle = ++nextHandle;
    const QString connectionName = QStringLiteral("sealed window %1").arg(handle);
    SealedTextWindow window(
        handle, answer == QLatin1String("list") ? std::optional(features) : std::nullopt,
        answer == QLatin1String("none"));
    {
        QDBusConnection bus =
            QDBusConnection::connectToBus(QDBusConnection::SessionBus, connectionName);
        QVERIFY(bus.registerVirtualObject(BusPath, &window));
        QVERIFY(bus.interface()->registerService(serviceForHandle(handle)).isValid());
    }
    const auto leave = qScopeGuard([&] { QDBusConnection::disconnectFromBus(connectionName); });
    InterProcEndpoint sender(QStringLiteral("Sender of large texts"));
    QTRY_VERIFY_WITH_TIMEOUT(sender.isReady(), TimeoutMs);
    QStringList failures;
    connect(&sender, &InterProcEndpoint::errorOccurred, this,
            [&](const QString &message) { failures.append(message); });
    sender.setTarget(handle);
    sender.setTargetSearchMethod(InterProcEndpoint::WindowHandle);
    sender.setStringData(QStringLiteral("small"));
    QCOMPARE(sender.Send(), 1);

    // NUL, a byte order mark and characters beyond the BMP, across the
    // pieces either side writes and reads.
    const QString piece =
        QStringView(u"\uFEFFa\0\u00E9\u20AC\U0001F600\U0001D11E\r\n", 11).toString();
    const QStringList large = {piece.repeated(200000), piece.repeated(7000) + u'z'};
    for (const QString &text : large) {
        sender.setStringData(text);
        QCOMPARE(sender.Send(), 1);
    }
    QTRY_COMPARE_WITH_TIMEOUT(window.texts.size(), large.size(), TimeoutMs);
    QCOMPARE(window.featuresAsked, 1);
    for (qsizetype i = 0; i < large.size(); ++i) {
        const QString &text = large.at(i);
        QCOMPARE(window.texts.at(i).first,
                 QLatin1String(utf16 ? "DeliverSealedUtf16" : "DeliverSealed"));
        QByteArray expected = text.toUtf8();
        if (utf16) {
            expected.resize(text.size() * 2);
            qToLittleEndian<char16_t>(text.utf16(), text.size(), expected.data());
        }
        QVERIFY(window.texts.at(i).second == expected);
    }
    constexpr int Burst = 300;
    sender.setStringData(QStringLiteral("small"));
    for (int i = 0; i < Burst; ++i)
        QCOMPARE(sender.Send(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(window.smallTexts, 1 + Burst, TimeoutMs);
    QCOMPARE(window.batches > 0, batches);
    QCOMPARE(window.featuresAsked, 1);
    QCOMPARE(failures.join(u'\n'), QString());
}

void TestEndpoint::oneFloodLeavesRoomAndTurnsForOthers()
{
    // While the program's first handler has a dialog open, one caller sends
    // more payloads that want no answer than the inbox holds, then another
    // caller sends one: it is taken, and raised right after the flood's
    // next payload rather than behind the whole flood.
    constexpr int Flood = 70000;
    InterProcEndpoint receiver(QStringLiteral("Program flooded by one caller"));
    QVERIFY2(receiver.isConnected(), qPrintable(receiver.errorString()));
    const QString service = serviceForHandle(receiver.handle());
    auto deliver = [&](const QString &name, int number) {
        QDBusMessage message = QDBusMessage::createMethodCall(service, BusPath, BusInterface,
                                                              QStringLiteral("Deliver"));
        message << 0 << name << number << QStringLiteral("x");
        return message;
    };
    const QDBusMessage describe =
        QDBusMessage::createMethodCall(service, BusPath, BusInterface, QStringLiteral("Describe"));
    const QString otherName = QStringLiteral("other caller");
    QDBusConnection flooder = QDBusConnection::sessionBus();
    QDBusConnection other = QDBusConnection::connectToBus(QDBusConnection::SessionBus, otherName);
    const auto disconnect = qScopeGuard([&] { QDBusConnection::disconnectFromBus(otherName); });

    QStringList raised;
    std::optional<QDBusPendingCall> otherCall;
    connect(&receiver, &InterProcEndpoint::DataArrival, this,
            [&](qint32, const QString &name, qint32, const QString &) {
                raised.append(name);
                if (raised.size() != 1)
                    return;
                // A caller's calls are read in order: each Describe is
                // answered once what was sent before it has been read.
                const QDBusPendingCall floodRead = flooder.asyncCall(describe, TimeoutMs);
                QVERIFY(QTest::qWaitFor([&] { return floodRead.isFinished(); }, TimeoutMs));
                otherCall = other.asyncCall(deliver(QStringLiteral("other"), 1), TimeoutMs);
                const QDBusPendingCall otherRead = other.asyncCall(describe, TimeoutMs);
                QVERIFY(QTest::qWaitFor([&] { return otherRead.isFinished(); }, TimeoutMs));
            });
    for (int i = 1; i <= Flood; ++i)
        QVERIFY(flooder.send(deliver(QStringLiteral("flood"), i)));
    QTRY_VERIFY_WITH_TIMEOUT(otherCall && otherCall->isFinished(), TimeoutMs);
    QVERIFY2(!otherCall->isError(), qPrintable(otherCall->error().message()));
    QCOMPARE(raised.indexOf(QStringLiteral("other")), 2);
    // The flood had its share, half of the inbox, and no more.
    QTRY_COMPARE_WITH_TIMEOUT(raised.size(), 32768 + 2, TimeoutMs);
}

void TestEndpoint::channelPeerThatNeverReadsIsNotRead()
{
    // A peer on a direct channel sends calls and never reads their answers:
    // the receiver stops reading the channel once answers pile up, so the
    // peer's calls stop going out long before they are all sent. (The
    // peer's socket takes little, so that what the receiver has not read
    // shows; the receiver's may take some 20,000 answers.)
    constexpr int Calls = 100000;
    InterProcEndpoint receiver(QStringLiteral("Receiver of a peer that never reads"));
    QTRY_VERIFY_WITH_TIMEOUT(receiver.isReady(), TimeoutMs);
    int arrived = 0;
    connect(&receiver, &InterProcEndpoint::DataArrival, this, [&] { ++arrived; });
    const QDBusMessage offer =
        answerOf(QDBusConnection::sessionBus(),
                 QDBusMessage::createMethodCall(serviceForHandle(receiver.handle()), BusPath,
                                                BusInterface, QStringLiteral("OpenDirectChannel")));
    QCOMPARE(offer.type(), QDBusMessage::ReplyMessage);
    const QByteArray address = offer.arguments().value(0).toString().toUtf8();
    const QByteArray token = offer.arguments().value(1).toByteArray();
    QVERIFY2(!address.isEmpty(), "the receiver offers no channel: is XDG_RUNTIME_DIR private?");

    // The peer runs on a thread of its own, as the receiver answers from
    // this thread's event loop.
    std::atomic<int> sent = 0;
    std::atomic<bool> finished = false;
    std::atomic<int> channelFd = -1;
    std::thread peer([&] {
        sd_bus *bus = nullptr;
        sd_bus_message *attach = nullptr;
        sd_bus_message *attached = nullptr;
        if (sd_bus_new(&bus) < 0 || sd_bus_set_address(bus, address.constData()) < 0 ||
            sd_bus_start(bus) < 0 ||
            sd_bus_message_new_method_call(bus, &attach, nullptr, InterProcBus::ObjectPath,
                                           InterProcBus::Interface, "AttachDirectChannel") < 0 ||
            sd_bus_message_append_array(attach, 'y', token.constData(), size_t(token.size())) < 0 ||
            sd_bus_call(bus, attach, 0, nullptr, &attached) < 0) {
            finished = true;
            return;
        }
        sd_bus_message_unref(attach);
        sd_bus_message_unref(attached);
        channelFd = sd_bus_get_fd(bus);
        const int small = 4096;
        ::setsockopt(channelFd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        for (int i = 1; i <= Calls; ++i) {
            sd_bus_message *call = nullptr;
            sd_bus_message_new_method_call(bus, &call, nullptr, InterProcBus::ObjectPath,
                                           InterProcBus::Interface, "Deliver");
            sd_bus_message_append(call, "isis", 0, "never reads", i, "x");
            uint64_t cookie = 0; // kept: the call wants an answer
            const int r = sd_bus_send(bus, call, &cookie);
            sd_bus_message_unref(call);
            if (r < 0)
                break;
            ++sent;
            // Written as the socket takes it; nothing is ever read.
            uint64_t queued = 0;
            bool closed = false;
            while (!closed && sd_bus_get_n_queued_write(bus, &queued) >= 0 && queued >= 64) {
                pollfd p = {channelFd, POLLOUT, 0};
                closed = ::poll(&p, 1, 100) < 0 || (p.revents & (POLLERR | POLLHUP));
                if (!closed && (p.revents & POLLOUT))
                    closed = sd_bus_flush(bus) < 0;
            }
            if (closed)
                break;
        }
        finished = true;
        while (channelFd >= 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        sd_bus_unref(bus);
    });
    const auto leave = qScopeGuard([&] {
        if (channelFd >= 0)
            ::shutdown(channelFd, SHUT_RDWR);
        channelFd = -1;
        peer.join();
    });
    // Until the peer is done, or has sent nothing more for five seconds.
    int lastSent = -1;
    QElapsedTimer still;
    still.start();
    QVERIFY(QTest::qWaitFor(
        [&] {
            if (sent != lastSent) {
                lastSent = sent;
                still.restart();
            }
            return finished || still.elapsed() > 5000;
        },
        4 * TimeoutMs));
    qInfo("the peer sent %d of %d calls; %d were raised", int(sent), Calls, arrived);
    QVERIFY(channelFd >= 0);
    QVERIFY2(sent < Calls * 3 / 4, "the receiver read on while its answers piled up");
}

void TestEndpoint::callFromAnotherThreadStops_data()
{
    QTest::addColumn<QByteArray>("call");
    QTest::newRow("a setter") << QByteArray("setLongData");
    QTest::newRow("Send") << QByteArray("Send");
}

void TestEndpoint::callFromAnotherThreadStops()
{
    // Built for the tests, the library stops a program that calls an
    // endpoint from another thread than its own, naming the call. This
    // test runs itself again, as the program that makes the call.
    QFETCH(QByteArray, call);
    const QByteArray planted = qgetenv("INTERPROC_TEST_WRONG_THREAD");
    if (!planted.isEmpty()) {
        if (planted != call)
            QSKIP("another row's call is planted");
        InterProcEndpoint endpoint(QStringLiteral("Wrong Thread"));
        std::thread other([&] {
            if (call == "Send")
                endpoint.Send();
            else
                endpoint.setLongData(1);
        });
        other.join();
        QFAIL("the call from another thread went through");
    }
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("INTERPROC_TEST_WRONG_THREAD"), QString::fromLatin1(call));
    env.insert(QStringLiteral("QTEST_DISABLE_STACK_DUMP"), QStringLiteral("1"));
    program.setProcessEnvironment(env);
    program.setProcessChannelMode(QProcess::MergedChannels);
    program.start(QCoreApplication::applicationFilePath(),
                  {QStringLiteral("callFromAnotherThreadStops")});
    QVERIFY(program.waitForFinished(TimeoutMs));
    const QByteArray output = program.readAll();
    QCOMPARE(program.exitStatus(), QProcess::CrashExit);
    QVERIFY2(output.contains("InterProcEndpoint::" + call) && output.contains("belongs to thread"),
             output.constData());
}

void TestEndpoint::moveToAnotherThreadIsRefused()
{
    // The endpoint's connections cannot follow it: it says so and moves back,
    // and keeps taking payloads on its own thread.
    InterProcEndpoint endpoint(QStringLiteral("Stays Home"));
    QVERIFY2(endpoint.isConnected(), qPrintable(endpoint.errorString()));
    QTRY_VERIFY_WITH_TIMEOUT(endpoint.isReady(), TimeoutMs);
    QThread other;
    other.start();
    const auto stop = qScopeGuard([&] {
        other.quit();
        other.wait();
    });
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral("cannot move to another thread")));
    endpoint.moveToThread(&other);
    QTRY_COMPARE_WITH_TIMEOUT(endpoint.thread(), QThread::currentThread(), TimeoutMs);

    QList<qint32> arrived;
    connect(
        &endpoint, &InterProcEndpoint::DataArrival, this,
        [&](qint32, const QString &, qint32 number, const QString &) { arrived.append(number); });
    endpoint.setTarget(endpoint.handle());
    endpoint.setTargetSearchMethod(InterProcEndpoint::WindowHandle);
    endpoint.setLongData(7);
    QCOMPARE(endpoint.Send(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(arrived, QList<qint32>{7}, TimeoutMs);
}

void TestEndpoint::endedWhileAskingTheBusFreesItsConnection()
{
    // Asked for a direct channel, an endpoint asks the bus for the caller's
    // process and answers once it knows. Ended before the bus answers, it
    // must still free its connection: the sanitized build's leak check
    // finds it otherwise (closed, it is visible nowhere else).
    sd_bus *caller = nullptr;
    QVERIFY(sd_bus_open_user(&caller) >= 0);
    const auto closeCaller = qScopeGuard([&] { sd_bus_flush_close_unref(caller); });
    auto *receiver = new InterProcEndpoint(QStringLiteral("Ended while asking"));
    QTRY_VERIFY_WITH_TIMEOUT(receiver->isReady(), TimeoutMs);
    const QByteArray service = serviceForHandle(receiver->handle()).toUtf8();
    QVERIFY(sd_bus_call_method_async(caller, nullptr, service.constData(), InterProcBus::ObjectPath,
                                     InterProcBus::Interface, "OpenDirectChannel", nullptr, nullptr,
                                     "") >= 0);
    // The bus answers this after it has passed the call on; then it stops,
    // so that the receiver's question stays unanswered. It names its
    // process (dbus-broker its launcher, whose child serves the bus).
    sd_bus_message *reply = nullptr;
    uint32_t daemon = 0;
    QVERIFY(sd_bus_call_method(caller, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "GetConnectionUnixProcessID", nullptr,
                               &reply, "s", "org.freedesktop.DBus") >= 0);
    QVERIFY(sd_bus_message_read(reply, "u", &daemon) >= 0 && daemon > 0);
    sd_bus_message_unref(reply);
    QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(daemon));
    QVERIFY(children.open(QIODevice::ReadOnly));
    QList<pid_t> bus = {pid_t(daemon)};
    for (const QByteArray &child : children.readAll().split(' '))
        if (child.toInt() > 0)
            bus.append(pid_t(child.toInt()));
    const auto resume = qScopeGuard([&] {
        for (pid_t pid : bus)
            ::kill(pid, SIGCONT);
    });
    for (pid_t pid : bus)
        QCOMPARE(::kill(pid, SIGSTOP), 0);
    QCoreApplication::processEvents();
    delete receiver;
#if defined(__SANITIZE_ADDRESS__)
    QCOMPARE(__lsan_do_recoverable_leak_check(), 0);
#endif
}

QTEST_GUILESS_MAIN(TestEndpoint)
#include "tst_endpoint.moc"
