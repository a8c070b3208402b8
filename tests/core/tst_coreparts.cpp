// SPDX-License-Identifier: MIT
// The core's sending and receiving queues on their own, over a direct sd-bus
// connection on a socket pair instead of a bus daemon: Deliveries' lane and
// in-flight bounds and the expiry of what waits, the Inbox's bounds and the
// turns its callers take, Admission's check of sender handles, when
// ChannelRouter moves a receiver's deliveries from the bus to a direct channel,
// and what ThreadDirectory learns from a bus daemon and windows played by hand.
#include "admission.h"
#include "busconnection.h"
#include "channeladdress.h"
#include "channelrouter.h"
#include "channelserver.h"
#include "deliveries.h"
#include "inbox.h"
#include "partyowners.h"
#include "payloadtext.h"
#include "searchmethod.h"
#include "sendoutcome.h"
#include "threaddirectory.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <vector>

namespace {

// Both ends of a direct connection. The receiving end takes every method
// call and holds it unanswered until the test answers it, or answers it at
// once through `answers`.
class SocketPair
{
public:
    SocketPair()
    {
        m_clock.start();
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) != 0)
            return;
        sender.reset(BusConnection::connectToPeer(fds[0], nullptr));
        receiver.reset(BusConnection::acceptPeer(fds[1], nullptr));
        if (receiver)
            holdCallsOn(receiver.get());
    }
    ~SocketPair()
    {
        for (sd_bus_slot *filter : m_filters)
            sd_bus_slot_unref(filter);
    }

    // Holds the calls that arrive on another connection too, with the rest.
    void holdCallsOn(BusConnection *connection)
    {
        m_ends.emplace_back(connection);
        sd_bus_add_filter(connection->bus(), &m_filters.emplace_back(), &SocketPair::hold, this);
    }
    // The connection call i arrived on.
    BusConnection *endOf(size_t i) const
    {
        for (const QPointer<BusConnection> &end : m_ends) {
            if (end && end->bus() == sd_bus_message_get_bus(held.at(i).get()))
                return end;
        }
        return nullptr;
    }

    // Once both ends have authenticated (file descriptors pass from then on).
    bool waitOpen()
    {
        return sender && receiver && QTest::qWaitFor([&] { return sender->passesFds(); });
    }
    QByteArray destination(size_t i) const
    {
        return sd_bus_message_get_destination(held.at(i).get());
    }
    QByteArray member(size_t i) const { return sd_bus_message_get_member(held.at(i).get()); }
    void answer(size_t i) { endOf(i)->reply(held.at(i).get(), nullptr); }
    // How many calls (of member, if given) are held once the receiving end
    // has read for a while.
    size_t settledCount(const char *member = nullptr)
    {
        QTest::qWait(200);
        return size_t(std::count_if(held.begin(), held.end(), [&](const BusMessage &m) {
            return !member || qstrcmp(sd_bus_message_get_member(m.get()), member) == 0;
        }));
    }
    // Once the other end of call i's connection has handled everything this
    // end sent before: it answers a call it has no object for.
    bool roundTrip(size_t i)
    {
        bool answered = false;
        QObject context;
        const BusMessage call = endOf(i)->newCall(nullptr, "Ping");
        return endOf(i)->call(call.get(), 5000, &context, [&](sd_bus_message *) {
            answered = true;
        }) && QTest::qWaitFor([&] { return answered; });
    }

    // Sends a signal from the receiving end as the connection `from` would
    // send it on the bus: a direct connection names no sender by itself.
    template <typename... Values>
    bool emitFrom(const char *from, const char *path, const char *interface, const char *member,
                  const char *types, Values... values)
    {
        sd_bus_message *m = nullptr;
        const bool made =
            sd_bus_message_new_signal(receiver->bus(), &m, path, interface, member) >= 0 &&
            sd_bus_message_set_sender(m, from) >= 0 &&
            sd_bus_message_append(m, types, values...) >= 0;
        const BusMessage signal = BusMessage::adopt(m);
        return made && receiver->send(m);
    }

    std::unique_ptr<BusConnection> sender;
    std::unique_ptr<BusConnection> receiver;
    std::vector<BusMessage> held;
    std::vector<qint64> heldAt; // when each arrived, in ms since the pair was made
    // Sees each call as it arrives (held all the same) and may answer it.
    std::function<void(sd_bus_message *call)> answers;

private:
    static int hold(sd_bus_message *m, void *userdata, sd_bus_error *)
    {
        if (!sd_bus_message_is_method_call(m, nullptr, nullptr))
            return 0;
        auto *self = static_cast<SocketPair *>(userdata);
        self->held.push_back(BusMessage::ref(m));
        self->heldAt.push_back(self->m_clock.elapsed());
        if (self->answers)
            self->answers(m);
        return 1;
    }

    QElapsedTimer m_clock;
    std::vector<QPointer<BusConnection>> m_ends;
    std::vector<sd_bus_slot *> m_filters;
};

std::shared_ptr<const Deliveries::Body> inlineBody(qint64 bytes, qint32 number = 0)
{
    auto body = std::make_shared<Deliveries::Body>();
    body->senderName = "tst";
    body->longData = number;
    body->utf8 = QByteArray(bytes, 'x');
    return body;
}

std::shared_ptr<const Deliveries::Body> sealedBody(qint64 declaredSize)
{
    auto body = std::make_shared<Deliveries::Body>();
    body->senderName = "tst";
    body->sealed = true;
    body->fd = std::make_shared<PayloadText::UniqueFd>(::memfd_create("tst", MFD_CLOEXEC));
    body->size = quint64(declaredSize);
    return body;
}

// The owners of sender handles as the test sets them; Admission's questions
// to the bus wait until the test answers them.
class TestOwners : public PartyOwners
{
public:
    QString ownerOf(qint32 handle) const override { return known.value(handle); }
    bool isReady() const override { return ready; }
    bool isBehind() const override { return behind; }
    void lookUpOwner(qint32 handle, QObject *context, std::function<void(const QString &)> done,
                     int) const override
    {
        asked.append({handle, context, std::move(done)});
    }
    void answer(const QString &owner)
    {
        const Question question = asked.takeFirst();
        if (question.context)
            question.done(owner);
    }

    struct Question
    {
        qint32 handle;
        QPointer<QObject> context;
        std::function<void(const QString &)> done;
    };
    QHash<qint32, QString> known;
    bool ready = true;
    bool behind = false;
    mutable QList<Question> asked;
};

// A call from the sending end for each id, held by the receiving end; each
// answer lands in `answers` by id: "ok" or the error's name.
bool placeCalls(SocketPair &pair, const QStringList &ids, QObject *context,
                QHash<QString, QString> *answers)
{
    for (const QString &id : ids) {
        const BusMessage call = pair.sender->newCall(nullptr, "DeliverUtf8");
        if (!pair.sender->call(call.get(), 5000, context, [answers, id](sd_bus_message *reply) {
                const sd_bus_error *error = reply ? sd_bus_message_get_error(reply) : nullptr;
                answers->insert(id, !reply  ? QStringLiteral("none")
                                    : error ? QString::fromUtf8(error->name)
                                            : QStringLiteral("ok"));
            }))
            return false;
    }
    return QTest::qWaitFor([&] { return pair.held.size() >= size_t(ids.size()); });
}

const QString Caller = QStringLiteral(":1.7");
const QString Other = QStringLiteral(":1.9");

// Answers call i, OpenDirectChannel, with a channel at address.
void offer(SocketPair &pair, size_t i, const QByteArray &address,
           const QByteArray &token = QByteArray(ChannelAddress::TokenBytes, 't'))
{
    sd_bus_message *reply = nullptr;
    sd_bus_message_new_method_return(pair.held.at(i).get(), &reply);
    sd_bus_message_append(reply, "s", address.constData());
    sd_bus_message_append_array(reply, 'y', token.constData(), size_t(token.size()));
    pair.endOf(i)->send(reply);
    sd_bus_message_unref(reply);
}

// A router whose bus is the sending end of a socket pair, and a channel
// server here to offer it, whose connections' calls the pair holds too.
struct Routing
{
    Routing()
    {
        server.listen();
        QObject::connect(&server, &ChannelServer::connectionOpened, &server,
                         [this](BusConnection *connection) { pair.holdCallsOn(connection); });
    }

    // Takes the router's first request for a channel as far as its call to
    // attach, held third: the server's socket is offered, and the bus says
    // the window is this process.
    bool offerChannel()
    {
        const auto held = [&](size_t i, const char *member) {
            return QTest::qWaitFor([&] { return pair.held.size() > i; }) &&
                   pair.member(i) == member;
        };
        if (!held(0, "OpenDirectChannel"))
            return false;
        offer(pair, 0, server.address());
        if (!held(1, "GetConnectionUnixProcessID"))
            return false;
        pair.endOf(1)->reply(pair.held.at(1).get(), "u", uint32_t(::getpid()));
        return held(2, "AttachDirectChannel");
    }

    SocketPair pair;
    ChannelServer server{nullptr};
    ChannelRouter router{pair.sender.get(), nullptr};
};

// A window as the receiving end plays it for a directory: its handle, the
// connection that owns its name, and its caption; one without a caption
// never answers Describe, one with "!" answers as a call whose time ran out.
struct FarWindow
{
    qint32 handle;
    QByteArray owner;
    QByteArray caption;
};

// A directory on the sending end of pair, whose receiving end answers as the
// bus daemon (ListNames, GetNameOwner) and the windows (Describe) would.
std::shared_ptr<ThreadDirectory> directoryOn(SocketPair &pair, const QList<FarWindow> &windows)
{
    pair.answers = [end = pair.receiver.get(), windows](sd_bus_message *m) {
        const QByteArray member = sd_bus_message_get_member(m);
        const QByteArray destination = sd_bus_message_get_destination(m);
        const char *name = "";
        if (member == "GetNameOwner")
            sd_bus_message_read(m, "s", &name);
        sd_bus_message *reply = nullptr;
        if (member == "ListNames" && sd_bus_message_new_method_return(m, &reply) >= 0) {
            sd_bus_message_open_container(reply, 'a', "s");
            for (const FarWindow &window : windows)
                sd_bus_message_append(
                    reply, "s", InterProcBus::serviceForHandle(window.handle).toUtf8().constData());
            sd_bus_message_close_container(reply);
            end->send(reply);
            sd_bus_message_unref(reply);
        }
        for (const FarWindow &window : windows) {
            if (InterProcBus::handleFromService(QString::fromUtf8(name)) == window.handle)
                end->reply(m, "s", window.owner.constData());
            if (member != "Describe" || destination != window.owner || window.caption.isNull())
                continue;
            if (window.caption == "!")
                Bus::replyError(end, m, QStringLiteral("org.freedesktop.DBus.Error.NoReply"),
                                QString());
            else
                end->reply(m, "is", window.handle, window.caption.constData());
        }
    };
    if (!pair.waitOpen())
        return {};
    return ThreadDirectory::create(pair.sender.release());
}

QList<qint32> handles(const QList<PartyInfo> &windows)
{
    QList<qint32> found;
    for (const PartyInfo &window : windows)
        found.append(window.handle);
    return found;
}

} // namespace

class TestCoreParts : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void laneBounds_data();
    void laneBounds();
    void inFlightBounds_data();
    void inFlightBounds();
    void waitingPayloadsExpire();
    void burstsGoInBatches_data();
    void burstsGoInBatches();
    void batchOutcomes_data();
    void batchOutcomes();
    void inboxBounds_data();
    void inboxBounds();
    void inboxLanesTakeTurns_data();
    void inboxLanesTakeTurns();
    void batchAnsweredForWhatWasHandedOver_data();
    void batchAnsweredForWhatWasHandedOver();
    void senderHandlesAreChecked_data();
    void senderHandlesAreChecked();
    void heldCallsKeepTheirCallersOrder();
    void heldCallsAreBounded();
    void channelWaitsForTheBus();
    void noOfferKeepsTheBus_data();
    void noOfferKeepsTheBus();
    void droppedChannels_data();
    void droppedChannels();
    void directoryLoads();
    void directoryFollowsTheBus_data();
    void directoryFollowsTheBus();
    void directoryBehindWhileUnread();

private:
    QTemporaryDir m_runtimeDir; // where channel sockets are
};

void TestCoreParts::initTestCase()
{
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    QVERIFY(m_runtimeDir.isValid());
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_runtimeDir.path()));
    qputenv("INTERPROC_DIRECT_CHANNELS", "1");
}

void TestCoreParts::laneBounds_data()
{
    QTest::addColumn<bool>("sealed");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<int>("fits"); // waiting in one lane, behind a full flight

    QTest::newRow("payloads") << false << qint64(1) << Deliveries::MaxWaitingPerReceiver;
    QTest::newRow("inline bytes") << false << qint64(1024 * 1024)
                                  << int(Deliveries::MaxWaitingBytesPerReceiver / (1024 * 1024));
    QTest::newRow("sealed texts") << true << qint64(1) << Deliveries::MaxWaitingSealedPerReceiver;
    QTest::newRow("sealed bytes") << true << qint64(64 * 1024 * 1024)
                                  << int(Deliveries::MaxWaitingSealedBytesPerReceiver /
                                         (64 * 1024 * 1024));
}

void TestCoreParts::laneBounds()
{
    QFETCH(bool, sealed);
    QFETCH(qint64, size);
    QFETCH(int, fits);

    SocketPair pair;
    QVERIFY(pair.waitOpen());
    Deliveries deliveries(pair.sender.get(), nullptr, nullptr);
    SendOutcome why;
    for (int i = 0; i < Deliveries::MaxInFlightPerReceiver; ++i)
        QVERIFY(deliveries.deliver(1, {}, QStringLiteral(":1.a"), inlineBody(1), &why));
    const auto body = sealed ? sealedBody(size) : inlineBody(size);
    for (int i = 0; i < fits; ++i)
        QVERIFY2(deliveries.deliver(1, {}, QStringLiteral(":1.a"), body, &why),
                 qPrintable(why.reason()));
    QVERIFY(!deliveries.deliver(1, {}, QStringLiteral(":1.a"), body, &why));
    QCOMPARE(why.cause, SendOutcome::LaneFull);
    QCOMPARE(why.count, qint64(Deliveries::MaxInFlightPerReceiver + fits));
    // A full lane is that receiver's alone.
    QVERIFY(deliveries.deliver(2, {}, QStringLiteral(":1.b"), body, &why));
}

void TestCoreParts::inFlightBounds_data()
{
    QTest::addColumn<int>("receivers");       // 300 payloads to each, at once
    QTest::addColumn<QList<int>>("inFlight"); // calls made, by receiver
    QTest::addColumn<int>("next");            // whose call is made once the first is answered

    constexpr int PerReceiver = Deliveries::MaxInFlightPerReceiver;
    QTest::newRow("one receiver") << 1 << QList<int>{PerReceiver} << 0;
    // Two lanes fill the flight; the third, which waited longest, goes next.
    QTest::newRow("three receivers") << 3 << QList<int>{PerReceiver, PerReceiver, 0} << 2;
}

void TestCoreParts::inFlightBounds()
{
    QFETCH(int, receivers);
    QFETCH(QList<int>, inFlight);
    QFETCH(int, next);

    SocketPair pair;
    QVERIFY(pair.waitOpen());
    Deliveries deliveries(pair.sender.get(), nullptr, nullptr);
    int delivered = 0;
    connect(&deliveries, &Deliveries::delivered, this, [&] { ++delivered; });
    const auto owner = [](int r) {
        return QStringLiteral(":1.%1").arg(r);
    };
    SendOutcome why;
    for (int r = 0; r < receivers; ++r)
        for (int i = 0; i < 300; ++i)
            QVERIFY(deliveries.deliver(r, {}, owner(r), inlineBody(1), &why));

    size_t expected = 0;
    for (int n : std::as_const(inFlight))
        expected += size_t(n);
    QTRY_COMPARE(pair.held.size(), expected);
    QCOMPARE(pair.settledCount(), expected);
    for (int r = 0; r < receivers; ++r) {
        const QByteArray name = owner(r).toUtf8();
        QCOMPARE(std::count_if(pair.held.begin(), pair.held.end(),
                               [&](const BusMessage &m) {
                                   return name == sd_bus_message_get_destination(m.get());
                               }),
                 qsizetype(inFlight.at(r)));
    }
    pair.answer(0);
    QTRY_COMPARE(delivered, 1);
    QTRY_COMPARE(pair.held.size(), expected + 1);
    QCOMPARE(pair.destination(expected), owner(next).toUtf8());
    QCOMPARE(pair.settledCount(), expected + 1);
}

void TestCoreParts::waitingPayloadsExpire()
{
    SocketPair pair;
    QVERIFY(pair.waitOpen());
    Deliveries deliveries(pair.sender.get(), nullptr, nullptr);
    constexpr int WaitLimitMs = 300;
    deliveries.setWaitLimitMs(WaitLimitMs);
    QList<qint32> failed;
    SendOutcome::Cause cause = SendOutcome::Taken;
    connect(&deliveries, &Deliveries::failed, this,
            [&](quint64, qint32 handle, const QString &, const SendOutcome &why) {
                failed.append(handle);
                cause = why.cause;
            });
    int delivered = 0;
    connect(&deliveries, &Deliveries::delivered, this, [&] { ++delivered; });

    // A full flight that the receiver holds, and three behind it.
    constexpr int Count = Deliveries::MaxInFlightPerReceiver + 3;
    SendOutcome why;
    for (int i = 1; i <= Count; ++i)
        QVERIFY(deliveries.deliver(i, {}, QStringLiteral(":1.a"), inlineBody(1), &why));
    QTRY_COMPARE(pair.held.size(), size_t(Deliveries::MaxInFlightPerReceiver));
    QTRY_COMPARE(failed.size(), 3);
    QCOMPARE(failed, (QList<qint32>{Count - 2, Count - 1, Count}));
    QCOMPARE(cause, SendOutcome::WaitedTooLong);
    // What was on its way is not expired: it ends as its answer says.
    QTest::qWait(2 * WaitLimitMs);
    QCOMPARE(failed.size(), 3);
    for (size_t i = 0; i < pair.held.size(); ++i)
        pair.answer(i);
    QTRY_COMPARE(delivered, Deliveries::MaxInFlightPerReceiver);
    QCOMPARE(pair.settledCount(), size_t(Deliveries::MaxInFlightPerReceiver));
}

namespace {
// The longData of each payload in a held Deliver* call, in order.
QList<qint32> numbersIn(sd_bus_message *call)
{
    QList<qint32> numbers;
    sd_bus_message_rewind(call, 1);
    qint32 handle = 0;
    const char *name = nullptr;
    qint32 number = 0;
    if (qstrcmp(sd_bus_message_get_member(call), "DeliverBatch") != 0) {
        if (sd_bus_message_read(call, "isi", &handle, &name, &number) > 0)
            numbers.append(number);
        return numbers;
    }
    sd_bus_message_read(call, "is", &handle, &name);
    sd_bus_message_enter_container(call, 'a', "(iay)");
    while (sd_bus_message_enter_container(call, 'r', "iay") > 0) {
        const void *bytes = nullptr;
        size_t size = 0;
        sd_bus_message_read(call, "i", &number);
        sd_bus_message_read_array(call, 'y', &bytes, &size);
        sd_bus_message_exit_container(call);
        numbers.append(number);
    }
    return numbers;
}

// Deliveries to ":1.a" whose receiver offers `offers` when asked.
struct OfferingReceiver
{
    explicit OfferingReceiver(quint8 offers) : deliveries(pair.sender.get(), nullptr, nullptr)
    {
        deliveries.setOfferSource(
            [this, offers](qint32) -> std::optional<quint8> {
                if (asked > 0)
                    return offers;
                return std::nullopt;
            },
            [this, offers](qint32, QObject *context, std::function<void(quint8)> done) {
                ++asked;
                QMetaObject::invokeMethod(
                    context, [done, offers] { done(offers); }, Qt::QueuedConnection);
            });
    }
    bool deliver(qint32 number)
    {
        SendOutcome why;
        auto body = std::make_shared<Deliveries::Body>(*inlineBody(1, number));
        body->send = quint64(number);
        return deliveries.deliver(1, {}, QStringLiteral(":1.a"), body, &why);
    }

    SocketPair pair;
    Deliveries deliveries;
    int asked = 0;
};
} // namespace

void TestCoreParts::burstsGoInBatches_data()
{
    QTest::addColumn<quint8>("offers");
    QTest::addColumn<QList<int>>("calls"); // payloads in each call, in order

    constexpr int Batch = InterProcBus::MaxBatchPayloads;
    QTest::newRow("a receiver that takes batches")
        << quint8(PartyInfo::OffersBatch) << QList<int>{1, 1, Batch, 300 - 2 - Batch, 1, 9};
    QTest::newRow("one that does not")
        << quint8(PartyInfo::OffersSealedUtf16) << QList<int>(310, 1);
}

void TestCoreParts::burstsGoInBatches()
{
    QFETCH(quint8, offers);
    QFETCH(QList<int>, calls);

    OfferingReceiver receiver(offers);
    SocketPair &pair = receiver.pair;
    QVERIFY(pair.waitOpen());
    int delivered = 0;
    connect(&receiver.deliveries, &Deliveries::delivered, this, [&] { ++delivered; });
    // A lone payload goes at once without asking; the second on its way asks.
    QVERIFY(receiver.deliver(1));
    QTRY_COMPARE(pair.held.size(), size_t(1));
    QCOMPARE(receiver.asked, 0);
    QVERIFY(receiver.deliver(2));
    QTRY_COMPARE(receiver.asked, 1);
    QTest::qWait(50);
    for (int i = 3; i <= 300; ++i)
        QVERIFY(receiver.deliver(i));

    // Answered as the window does: a batch with how many it took. Once all
    // are, a second burst finds the answer kept and asks nothing.
    size_t answered = 0;
    QList<qint32> numbers;
    QList<int> sizes;
    const auto answerUntil = [&](int count) {
        while (delivered < count &&
               QTest::qWaitFor([&] { return pair.held.size() > answered || delivered >= count; })) {
            for (; answered < pair.held.size(); ++answered) {
                sd_bus_message *call = pair.held.at(answered).get();
                const QList<qint32> in = numbersIn(call);
                numbers += in;
                sizes.append(int(in.size()));
                if (in.size() > 1)
                    pair.endOf(answered)->reply(call, "u", quint32(in.size()));
                else
                    pair.answer(answered);
            }
        }
        return QTest::qWaitFor([&] { return delivered == count; });
    };
    QVERIFY(answerUntil(300));
    for (int i = 301; i <= 310; ++i)
        QVERIFY(receiver.deliver(i));
    QVERIFY(answerUntil(310));
    QCOMPARE(sizes, calls);
    for (qsizetype i = 0; i < numbers.size(); ++i)
        QCOMPARE(numbers.at(i), qint32(i + 1));
    QCOMPARE(receiver.asked, 1);
}

void TestCoreParts::batchOutcomes_data()
{
    QTest::addColumn<QString>("answer"); // to a batch of three
    QTest::addColumn<int>("delivered");
    QTest::addColumn<int>("cause"); // of the rest

    QTest::newRow("all handed over") << QStringLiteral("u3") << 3 << int(SendOutcome::Taken);
    QTest::newRow("one, then the window ended")
        << QStringLiteral("u1") << 1 << int(SendOutcome::WentAway);
    QTest::newRow("refused whole") << QStringLiteral("error") << 0 << int(SendOutcome::BusLimits);
    QTest::newRow("no count") << QStringLiteral("empty") << 0 << int(SendOutcome::BatchUnclear);
    QTest::newRow("window ended unanswered")
        << QStringLiteral("noreply") << 0 << int(SendOutcome::BatchUnclear);
    // The connection's loss is told as such, and as uncertain already.
    QTest::newRow("connection lost")
        << QStringLiteral("close") << 0 << int(SendOutcome::BusLostAfterWrite);
}

void TestCoreParts::batchOutcomes()
{
    QFETCH(QString, answer);
    QFETCH(int, delivered);
    QFETCH(int, cause);

    OfferingReceiver receiver(PartyInfo::OffersBatch);
    SocketPair &pair = receiver.pair;
    QVERIFY(pair.waitOpen());
    QList<qint32> taken;
    QList<std::pair<quint64, int>> failed; // send, cause
    connect(&receiver.deliveries, &Deliveries::delivered, this,
            [&](quint64, qint32, const QString &) { taken.append(taken.size() + 1); });
    connect(&receiver.deliveries, &Deliveries::failed, this,
            [&](quint64 send, qint32, const QString &, const SendOutcome &why) {
                failed.append({send, int(why.cause)});
            });
    // Two single calls on their way; the three sent next go together.
    QVERIFY(receiver.deliver(1));
    QVERIFY(receiver.deliver(2));
    QTRY_COMPARE(receiver.asked, 1);
    QTest::qWait(50);
    for (int i = 3; i <= 5; ++i)
        QVERIFY(receiver.deliver(i));
    QTRY_COMPARE(pair.held.size(), size_t(3));
    sd_bus_message *batch = pair.held.at(2).get();
    QCOMPARE(numbersIn(batch), (QList<qint32>{3, 4, 5}));
    taken.clear();
    if (answer == QLatin1String("close"))
        pair.receiver.reset();
    else if (answer == QLatin1String("error") || answer == QLatin1String("noreply"))
        Bus::replyError(pair.endOf(2), batch,
                        answer == QLatin1String("error")
                            ? QStringLiteral("org.freedesktop.DBus.Error.LimitsExceeded")
                            : QStringLiteral("org.freedesktop.DBus.Error.NoReply"),
                        QStringLiteral("no"));
    else if (answer == QLatin1String("empty"))
        QVERIFY(pair.endOf(2)->reply(batch, nullptr));
    else
        QVERIFY(pair.endOf(2)->reply(batch, "u", answer.mid(1).toUInt()));
    // The two single calls still held count too when the window is gone.
    const int ended = answer == QLatin1String("close") ? 5 : 3;
    QTRY_COMPARE(int(taken.size() + failed.size()), ended);
    QCOMPARE(int(taken.size()), delivered);
    for (const auto &[send, why] : std::as_const(failed)) {
        if (send < 3)
            continue; // the single calls: not this test's business
        QCOMPARE(why, cause);
    }
}

void TestCoreParts::inboxBounds_data()
{
    QTest::addColumn<qsizetype>("characters"); // of each payload's text
    QTest::addColumn<qsizetype>("fits");       // from one caller

    QTest::newRow("payloads") << qsizetype(0) << Inbox::MaxWaitingPerCaller;
    const qsizetype inlineMax = InterProcBus::InlineTextLimit / 2; // UTF-16 bytes
    QTest::newRow("text bytes") << inlineMax
                                << qsizetype(Inbox::MaxWaitingTextBytesPerCaller / (2 * inlineMax));
    const qsizetype large = 1024 * 1024;
    QTest::newRow("large text bytes")
        << large << qsizetype(Inbox::MaxWaitingLargeTextBytesPerCaller / (2 * large));
}

void TestCoreParts::inboxBounds()
{
    QFETCH(qsizetype, characters);
    QFETCH(qsizetype, fits);

    // Nothing is handed over: the event loop does not run while it fills.
    Inbox inbox(nullptr);
    const bool large = Inbox::isLarge(characters);
    const QString text(characters, u'x');
    qsizetype taken = 0;
    while (inbox.hasRoom(QStringLiteral("a"), large) && taken <= fits) {
        inbox.enqueue(QStringLiteral("a"), {0, QStringLiteral("a"), 0, text}, {}, nullptr);
        ++taken;
    }
    QCOMPARE(taken, fits);
    QVERIFY(!inbox.refusal(QStringLiteral("a"), large).isEmpty());
    // The bound is one caller's share: another still gets in.
    QVERIFY(inbox.hasRoom(QStringLiteral("b"), large));
}

void TestCoreParts::inboxLanesTakeTurns_data()
{
    QTest::addColumn<QString>("callers");  // one letter per payload, in the order of arrival
    QTest::addColumn<QString>("handedOn"); // caller and its payload's number, in turn

    QTest::newRow("one caller") << "aaa"
                                << "a1 a2 a3";
    QTest::newRow("a flood and one more") << "aaaab"
                                          << "a1 b1 a2 a3 a4";
    QTest::newRow("three callers") << "aaabcc"
                                   << "a1 b1 c1 a2 c2 a3";
    QTest::newRow("interleaved") << "abacbb"
                                 << "a1 b1 c1 a2 b2 b3";
}

void TestCoreParts::inboxLanesTakeTurns()
{
    QFETCH(QString, callers);
    QFETCH(QString, handedOn);

    // Each payload comes with a call over the socket pair, answered as it is
    // handed on.
    SocketPair pair;
    QVERIFY(pair.waitOpen());
    QStringList answered;
    QObject answering; // goes first, with the handlers that fill answered
    QHash<QChar, int> numbers;
    for (const QChar caller : std::as_const(callers)) {
        const QString id = caller + QString::number(++numbers[caller]);
        const BusMessage call = pair.sender->newCall(nullptr, "DeliverUtf8");
        QVERIFY(
            pair.sender->call(call.get(), 5000, &answering, [&answered, id](sd_bus_message *reply) {
                if (reply && !sd_bus_message_is_method_error(reply, nullptr))
                    answered.append(id);
            }));
    }
    QTRY_COMPARE(pair.held.size(), size_t(callers.size()));

    Inbox inbox(nullptr);
    QStringList arrived;
    connect(&inbox, &Inbox::arrived, this,
            [&](qint32, const QString &name, qint32 number, const QString &) {
                arrived.append(name + QString::number(number));
            });
    numbers.clear();
    for (qsizetype i = 0; i < callers.size(); ++i) {
        const QChar caller = callers.at(i);
        inbox.enqueue(caller, {0, caller, ++numbers[caller], {}}, pair.held.at(size_t(i)),
                      pair.receiver.get());
    }
    const QStringList expected = handedOn.split(u' ');
    QTRY_COMPARE(arrived, expected);
    QTRY_COMPARE(answered.size(), expected.size());
    QCOMPARE(answered, expected);
}

void TestCoreParts::batchAnsweredForWhatWasHandedOver_data()
{
    QTest::addColumn<int>("endAfter"); // the inbox goes in the handler of this payload
    QTest::addColumn<int>("handedOver");

    QTest::newRow("all three") << 0 << 3;
    QTest::newRow("the inbox gone after the first") << 1 << 1;
    QTest::newRow("after the second") << 2 << 2;
}

void TestCoreParts::batchAnsweredForWhatWasHandedOver()
{
    QFETCH(int, endAfter);
    QFETCH(int, handedOver);

    SocketPair pair;
    QVERIFY(pair.waitOpen());
    int answered = -1;
    const BusMessage call = pair.sender->newCall(nullptr, "DeliverBatch");
    QVERIFY(pair.sender->call(call.get(), 5000, this, [&](sd_bus_message *reply) {
        quint32 taken = 0;
        if (reply && sd_bus_message_read(reply, "u", &taken) > 0)
            answered = int(taken);
    }));
    QTRY_COMPARE(pair.held.size(), size_t(1));

    auto *inbox = new Inbox(nullptr);
    int arrived = 0;
    connect(inbox, &Inbox::arrived, this, [&] {
        if (++arrived == endAfter)
            delete inbox;
    });
    const QString caller = QStringLiteral("a");
    inbox->enqueue(caller, {{0, caller, 1, {}}, {0, caller, 2, {}}, {0, caller, 3, {}}}, true,
                   pair.held.at(0), pair.receiver.get());
    QTRY_COMPARE(answered, handedOver);
    QCOMPARE(arrived, handedOver);
    if (endAfter == 0)
        delete inbox;
}

void TestCoreParts::senderHandlesAreChecked_data()
{
    QTest::addColumn<qint32>("handle");
    QTest::addColumn<QString>("known");   // the owner the directory names
    QTest::addColumn<bool>("ready");      // the directory follows the bus
    QTest::addColumn<bool>("behind");     // and has not taken in all it was told
    QTest::addColumn<QString>("busSays"); // the answer to the question, or none asked
    QTest::addColumn<bool>("taken");

    const QString none;
    const QString nobody = QStringLiteral("nobody");
    QTest::newRow("no window") << 0 << none << true << false << none << true;
    QTest::newRow("negative") << -5 << none << true << false << none << false;
    QTest::newRow("the caller's") << 5 << Caller << true << false << none << true;
    QTest::newRow("another's") << 5 << Other << true << false << none << false;
    QTest::newRow("another's, changed hands") << 5 << Other << true << true << Caller << true;
    QTest::newRow("another's, still") << 5 << Other << true << true << Other << false;
    QTest::newRow("another's, loading") << 5 << Other << false << false << Caller << true;
    QTest::newRow("unknown, the caller's") << 5 << none << true << false << Caller << true;
    QTest::newRow("unknown, nobody's") << 5 << none << true << false << nobody << false;
}

void TestCoreParts::senderHandlesAreChecked()
{
    QFETCH(qint32, handle);
    QFETCH(QString, known);
    QFETCH(bool, ready);
    QFETCH(bool, behind);
    QFETCH(QString, busSays);
    QFETCH(bool, taken);

    SocketPair pair;
    QVERIFY(pair.waitOpen());
    QHash<QString, QString> answers;
    QObject answering; // goes first, with the handlers that fill answers
    QVERIFY(placeCalls(pair, {QStringLiteral("call")}, &answering, &answers));
    TestOwners owners;
    if (!known.isEmpty())
        owners.known.insert(5, known);
    owners.ready = ready;
    owners.behind = behind;
    Inbox inbox(nullptr);
    int arrived = 0;
    connect(&inbox, &Inbox::arrived, this, [&] { ++arrived; });
    Admission admission(&owners, &inbox, nullptr);

    admission.admit({pair.held.at(0), pair.receiver.get(), Caller},
                    {handle, QStringLiteral("tst"), 1, QStringLiteral("text")});
    QCOMPARE(owners.asked.size(), busSays.isEmpty() ? 0 : 1);
    if (!busSays.isEmpty()) {
        QCOMPARE(owners.asked.constFirst().handle, handle);
        owners.answer(busSays == QLatin1String("nobody") ? QString() : busSays);
    }
    QTRY_VERIFY(answers.contains(QStringLiteral("call")));
    QCOMPARE(answers.value(QStringLiteral("call")),
             taken ? QStringLiteral("ok") : QString::fromLatin1(InterProcBus::ErrorSenderMismatch));
    QCOMPARE(arrived, taken ? 1 : 0);
}

void TestCoreParts::heldCallsKeepTheirCallersOrder()
{
    // A caller's payloads behind one whose sender is being asked for wait
    // for it; another caller's do not. A handle the bus said nobody owns
    // is refused at once from then on.
    SocketPair pair;
    QVERIFY(pair.waitOpen());
    QHash<QString, QString> answers;
    const QStringList ids = {"a1", "a2", "b1", "a3", "a4", "a5"};
    const QList<qint32> handles = {5, 0, 0, 0, 6, 6};
    const QStringList callers = {Caller, Caller, Other, Caller, Caller, Caller};
    QObject answering;
    QVERIFY(placeCalls(pair, ids, &answering, &answers));
    TestOwners owners;
    Inbox inbox(nullptr);
    QStringList arrived;
    connect(&inbox, &Inbox::arrived, this,
            [&](qint32, const QString &name, qint32, const QString &) { arrived.append(name); });
    Admission admission(&owners, &inbox, nullptr);

    for (qsizetype i = 0; i < 4; ++i)
        admission.admit({pair.held.at(size_t(i)), pair.receiver.get(), callers.at(i)},
                        {handles.at(i), ids.at(i), 0, QString()});
    QTRY_COMPARE(arrived, QStringList{"b1"});
    QCOMPARE(owners.asked.size(), 1);
    owners.answer(Caller);
    QTRY_COMPARE(arrived, (QStringList{"b1", "a1", "a2", "a3"}));

    admission.admit({pair.held.at(4), pair.receiver.get(), Caller}, {6, ids.at(4), 0, QString()});
    QCOMPARE(owners.asked.size(), 1);
    owners.answer(QString());
    admission.admit({pair.held.at(5), pair.receiver.get(), Caller}, {6, ids.at(5), 0, QString()});
    QVERIFY(owners.asked.isEmpty());
    QTRY_COMPARE(answers.size(), ids.size());
    for (const char *refused : {"a4", "a5"})
        QCOMPARE(answers.value(QLatin1String(refused)),
                 QString::fromLatin1(InterProcBus::ErrorSenderMismatch));
    QCOMPARE(arrived.size(), 4);
}

void TestCoreParts::heldCallsAreBounded()
{
    // While a caller's sender is being asked for, its calls wait, up to a
    // bound per caller; past it they are refused at once, and another
    // caller's calls are still taken.
    constexpr int Bound = 4096;
    SocketPair pair;
    QVERIFY(pair.waitOpen());
    QHash<QString, QString> answers;
    QStringList ids;
    for (int i = 0; i <= Bound; ++i)
        ids.append(QString::number(i));
    ids.append(QStringLiteral("other"));
    QObject answering;
    QVERIFY(placeCalls(pair, ids, &answering, &answers));
    TestOwners owners;
    Inbox inbox(nullptr);
    int arrived = 0;
    connect(&inbox, &Inbox::arrived, this, [&] { ++arrived; });
    Admission admission(&owners, &inbox, nullptr);

    for (int i = 0; i <= Bound; ++i)
        admission.admit({pair.held.at(size_t(i)), pair.receiver.get(), Caller},
                        {5, ids.at(i), 0, QString()});
    admission.admit({pair.held.back(), pair.receiver.get(), Other}, {0, ids.last(), 0, QString()});
    QTRY_COMPARE(answers.size(), 2);
    QCOMPARE(answers.value(QString::number(Bound)),
             QStringLiteral("org.freedesktop.DBus.Error.LimitsExceeded"));
    QCOMPARE(answers.value(QStringLiteral("other")), QStringLiteral("ok"));
    QCOMPARE(owners.asked.size(), 1);
    owners.answer(Caller);
    QTRY_COMPARE(answers.size(), ids.size());
    QCOMPARE(arrived, Bound + 1);
}

void TestCoreParts::channelWaitsForTheBus()
{
    Routing r;
    QVERIFY(r.pair.waitOpen());
    // Each null route stands for a delivery over the bus, answered when the
    // test says.
    QVERIFY(!r.router.route(Caller));
    r.router.busDeliveryAnswered(Caller);
    QVERIFY(r.offerChannel());
    QVERIFY(!r.router.route(Caller)); // connected, not attached
    r.pair.answer(2);
    QVERIFY(r.pair.roundTrip(2));
    QVERIFY(!r.router.route(Caller)); // attached, one still on its way over the bus
    r.router.busDeliveryAnswered(Caller);
    QVERIFY(!r.router.route(Caller)); // and the one just made
    r.router.busDeliveryAnswered(Caller);
    r.router.busDeliveryAnswered(Caller);
    BusConnection *channel = r.router.route(Caller);
    QVERIFY(channel && channel != r.pair.sender.get());
    QCOMPARE(r.router.route(Caller), channel);
    QCOMPARE(r.pair.settledCount("OpenDirectChannel"), size_t(1));
}

void TestCoreParts::noOfferKeepsTheBus_data()
{
    QTest::addColumn<QByteArray>("address"); // DIR: the runtime directory; none: an error
    QTest::addColumn<int>("tokenBytes");

    const QByteArray socket = "/" + ChannelAddress::socketName("01234567");
    const int bytes = ChannelAddress::TokenBytes;
    QTest::newRow("error") << QByteArray() << bytes;
    QTest::newRow("elsewhere") << QByteArray("unix:path=/tmp" + socket) << bytes;
    QTest::newRow("two addresses")
        << QByteArray("unix:path=DIR" + socket + ";tcp:host=localhost") << bytes;
    QTest::newRow("short token") << QByteArray("unix:path=DIR" + socket) << bytes - 1;
}

void TestCoreParts::noOfferKeepsTheBus()
{
    QFETCH(QByteArray, address);
    QFETCH(int, tokenBytes);

    Routing r;
    QVERIFY(r.pair.waitOpen());
    QVERIFY(!r.router.route(Caller));
    QTRY_COMPARE(r.pair.held.size(), size_t(1));
    if (address.isEmpty())
        Bus::replyError(r.pair.endOf(0), r.pair.held.at(0).get(),
                        QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"), QString());
    else
        offer(r.pair, 0, address.replace("DIR", QFile::encodeName(m_runtimeDir.path())),
              QByteArray(tokenBytes, 't'));
    QVERIFY(r.pair.roundTrip(0));
    for (int i = 0; i < 3; ++i) {
        QVERIFY(!r.router.route(Caller));
        r.router.busDeliveryAnswered(Caller);
    }
    QCOMPARE(r.pair.settledCount(), size_t(1)); // asked once, and nothing more
}

void TestCoreParts::droppedChannels_data()
{
    QTest::addColumn<QString>("event");
    QTest::addColumn<bool>("kept");     // route still gives the channel
    QTest::addColumn<int>("openCalls"); // OpenDirectChannel asked, in all

    QTest::newRow("window left") << "forget" << false << 2;
    QTest::newRow("channel closed") << "closed" << false << 1;
    QTest::newRow("refused, channel open") << "refused" << true << 1;
}

void TestCoreParts::droppedChannels()
{
    QFETCH(QString, event);
    QFETCH(bool, kept);
    QFETCH(int, openCalls);

    Routing r;
    QVERIFY(r.pair.waitOpen());
    QVERIFY(!r.router.route(Caller));
    r.router.busDeliveryAnswered(Caller);
    QVERIFY(r.offerChannel());
    r.pair.answer(2);
    QVERIFY(r.pair.roundTrip(2));
    const QPointer<BusConnection> channel = r.router.route(Caller);
    QVERIFY(channel);

    if (event == "forget") {
        r.router.forget(Caller);
    } else if (event == "refused") {
        r.router.directDeliveryFailed(Caller);
    } else {
        // A delivery on its way learns of it as the channel closes.
        bool failed = false;
        const BusMessage call = channel->newCall(nullptr, "DeliverUtf8");
        QVERIFY(channel->call(call.get(), 5000, &r.router, [&](sd_bus_message *) {
            r.router.directDeliveryFailed(Caller);
            failed = true;
        }));
        ::shutdown(sd_bus_get_fd(r.pair.endOf(2)->bus()), SHUT_RDWR);
        QTRY_VERIFY(failed);
    }
    QCOMPARE(r.router.route(Caller), kept ? channel.get() : nullptr);
    QCOMPARE(r.pair.settledCount("OpenDirectChannel"), size_t(openCalls));
}

void TestCoreParts::directoryLoads()
{
    SocketPair pair;
    const auto directory = directoryOn(pair, {{4, ":1.4", "self"},
                                              {5, ":1.5", "alpha one"},
                                              {6, ":1.6", "alpha two"},
                                              {7, ":1.7", {}},
                                              {9, ":1.9", "!"}});
    QVERIFY(directory);
    constexpr int RetryFirstMs = 20;
    directory->setRetryFirstMs(RetryFirstMs);
    // An endpoint of this thread owns window 4; when it is told that the
    // directory caught up, the others that answered are known by caption.
    int told = 0;
    QList<qint32> known;
    directory->attach(
        [&] {
            ++told;
            known = handles(directory->match(SearchMethod::CaptionPrefix, QString()));
        },
        4, QStringLiteral(":1.4"), QStringLiteral("self"));
    const auto asked = [&](const QByteArray &owner) {
        QList<qint64> when;
        for (size_t i = 0; i < pair.held.size(); ++i)
            if (pair.member(i) == "Describe" && pair.destination(i) == owner)
                when.append(pair.heldAt.at(i));
        return when;
    };

    // Window 7 never answers: the directory is loaded long before that call
    // times out (ReadyWithinMs after the names are listed).
    QTRY_VERIFY_WITH_TIMEOUT(directory->isLoaded(), 1000);
    QCOMPARE(told, 1);
    QCOMPARE(known, (QList<qint32>{4, 5, 6}));
    QCOMPARE(asked(":1.7").size(), 1);
    QCOMPARE(directory->ownerOf(7), QStringLiteral(":1.7"));
    const struct
    {
        qint32 method;
        QVariant target;
        QList<qint32> found;
    } matches[] = {
        {SearchMethod::ExactCaption, QStringLiteral("alpha one"), {5}},
        {SearchMethod::ExactCaption, QStringLiteral("alpha"), {}},
        {SearchMethod::CaptionPrefix, QStringLiteral("alpha"), {5, 6}},
        {SearchMethod::CaptionPrefix, QString(), {4, 5, 6}}, // 7 and 9 told none
        {SearchMethod::WindowHandle, 7, {7}},
        {SearchMethod::WindowHandle, 8, {}},
    };
    for (const auto &m : matches)
        QCOMPARE(handles(directory->match(m.method, m.target)), m.found);

    // Window 9 is asked again after a delay that doubles, DescribeAttempts
    // (5) times in all, and then no more.
    QTRY_COMPARE(asked(":1.9").size(), 5);
    QTest::qWait(RetryFirstMs << 5); // twice the delay a sixth would come after
    const QList<qint64> when = asked(":1.9");
    QCOMPARE(when.size(), 5);
    for (qsizetype i = 1; i < when.size(); ++i) // both clocks count whole ms
        QVERIFY2(when.at(i) - when.at(i - 1) >= (RetryFirstMs << (i - 1)) - 1,
                 qPrintable(QStringLiteral("attempt %1 after %2 ms")
                                .arg(i + 1)
                                .arg(when.at(i) - when.at(i - 1))));
    QVERIFY(!directory->windows().value(9).captionKnown);
}

void TestCoreParts::directoryFollowsTheBus_data()
{
    QTest::addColumn<QByteArray>("from");  // the signal's sender: the daemon or a window
    QTest::addColumn<qint32>("handle");    // the window it is about
    QTest::addColumn<QByteArray>("value"); // its new owner, or its new caption
    QTest::addColumn<QString>("owner");    // the window's owner then
    QTest::addColumn<QString>("caption");  // and its caption, empty when not known

    const QByteArray daemon = "org.freedesktop.DBus";
    QTest::newRow("joins") << daemon << 8 << QByteArray(":1.8") << ":1.8" << QString();
    QTest::newRow("changes hands") << daemon << 5 << QByteArray(":1.50") << ":1.50" << QString();
    QTest::newRow("leaves") << daemon << 5 << QByteArray() << QString() << QString();
    QTest::newRow("renamed by its owner") << QByteArray(":1.5") << 5 << QByteArray("beta") << ":1.5"
                                          << "beta";
    QTest::newRow("renamed by another") << QByteArray(":1.6") << 5 << QByteArray("beta") << ":1.5"
                                        << "alpha one";
}

void TestCoreParts::directoryFollowsTheBus()
{
    QFETCH(QByteArray, from);
    QFETCH(qint32, handle);
    QFETCH(QByteArray, value);
    QFETCH(QString, owner);
    QFETCH(QString, caption);

    SocketPair pair;
    const auto directory = directoryOn(pair, {{5, ":1.5", "alpha one"}, {6, ":1.6", "alpha two"}});
    QVERIFY(directory);
    QStringList left;
    connect(directory.get(), &ThreadDirectory::windowLeft, this,
            [&](const QString &gone) { left.append(gone); });
    QTRY_COMPARE(handles(directory->match(SearchMethod::CaptionPrefix, QStringLiteral("alpha"))),
                 (QList<qint32>{5, 6}));

    const QByteArray oldOwner = directory->ownerOf(handle).toUtf8();
    if (from.startsWith(':'))
        QVERIFY(pair.emitFrom(from.constData(), InterProcBus::ObjectPath, InterProcBus::Interface,
                              "CaptionChanged", "is", handle, value.constData()));
    else
        QVERIFY(pair.emitFrom(from.constData(), "/org/freedesktop/DBus", "org.freedesktop.DBus",
                              "NameOwnerChanged", "sss",
                              InterProcBus::serviceForHandle(handle).toUtf8().constData(),
                              oldOwner.constData(), value.constData()));
    QVERIFY(pair.roundTrip(0)); // the directory has taken the signal in
    QCOMPARE(directory->ownerOf(handle), owner);
    QCOMPARE(directory->windows().contains(handle), !owner.isEmpty());
    const PartyInfo window = directory->windows().value(handle);
    QCOMPARE(window.captionKnown ? window.caption : QString(), caption);
    QCOMPARE(left, owner.isEmpty() ? QStringList{":1.5"} : QStringList());
}

void TestCoreParts::directoryBehindWhileUnread()
{
    SocketPair pair;
    const auto directory = directoryOn(pair, {});
    QVERIFY(directory);
    QTRY_VERIFY(!pair.held.empty());
    QVERIFY(pair.roundTrip(0));
    QVERIFY(!directory->isBehind());
    QVERIFY(pair.emitFrom("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                          "NameOwnerChanged", "sss",
                          InterProcBus::serviceForHandle(8).toUtf8().constData(), "", ":1.8"));
    sd_bus_flush(pair.receiver->bus());
    // No event loop has run since: the signal waits in the directory's socket.
    QVERIFY(directory->isBehind());
    QTRY_VERIFY(!directory->isBehind());
    QCOMPARE(directory->ownerOf(8), QStringLiteral(":1.8"));
}

QTEST_GUILESS_MAIN(TestCoreParts)
#include "tst_coreparts.moc"
