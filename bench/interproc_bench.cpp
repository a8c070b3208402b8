// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The benchmark driver: measures InterProc between processes on the session
// bus, and bare QtDBus as its baseline, in the same run. Hosts one instance
// itself and starts the tests' peer program (tests/support) and dbus_echo
// (next to this program) for the other side. Prints "RESULT <key> <value>" lines:
//
//   interproc_bench roundtrip <iterations>
//       Send, the peer sends it back by SenderHandle, local DataArrival:
//       ipc_rt_p50_us, ipc_rt_p99_us; one asynchronous QtDBus call and its
//       reply: dbus_rt_p50_us, dbus_rt_p99_us; a QtDBus call answered by a
//       call back, the messages InterProc's round trip takes: dbus2_rt_p50_us
//   interproc_bench throughput <payloads>
//       that many payloads sent at once, until the receiver has them all, in
//       order: ipc_per_s; as many asynchronous QtDBus calls: dbus_per_s
//   interproc_bench bigtext <bytes>...
//       a text of that many UTF-8 bytes, from Send until the receiver's
//       DataArrival, checked by its SHA-256, after one text of 128 KiB went
//       to the same receiver: ipc_text_ms_<bytes>; the CPU
//       time of this program's main thread from Send until the delivery's
//       reply came back, all the time Send keeps the owner's thread busy:
//       ipc_send_busy_ms_<bytes>. Baselines of the same run: one memcpy of
//       the text's UTF-16 storage (the bytes a receiver ends up holding)
//       into memory not touched before, copy_fresh_ms_<bytes>, and into
//       memory written just before, copy_touched_ms_<bytes>. The targets
//       are ipc_text_ms <= 2x copy_fresh_ms and <= 3x copy_touched_ms, and
//       ipc_send_busy_ms about 0.01-0.03x copy_fresh_ms.
//   interproc_bench bigtextcjk <bytes>...
//       the same for a text mostly of Chinese characters (three bytes of
//       UTF-8, one UTF-16 unit each): ipc_cjk_text_ms_<bytes>,
//       ipc_cjk_send_busy_ms_<bytes>, copy_cjk_fresh_ms_<bytes>,
//       copy_cjk_touched_ms_<bytes>
//   interproc_bench broadcast <iterations> <receivers>...
//       one Send by caption prefix until every receiver's answer arrived:
//       broadcast_us_<receivers>; a send by exact caption and its answer:
//       unicast_rt_us; QtDBus calls to that many services at once until each
//       called back: dbus_fanout_us_<receivers> (medians)
//   interproc_bench many <endpoints>
//       that many endpoints in this one process, from construction until
//       every one is ready: many_ready_ms_<n>; the resident memory they add:
//       many_mib_<n>; deleting them all: many_teardown_ms_<n>
#include "benchdriver.h"
#include "interproc.h"
#include "interprocendpoint.h"
#include <InterProc/interprocbus.h>

#include <QApplication>
#include <QCryptographicHash>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QWidget>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include <sys/mman.h>

using Bench::expectLine;
using Bench::fail;
using Bench::positiveNumbers;
using Bench::result;
using Bench::spinUntil;
using TestSupport::LineProcess;

namespace {

const QString SmallText = QStringLiteral("a small payload"); // run.sh knows its size
const QString BaselineInterface = QStringLiteral("org.calvorn.Bench");
const QString BaselinePath = QStringLiteral("/bench");
// A peer that sends every payload back, and reports none.
const QStringList EchoOptions = {QStringLiteral("--quiet"), QStringLiteral("--echo")};

double percentile(std::vector<qint64> samples, double p)
{
    std::sort(samples.begin(), samples.end());
    const size_t rank = size_t(std::ceil(p * double(samples.size())));
    return double(samples.at(std::max<size_t>(rank, 1) - 1));
}

// CPU time of the calling thread, whatever else runs on the machine.
double threadCpuMs()
{
    timespec ts = {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

double median(const std::vector<qint64> &samples)
{
    return percentile(samples, 0.5);
}

int warmUpFor(int iterations)
{
    return std::max(iterations / 10, 1);
}

// The local window and its instance.
struct Host
{
    Host()
    {
        window.setWindowTitle(QStringLiteral("Bench Driver"));
        ipc = new InterProc(&window);
        if (!ipc->isConnected())
            fail(ipc->errorString());
        QObject::connect(ipc, &InterProc::errorOccurred, ipc, [](const QString &message) {
            fail(QStringLiteral("InterProc: ") + message);
        });
        spinUntil([this] { return ipc->isReady(); }, "the instance to know the bus");
    }

    void address(qint32 method, const QVariant &target)
    {
        ipc->setTargetSearchMethod(method);
        ipc->setTarget(target);
    }

    // Waits until a send to the current address would reach `count` windows;
    // sends nothing meanwhile.
    void waitForAddressees(int count)
    {
        int seen = 0;
        const auto probe = QObject::connect(
            ipc, &InterProc::WindowCheck, ipc,
            [&seen](qint32, const QString &, bool &skip) {
                ++seen;
                skip = true;
            },
            Qt::DirectConnection);
        spinUntil(
            [&] {
                seen = 0;
                ipc->Send();
                return seen == count;
            },
            "the receivers to be known");
        QObject::disconnect(probe);
    }

    QWidget window;
    InterProc *ipc;
};

// Sends SmallText to the current address and waits for `answers` payloads
// carrying it back, `iterations` times after a warm-up; the time of each.
std::vector<qint64> timeRounds(Host &host, int iterations, int answers)
{
    const int rounds = warmUpFor(iterations) + iterations;
    std::vector<qint64> samples;
    int round = 0;
    int arrived = 0;
    qint64 start = 0;
    auto sendRound = [&] {
        host.ipc->setLongData(round);
        start = TestSupport::nowNs();
        if (host.ipc->Send() != answers)
            fail(QStringLiteral("a send did not reach %1 windows").arg(answers));
    };
    const auto connection =
        QObject::connect(host.ipc, &InterProc::DataArrival, host.ipc,
                         [&](qint32, const QString &, qint32 number, const QString &text) {
                             if (number != round || text != SmallText)
                                 fail(QStringLiteral("an answer came back wrong"));
                             if (++arrived < answers)
                                 return;
                             samples.push_back(TestSupport::nowNs() - start);
                             arrived = 0;
                             if (++round < rounds)
                                 sendRound(); // from inside DataArrival, as a window would
                         });
    host.ipc->setStringData(SmallText);
    sendRound();
    spinUntil([&] { return round == rounds; }, "the answers");
    QObject::disconnect(connection);
    samples.erase(samples.begin(), samples.end() - iterations);
    return samples;
}

// What a bare QtDBus program exports to be called back (see dbus_echo).
class CallBack : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.calvorn.Bench")

public:
    std::function<void(int, const QByteArray &)> onBack;

public slots:
    void Back(int number, const QByteArray &text) { onBack(number, text); }
};

// The baseline's side in this process: a connection of its own that owns
// org.calvorn.Bench.Driver, for dbus_echo's calls back.
struct Baseline
{
    Baseline()
        : bus(QDBusConnection::connectToBus(QDBusConnection::SessionBus,
                                            QStringLiteral("baseline")))
    {
        if (!bus.registerObject(BaselinePath, &back, QDBusConnection::ExportAllSlots) ||
            !bus.registerService(QStringLiteral("org.calvorn.Bench.Driver")))
            fail(QStringLiteral("cannot export the baseline: ") + bus.lastError().message());
    }

    // Calls method on service and runs onReply with the reply, on the
    // event loop.
    void call(const QString &service, const QString &method, int number, const QByteArray &text,
              const std::function<void(const QDBusMessage &)> &onReply = {})
    {
        QDBusMessage call =
            QDBusMessage::createMethodCall(service, BaselinePath, BaselineInterface, method);
        call << number << text;
        auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), &back);
        QObject::connect(watcher, &QDBusPendingCallWatcher::finished, &back,
                         [onReply](QDBusPendingCallWatcher *w) {
                             w->deleteLater();
                             if (w->isError())
                                 fail(QStringLiteral("a QtDBus call failed: ") +
                                      w->error().message());
                             if (onReply)
                                 onReply(w->reply());
                         });
    }

    QDBusConnection bus;
    CallBack back;
};

QString baselineService(int i)
{
    return QStringLiteral("org.calvorn.Bench.Echo%1").arg(i);
}

std::vector<std::unique_ptr<LineProcess>> startBaselineServices(int count)
{
    return Bench::startHelpers(QStringLiteral("dbus_echo"), count,
                               [](int i) { return QStringList{baselineService(i)}; });
}

// The bare QtDBus counterpart of timeRounds: calls Bounce on the first
// `services` baseline services at once and waits until each called Back.
std::vector<qint64> timeBounces(Baseline &baseline, int iterations, int services)
{
    const int rounds = warmUpFor(iterations) + iterations;
    const QByteArray text = SmallText.toUtf8();
    std::vector<qint64> samples;
    int round = 0;
    int arrived = 0;
    qint64 start = 0;
    auto callRound = [&] {
        start = TestSupport::nowNs();
        for (int i = 0; i < services; ++i)
            baseline.call(baselineService(i), QStringLiteral("Bounce"), round, text);
    };
    baseline.back.onBack = [&](int number, const QByteArray &echoed) {
        if (number != round || echoed != text)
            fail(QStringLiteral("a call back came wrong"));
        if (++arrived < services)
            return;
        samples.push_back(TestSupport::nowNs() - start);
        arrived = 0;
        if (++round < rounds)
            callRound();
    };
    callRound();
    spinUntil([&] { return round == rounds; }, "the calls back");
    samples.erase(samples.begin(), samples.end() - iterations);
    return samples;
}

void roundTrip(int iterations)
{
    {
        Host host;
        const auto echo = Bench::startPeer(QStringLiteral("Echo"), EchoOptions);
        host.address(InterProc::WindowHandle, echo->handle());
        host.waitForAddressees(1);
        const std::vector<qint64> samples = timeRounds(host, iterations, 1);
        result("ipc_rt_p50_us", percentile(samples, 0.50) / 1e3);
        result("ipc_rt_p99_us", percentile(samples, 0.99) / 1e3);
    }

    Baseline baseline;
    const auto services = startBaselineServices(1);
    const QByteArray text = SmallText.toUtf8();
    const int rounds = warmUpFor(iterations) + iterations;
    std::vector<qint64> samples;
    int round = 0;
    std::function<void()> call = [&] {
        const qint64 start = TestSupport::nowNs();
        baseline.call(baselineService(0), QStringLiteral("Echo"), round, text,
                      [&, start](const QDBusMessage &reply) {
                          samples.push_back(TestSupport::nowNs() - start);
                          if (reply.arguments().value(0).toInt() != round ||
                              reply.arguments().value(1).toByteArray() != text)
                              fail(QStringLiteral("the echo came back wrong"));
                          if (++round < rounds)
                              call();
                      });
    };
    call();
    spinUntil([&] { return round == rounds; }, "the echoes");
    samples.erase(samples.begin(), samples.end() - iterations);
    result("dbus_rt_p50_us", percentile(samples, 0.50) / 1e3);
    result("dbus_rt_p99_us", percentile(samples, 0.99) / 1e3);
    result("dbus2_rt_p50_us", median(timeBounces(baseline, iterations, 1)) / 1e3);
}

// Starts a round of n at the sink, lets send(i) send the i-th of them and
// returns the payloads per second until the sink had all n, in order.
double timeFlood(LineProcess &sink, int n, const std::function<void(int)> &send)
{
    sink.command("expect " + QByteArray::number(n));
    expectLine(sink, "EXPECTING");
    const qint64 start = TestSupport::nowNs();
    for (int i = 1; i <= n; ++i)
        send(i);
    // Waits in the event loop, as an application would: a wait that sleeps
    // between looks would hold up the sender's own deliveries.
    spinUntil(
        [&] {
            return sink.countReceivedLines("DONE") + sink.countReceivedLines("FAILED ") +
                       sink.countReceivedLines("ERROR ") >
                   0;
        },
        "the receiver's count");
    const QList<QByteArray> done = expectLine(sink, "DONE");
    if (done.value(1).toInt() != n || done.value(2) != "1")
        fail(QStringLiteral("the payloads arrived out of order"));
    return n / (double(done.value(3).toLongLong() - start) / 1e9);
}

void throughput(int payloads)
{
    {
        Host host;
        const auto sink = Bench::startPeer(QStringLiteral("Sink"), {QStringLiteral("--quiet")});
        host.address(InterProc::WindowHandle, sink->handle());
        host.waitForAddressees(1);
        host.ipc->setStringData(SmallText);
        auto send = [&](int i) {
            host.ipc->setLongData(i);
            host.ipc->Send();
        };
        timeFlood(*sink, warmUpFor(payloads), send);
        result("ipc_per_s", timeFlood(*sink, payloads, send));
    }

    Baseline baseline;
    const auto services = startBaselineServices(1);
    const QByteArray text = SmallText.toUtf8();
    int unanswered = 0;
    auto send = [&](int i) {
        ++unanswered;
        baseline.call(baselineService(0), QStringLiteral("Take"), i, text,
                      [&](const QDBusMessage &) { --unanswered; });
    };
    timeFlood(*services[0], warmUpFor(payloads), send);
    const double perSecond = timeFlood(*services[0], payloads, send);
    spinUntil([&] { return unanswered == 0; }, "the replies");
    result("dbus_per_s", perSecond);
}

// One memcpy of the UTF-16 storage of the text bigText() sent: into fresh
// memory, which pays a page fault for each page as a receiver does, and
// into memory already written, which does not.
void copyBaselines(const QString &text, qint64 bytes, const QByteArray &kind)
{
    const size_t size = size_t(text.size()) * sizeof(char16_t);
    const auto copy = [&](char *to) {
        const qint64 start = TestSupport::nowNs();
        std::memcpy(to, text.constData(), size);
        const qint64 end = TestSupport::nowNs();
        if (std::memcmp(to, text.constData(), size) != 0)
            fail(QStringLiteral("memcpy"));
        return double(end - start) / 1e6;
    };
    // Mapped here rather than allocated, which could hand back memory freed
    // just before.
    void *const fresh =
        ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (fresh == MAP_FAILED)
        fail(QStringLiteral("mmap"));
    result("copy_" + kind + "fresh_ms_" + QByteArray::number(bytes),
           copy(static_cast<char *>(fresh)));
    result("copy_" + kind + "touched_ms_" + QByteArray::number(bytes),
           copy(static_cast<char *>(fresh)));
    ::munmap(fresh, size);
}

// A line of Chinese text with a character beyond the BMP, 64 bytes of UTF-8.
constexpr std::string_view ChineseLine =
    "\xE4\xB8\xAD\xE6\x96\x87\xE6\x96\x87\xE6\x9C\xAC\xE7\x9A\x84\xE4\xB8\x80\xE8\xA1\x8C"
    "\xEF\xBC\x8C\xE9\x95\xBF\xE5\xBA\xA6\xE5\x9B\xBA\xE5\xAE\x9A\xE3\x80\x82\xF0\x9F\x98\x80"
    "\xE5\x86\x8D\xE8\xA7\x81\xE5\x90\xA7\xE5\x95\x8A\xE5\x97\xAF\xE5\x91\xA2!\r\n";
static_assert(ChineseLine.size() == 64);

// kind: empty for TypicalLine, "cjk_" for ChineseLine.
void bigText(const QList<qint64> &sizes, std::string_view pattern = TestSupport::TypicalLine,
             const QByteArray &kind = QByteArray())
{
    Host host;
    const auto receiver = Bench::startPeer(QStringLiteral("Hash"), {QStringLiteral("--digest")});
    host.address(InterProc::WindowHandle, receiver->handle());
    host.waitForAddressees(1);
    int delivered = 0;
    QObject::connect(host.ipc, &InterProc::delivered, host.ipc, [&delivered] { ++delivered; });
    // The first large text to a window also asks it what it takes (Features)
    // and starts both sides' worker threads, about 3 ms once: a text of
    // twice the inline limit goes first, so that the figures are the route's.
    host.ipc->setStringData(QString(2 * InterProcBus::InlineTextLimit, u'w'));
    host.ipc->Send();
    spinUntil([&] { return delivered > 0; }, "the first large text's reply");
    expectLine(*receiver, "DIGEST");
    for (const qint64 bytes : sizes) {
        QByteArray utf8(bytes, Qt::Uninitialized);
        TestSupport::fillUtf8(utf8.data(), size_t(bytes), pattern);
        const QByteArray hash = QCryptographicHash::hash(utf8, QCryptographicHash::Sha256).toHex();
        const QString text = QString::fromUtf8(utf8);
        utf8 = QByteArray();
        host.ipc->setStringData(text);

        const int deliveredBefore = delivered;
        const double cpuStart = threadCpuMs();
        const qint64 start = TestSupport::nowNs();
        host.ipc->Send();
        // Waits in the event loop, as an application would, before it polls
        // the receiver's output.
        spinUntil([&] { return delivered > deliveredBefore; }, "the delivery's reply");
        const double busyMs = threadCpuMs() - cpuStart;
        const QList<QByteArray> arrival = expectLine(*receiver, "DIGEST");
        if (arrival.value(2).toLongLong() != bytes || arrival.value(3) != hash)
            fail(QStringLiteral("the text of %1 bytes arrived damaged").arg(bytes));
        result("ipc_" + kind + "text_ms_" + QByteArray::number(bytes),
               double(arrival.value(1).toLongLong() - start) / 1e6);
        result("ipc_" + kind + "send_busy_ms_" + QByteArray::number(bytes), busyMs);
        host.ipc->setStringData(QString());
        copyBaselines(text, bytes, kind);
    }
}

void broadcast(int iterations, const QList<int> &groups)
{
    Host host;
    Baseline baseline;
    bool unicastDone = false;
    for (const int size : groups) {
        {
            const QString prefix = QStringLiteral("Bench Group %1 Receiver ").arg(size);
            const auto receivers = Bench::startPeers(
                size, [&](int i) { return prefix + QString::number(i); }, EchoOptions);
            if (!unicastDone) {
                host.address(InterProc::ExactCaption, prefix + QLatin1Char('0'));
                host.waitForAddressees(1);
                result("unicast_rt_us", median(timeRounds(host, iterations, 1)) / 1e3);
                unicastDone = true;
            }
            host.address(InterProc::CaptionPrefix, prefix);
            host.waitForAddressees(size);
            result("broadcast_us_" + QByteArray::number(size),
                   median(timeRounds(host, iterations, size)) / 1e3);
        }
        const auto services = startBaselineServices(size);
        result("dbus_fanout_us_" + QByteArray::number(size),
               median(timeBounces(baseline, iterations, size)) / 1e3);
    }
}

void manyEndpoints(int count)
{
    const qint64 startKiB = TestSupport::residentKiB();
    QElapsedTimer clock;
    clock.start();
    std::vector<std::unique_ptr<InterProcEndpoint>> endpoints;
    for (int i = 0; i < count; ++i) {
        endpoints.push_back(
            std::make_unique<InterProcEndpoint>(QStringLiteral("Bench Many %1").arg(i)));
        if (!endpoints.back()->isConnected())
            fail(QStringLiteral("endpoint %1: %2").arg(i).arg(endpoints.back()->errorString()));
    }
    spinUntil(
        [&] {
            return std::all_of(endpoints.begin(), endpoints.end(),
                               [](const auto &e) { return e->isReady(); });
        },
        "the endpoints to be ready");
    result("many_ready_ms_" + QByteArray::number(count), double(clock.nsecsElapsed()) / 1e6);
    result("many_mib_" + QByteArray::number(count),
           (TestSupport::residentKiB() - startKiB) / 1024.0);
    clock.start();
    endpoints.clear();
    result("many_teardown_ms_" + QByteArray::number(count), double(clock.nsecsElapsed()) / 1e6);
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    const QString figure = args.value(0);
    const QList<qint64> numbers = positiveNumbers(args.mid(1));

    if (figure == QLatin1String("roundtrip") && numbers.size() == 1) {
        roundTrip(int(numbers[0]));
    } else if (figure == QLatin1String("throughput") && numbers.size() == 1) {
        throughput(int(numbers[0]));
    } else if (figure == QLatin1String("bigtext") && !numbers.isEmpty()) {
        bigText(numbers);
    } else if (figure == QLatin1String("bigtextcjk") && !numbers.isEmpty()) {
        bigText(numbers, ChineseLine, "cjk_");
    } else if (figure == QLatin1String("many") && numbers.size() == 1) {
        manyEndpoints(int(numbers[0]));
    } else if (figure == QLatin1String("broadcast") && numbers.size() >= 2) {
        QList<int> groups;
        for (const qint64 n : numbers.mid(1))
            groups.append(int(n));
        broadcast(int(numbers[0]), groups);
    } else {
        std::fprintf(stderr, "usage: interproc_bench roundtrip <iterations>\n"
                             "       interproc_bench throughput <payloads>\n"
                             "       interproc_bench bigtext <bytes>...\n"
                             "       interproc_bench bigtextcjk <bytes>...\n"
                             "       interproc_bench broadcast <iterations> <receivers>...\n"
                             "       interproc_bench many <endpoints>\n");
        return 2;
    }
    return 0;
}

#include "interproc_bench.moc"
