// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The window's benchmarks: frmMain, as CalvornTest shows it, logging a flood
// of payloads and appending to a long log. Prints "RESULT <key> <value>"
// lines:
//
//   window_bench flood <senders> <payloads each>
//       that many peers (tests/support) send their payloads at once; the window
//       logs and acknowledges each. window_flood_per_s: payloads until every
//       one was logged and every sender had all its acknowledgements;
//       window_flood_stall_ms: the longest the window's event loop went
//       without running a 1 ms timer meanwhile; window_flood_busy_stall_ms:
//       the longest such gap less the time the window's thread waited for a
//       CPU in it; window_flood_cpu_us: the window thread's CPU time per
//       payload; window_flood_faults_per_payload: its minor page faults per
//       payload
//   window_bench nobus <senders> <payloads each>
//       the same window logs as many payloads, raised by emitting its
//       InterProc1's DataArrival with SenderHandle 0 (the acknowledgement
//       addresses nobody), in slices of 8 ms posted to the event loop one
//       after the other, as the component hands arrivals over: window_nobus_per_s,
//       window_nobus_stall_ms, window_nobus_busy_stall_ms, window_nobus_cpu_us,
//       window_nobus_faults_per_payload
//   window_bench append <count> <entries>...
//       the log filled to each number of entries, then `count` more appended
//       one at a time, each followed by the event loop pass that repaints the
//       window: append_us_<entries>, the mean time per entry, and
//       append_handler_us_<entries>, the part of it in the DataArrival handler
//   window_bench bigtext lines|oneline <bytes>
//       one text of that many UTF-8 bytes, in 64-byte lines or without a blank
//       or line break, sent to the window in a sealed memfd by a bus client in
//       this process, after a 15-byte text: bigtext_<shape>_<bytes>_stall_ms,
//       the longest gap in the window's event loop from the call until the
//       entry is logged and painted (bigtext_small_stall_ms for the small
//       text); bigtext_<shape>_<bytes>_peak_mib, the most resident memory the
//       process added meanwhile; bigtext_mib_<bytes>, the text's size in MiB;
//       then bigtext_<shape>_<bytes>_log_stall_ms, the longest gap while the
//       same text is raised as DataArrival without the bus: the log's part
//   window_bench sparse <count>
//       <count> texts as large as allowed, each a sealed memfd with nothing
//       written (no memory behind it in the sender), sent to the window at
//       once by a bus client in this process: sparse_peak_mib, the most
//       resident memory added until every entry is logged; sparse_rss_mib,
//       what stays added a second later; sparse_limit_mib, the most it may
//       add (512). With BENCH_ONE_AT_A_TIME=1 in the environment, each is
//       sent once the last was logged
//   window_bench floodmem <senders> <payloads each>
//       the flood above with 1-byte texts, twice: floodmem_<round>_rss_mib,
//       the resident memory added once all are logged and acknowledged, and
//       floodmem_<round>_kib_per_entry
//   window_bench copy <bytes>
//       one sparse text of that many bytes logged, then the whole log
//       selected and copied, and a second later its text taken as UTF-8 as
//       another program pasting it would take it: copy_stall_ms, the longest
//       gap in the window's event loop from the copy until the text is taken;
//       copy_peak_mib, the most resident memory added meanwhile; copy_mib,
//       the text's size
//   window_bench longline <chars> <count>
//       <count> texts of one line of <chars> characters raised as DataArrival
//       without the bus, in slices as the component raises them:
//       longline_<chars>_stall_ms, the longest gap in the window's event loop
//
// With BENCH_PERF_FIFO=<fifo> in the environment, the figures that measure
// stalls have `perf record -D -1 --control fifo:<fifo>` record only the
// measured stretch, e.g. for the flood (after mkfifo /tmp/ctl):
//   BENCH_PERF_FIFO=/tmp/ctl perf record -D -1 --control fifo:/tmp/ctl
//       --call-graph dwarf window_bench flood 8 2000
#include "benchdriver.h"
#include "frmmain.h"
#include "interproc.h"
#include "sealedtext.h"

#include <InterProc/interprocbus.h>

#include <QApplication>
#include <QClipboard>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusUnixFileDescriptor>
#include <QElapsedTimer>
#include <QFile>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

using Bench::expectLine;
using Bench::fail;
using Bench::positiveNumbers;
using Bench::result;
using Bench::spinUntil;

namespace {

// What each sending peer sends.
const QString FloodText = QStringLiteral("a small payload");
// How long the component raises arrivals before it lets the event loop run.
constexpr qint64 DispatchSliceMs = 8;

QString senderCaption(int sender)
{
    return QStringLiteral("Calvorn Control Sample - Client App - 12:00:%1")
        .arg(sender, 2, 10, QLatin1Char('0'));
}

// The window, shown and on the bus, and a count of the payloads it logged.
struct Window
{
    Window()
    {
        window.show();
        spinUntil(
            [this] {
                return ipc()->isReady() && window.windowHandle() &&
                       window.windowHandle()->isExposed();
            },
            "the window to be shown and on the bus");
        // After the window's own handler, so a payload counts once logged.
        QObject::connect(ipc(), &InterProc::DataArrival, ipc(), [this] {
            ++logged;
            lastLoggedNs = TestSupport::nowNs();
        });
    }

    InterProc *ipc() const { return window.interProc(); }

    // Raises DataArrival as the component would for a payload from no window.
    void arrive(int sender, int number)
    {
        emit ipc()->DataArrival(0, senderCaption(sender), number, FloodText);
    }

    // Waits until a send by handle reaches each of these windows; sends
    // nothing meanwhile.
    void waitToKnow(const QList<qint32> &handles)
    {
        for (const qint32 handle : handles) {
            bool known = false;
            const auto probe = QObject::connect(
                ipc(), &InterProc::WindowCheck, ipc(),
                [&](qint32 checked, const QString &, bool &skip) {
                    known = known || checked == handle;
                    skip = true;
                },
                Qt::DirectConnection);
            ipc()->setTarget(handle);
            ipc()->setTargetSearchMethod(InterProc::WindowHandle);
            spinUntil(
                [&] {
                    ipc()->Send();
                    return known;
                },
                "the senders to be known");
            QObject::disconnect(probe);
        }
    }

    // Fails unless the log holds exactly `entries` entries of four lines.
    // The window writes what arrived in one pass of the event loop as that
    // pass ends, so the last entries may still be on their way.
    void checkLog(qint64 entries) const
    {
        const auto *log = window.findChild<QPlainTextEdit *>(QStringLiteral("txtReceived"));
        if (log)
            spinUntil([&] { return log->blockCount() >= 4 * entries + 1; }, "the log");
        if (!log || log->blockCount() != 4 * entries + 1)
            fail(QStringLiteral("the log holds %1 lines, not the %2 of %3 entries")
                     .arg(log ? log->blockCount() - 1 : -1)
                     .arg(4 * entries)
                     .arg(entries));
    }

    frmMain window;
    qint64 logged = 0;
    qint64 lastLoggedNs = 0;
};

// The window thread's clocks: wall, CPU and the time it spent runnable
// but waiting for a CPU (from /proc/thread-self/schedstat; 0 where that is
// missing).
struct ThreadClock
{
    qint64 wallNs = 0;
    qint64 cpuNs = 0;
    qint64 waitNs = 0;
    qint64 minorFaults = 0;
};

class ThreadClockReader
{
public:
    ThreadClockReader() : m_schedstat(::open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC))
    {}
    ~ThreadClockReader()
    {
        if (m_schedstat >= 0)
            ::close(m_schedstat);
    }
    ThreadClockReader(const ThreadClockReader &) = delete;
    ThreadClockReader &operator=(const ThreadClockReader &) = delete;

    ThreadClock now() const
    {
        ThreadClock clock;
        clock.wallNs = TestSupport::nowNs();
        timespec cpu = {};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
        clock.cpuNs = qint64(cpu.tv_sec) * 1000000000 + cpu.tv_nsec;
        char text[96];
        const ssize_t n = m_schedstat >= 0 ? ::pread(m_schedstat, text, sizeof text - 1, 0) : -1;
        if (n > 0) {
            text[n] = '\0';
            // "<ns on a CPU> <ns waiting for one> <time slices>"
            char *rest = nullptr;
            std::strtoll(text, &rest, 10);
            clock.waitNs = std::strtoll(rest, nullptr, 10);
        }
        rusage usage = {};
        if (getrusage(RUSAGE_THREAD, &usage) == 0)
            clock.minorFaults = usage.ru_minflt;
        return clock;
    }

private:
    int m_schedstat;
};

// Tells `perf record --control fifo:<path> -D -1`, when BENCH_PERF_FIFO
// names its control FIFO, to record only the measured stretch.
void perfControl(const char *command)
{
    const QByteArray fifo = qgetenv("BENCH_PERF_FIFO");
    if (fifo.isEmpty())
        return;
    const int fd = ::open(fifo.constData(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    const ssize_t written = ::write(fd, command, std::strlen(command));
    Q_UNUSED(written);
    ::close(fd);
}

// A 1 ms timer on the window's event loop that reads the thread's clocks at
// each run, for the longest gap between two.
class StallMeter
{
public:
    StallMeter()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(1);
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer,
                         [this] { m_ticks.push_back(m_clock.now()); });
        m_ticks.reserve(1 << 16);
        m_ticks.push_back(m_clock.now());
        m_timer.start();
        perfControl("enable\n");
    }

    ThreadClock now() const { return m_clock.now(); }

    // Reports, for the time from start to end (wall clock), the longest gap
    // between two runs of the timer (<prefix>_stall_ms), the longest gap
    // less the time the thread waited for a CPU in it (<prefix>_busy_stall_ms:
    // the stall the window caused itself), and the thread's CPU time per
    // payload (<prefix>_cpu_us).
    void report(const QByteArray &prefix, const ThreadClock &start, qint64 end, qint64 payloads)
    {
        perfControl("disable\n");
        m_ticks.push_back(m_clock.now());
        qint64 longest = 0;
        qint64 longestBusy = 0;
        const ThreadClock *first = nullptr;
        const ThreadClock *last = nullptr;
        for (size_t i = 1; i < m_ticks.size(); ++i) {
            const ThreadClock &a = m_ticks[i - 1];
            const ThreadClock &b = m_ticks[i];
            if (b.wallNs <= start.wallNs || a.wallNs >= end)
                continue;
            longest = std::max(longest, b.wallNs - a.wallNs);
            longestBusy = std::max(longestBusy, b.wallNs - a.wallNs - (b.waitNs - a.waitNs));
            first = first ? first : &a;
            last = &b;
        }
        result(prefix + "_stall_ms", double(longest) / 1e6);
        result(prefix + "_busy_stall_ms", double(longestBusy) / 1e6);
        if (first) {
            result(prefix + "_cpu_us", double(last->cpuNs - start.cpuNs) / double(payloads) / 1e3);
            result(prefix + "_faults_per_payload",
                   double(last->minorFaults - start.minorFaults) / double(payloads));
        }
    }

private:
    ThreadClockReader m_clock;
    QTimer m_timer;
    std::vector<ThreadClock> m_ticks;
};

qint64 resetPeakKiB();
qint64 statusKiB(const char *field);

void flood(int senders, int each)
{
    Window host;
    const TestSupport::PeerList peers =
        Bench::startPeers(senders, senderCaption, {QStringLiteral("--quiet")});
    QList<qint32> handles;
    for (const auto &peer : peers)
        handles.append(peer->handle());
    host.waitToKnow(handles);

    const qint64 total = qint64(senders) * each;
    const QString window = QString::number(host.ipc()->windowHandle());
    StallMeter stalls;
    const ThreadClock started = stalls.now();
    const qint64 start = started.wallNs;
    // Each sender counts the acknowledgements that come back, then sends
    // all its payloads at once, as a window's user would.
    for (const auto &peer : peers) {
        peer->command("expectacks " + QByteArray::number(each));
        peer->sendMany(InterProc::WindowHandle, window, each, FloodText);
    }
    spinUntil([&] { return host.logged >= total; }, "the payloads");
    qint64 end = host.lastLoggedNs;
    for (const auto &peer : peers) {
        if (expectLine(*peer, "SENT").value(1).toInt() != each)
            fail(QStringLiteral("a sender could not address the window"));
        const QList<QByteArray> acked = expectLine(*peer, "ACKED");
        if (acked.value(1).toInt() != each)
            fail(QStringLiteral("a sender had the wrong number of acknowledgements"));
        end = std::max(end, acked.value(2).toLongLong());
    }
    if (host.logged != total)
        fail(QStringLiteral("more payloads arrived than were sent"));
    host.checkLog(total);
    result("window_flood_per_s", double(total) / (double(end - start) / 1e9));
    stalls.report("window_flood", started, end, total);
}

void noBus(int senders, int each)
{
    Window host;
    const qint64 total = qint64(senders) * each;
    qint64 raised = 0;
    // Like the component: raise arrivals for one slice, then post the rest
    // behind whatever else the event loop has to do.
    QObject pump;
    std::function<void()> slice = [&] {
        QElapsedTimer elapsed;
        elapsed.start();
        // The senders take turns, as their payloads would arrive.
        while (raised < total && elapsed.elapsed() < DispatchSliceMs) {
            host.arrive(int(raised % senders), int(raised / senders) + 1);
            ++raised;
        }
        if (raised < total)
            QMetaObject::invokeMethod(&pump, slice, Qt::QueuedConnection);
    };
    StallMeter stalls;
    const qint64 rssKiB = resetPeakKiB();
    const ThreadClock started = stalls.now();
    const qint64 start = started.wallNs;
    QMetaObject::invokeMethod(&pump, slice, Qt::QueuedConnection);
    spinUntil([&] { return host.logged == total; }, "the payloads");
    const qint64 end = host.lastLoggedNs;
    result("window_nobus_rss_mib", double(statusKiB("VmRSS") - rssKiB) / 1024);
    host.checkLog(total);
    result("window_nobus_per_s", double(total) / (double(end - start) / 1e9));
    stalls.report("window_nobus", started, end, total);
}

void append(int count, QList<qint64> levels)
{
    std::sort(levels.begin(), levels.end());
    Window host;
    constexpr int Senders = 8;
    auto arrive = [&] {
        host.arrive(int(host.logged % Senders), int(host.logged / Senders) + 1);
    };
    for (const qint64 level : levels) {
        while (host.logged < level) {
            arrive();
            if (host.logged % 1000 == 0)
                QCoreApplication::processEvents();
        }
        QCoreApplication::processEvents();
        qint64 inHandler = 0;
        const qint64 start = TestSupport::nowNs();
        for (int i = 0; i < count; ++i) {
            const qint64 before = TestSupport::nowNs();
            arrive();
            inHandler += TestSupport::nowNs() - before;
            QCoreApplication::processEvents();
        }
        const qint64 elapsed = TestSupport::nowNs() - start;
        result("append_us_" + QByteArray::number(level), double(elapsed) / count / 1e3);
        result("append_handler_us_" + QByteArray::number(level), double(inHandler) / count / 1e3);
    }
    host.checkLog(host.logged);
}

// A sealed memfd holding `bytes` bytes of valid UTF-8, written a piece at a
// time, so that this process (which also receives the text) never holds it
// itself.
QDBusUnixFileDescriptor textMemfd(qint64 bytes, bool lines)
{
    const int fd = ::memfd_create("window-bench-text", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0)
        fail(QStringLiteral("memfd_create failed"));
    // A piece is whole lines: 1 MiB is a multiple of the line's 64 bytes.
    const std::string_view pattern =
        lines ? TestSupport::TypicalLine : "abcdefghijklmnopqrstuvwxyz0123456789";
    QByteArray piece(1 << 20, Qt::Uninitialized);
    auto fill = [&](qsizetype size) {
        TestSupport::fillUtf8(piece.data(), size_t(size), pattern);
    };
    fill(piece.size());
    for (qint64 done = 0; done < bytes;) {
        const qsizetype size = qsizetype(std::min<qint64>(piece.size(), bytes - done));
        if (size < piece.size())
            fill(size);
        if (::write(fd, piece.constData(), size_t(size)) != size)
            fail(QStringLiteral("cannot write the text"));
        done += size;
    }
    if (::fcntl(fd, F_ADD_SEALS, F_SEAL_WRITE | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0)
        fail(QStringLiteral("cannot seal the text"));
    QDBusUnixFileDescriptor descriptor(fd); // keeps a duplicate
    ::close(fd);
    return descriptor;
}

// A figure of /proc/self/status, in KiB.
qint64 statusKiB(const char *field)
{
    const qint64 kib = TestSupport::statusKiB(0, field);
    if (kib < 0)
        fail(QStringLiteral("no %1 in /proc/self/status").arg(QLatin1String(field)));
    return kib;
}

// Sends one text to the window as a client without a window does, and
// reports the window's longest stall and the memory added until the entry
// is logged and painted.
void deliverText(Window &host, const QByteArray &prefix, qint64 bytes, bool lines)
{
    QDBusConnection sender =
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("bench-sender"));
    QDBusMessage call = QDBusMessage::createMethodCall(
        InterProcBus::serviceForHandle(host.ipc()->windowHandle()),
        QLatin1String(InterProcBus::ObjectPath), QLatin1String(InterProcBus::Interface),
        QStringLiteral("DeliverSealed"));
    call.setArguments({0, QStringLiteral("window_bench"), 1,
                       QVariant::fromValue(textMemfd(bytes, lines)), qulonglong(bytes)});

    const qint64 rssKiB = resetPeakKiB();

    const qint64 before = host.logged;
    StallMeter stalls;
    const ThreadClock started = stalls.now();
    QDBusPendingCallWatcher reply(sender.asyncCall(call, 600000));
    spinUntil([&] { return host.logged > before && reply.isFinished(); }, "the text");
    if (reply.isError())
        fail(QStringLiteral("the window refused the text: ") + reply.error().message());
    // The repaint that shows the entry, and whatever else follows it.
    const qint64 settled = TestSupport::nowNs() + 200 * 1000000LL;
    spinUntil([&] { return TestSupport::nowNs() >= settled; }, "the repaint");
    stalls.report(prefix, started, TestSupport::nowNs(), 1);
    if (bytes > 1000)
        result(prefix + "_peak_mib", double(statusKiB("VmHWM") - rssKiB) / 1024);
}

// Raises DataArrival with the text, as the component does once it has read
// it, and reports the window's longest stall until the entry is painted.
void raiseText(Window &host, const QByteArray &prefix, qint64 bytes, bool lines)
{
    const QDBusUnixFileDescriptor memfd = textMemfd(bytes, lines);
    QByteArray utf8(bytes, Qt::Uninitialized);
    if (::pread(memfd.fileDescriptor(), utf8.data(), size_t(bytes), 0) != bytes)
        fail(QStringLiteral("cannot read the text back"));
    const QString text = QString::fromUtf8(utf8);
    utf8 = QByteArray();

    const qint64 before = host.logged;
    StallMeter stalls;
    const ThreadClock started = stalls.now();
    QTimer::singleShot(0, host.ipc(), [&] {
        emit host.ipc()->DataArrival(0, QStringLiteral("window_bench"), 1, text);
    });
    spinUntil([&] { return host.logged > before; }, "the entry");
    const qint64 settled = TestSupport::nowNs() + 200 * 1000000LL;
    spinUntil([&] { return TestSupport::nowNs() >= settled; }, "the repaint");
    stalls.report(prefix, started, TestSupport::nowNs(), 1);
}

void bigText(bool lines, qint64 bytes)
{
    Window host;
    deliverText(host, "bigtext_small", 15, lines);
    const QByteArray prefix =
        QByteArray("bigtext_") + (lines ? "lines" : "oneline") + '_' + QByteArray::number(bytes);
    deliverText(host, prefix, bytes, lines);
    result("bigtext_mib_" + QByteArray::number(bytes), double(bytes) / (1 << 20));
    raiseText(host, prefix + "_log", bytes, lines);
}

// Resident memory now, and its peak from now on reset to it (writing 5 to
// clear_refs resets VmHWM).
qint64 resetPeakKiB()
{
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    if (!clearRefs.open(QIODevice::WriteOnly) || clearRefs.write("5") != 1)
        fail(QStringLiteral("cannot reset the peak of resident memory"));
    clearRefs.close();
    return statusKiB("VmRSS");
}

// Sends `count` sparse texts of `bytes` bytes at once and waits until the
// window logged them all.
void sendSparse(Window &host, int count, qint64 bytes)
{
    QDBusConnection sender =
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("bench-sparse"));
    std::vector<std::unique_ptr<QDBusPendingCallWatcher>> replies;
    const qint64 before = host.logged;
    for (int i = 0; i < count; ++i) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            InterProcBus::serviceForHandle(host.ipc()->windowHandle()),
            QLatin1String(InterProcBus::ObjectPath), QLatin1String(InterProcBus::Interface),
            QStringLiteral("DeliverSealed"));
        call.setArguments({0, QStringLiteral("window_bench"), i + 1,
                           QVariant::fromValue(TestSupport::sealedText({}, bytes)),
                           qulonglong(bytes)});
        replies.push_back(
            std::make_unique<QDBusPendingCallWatcher>(sender.asyncCall(call, 600000)));
    }
    spinUntil(
        [&] {
            return host.logged >= before + count &&
                   std::all_of(replies.begin(), replies.end(),
                               [](const auto &r) { return r->isFinished(); });
        },
        "the sparse texts");
    for (const auto &reply : replies) {
        if (reply->isError())
            fail(QStringLiteral("the window refused a text: ") + reply->error().message());
    }
}

void sparse(int count)
{
    Window host;
    const qint64 rssKiB = resetPeakKiB();
    if (qEnvironmentVariableIsSet("BENCH_ONE_AT_A_TIME")) {
        for (int i = 0; i < count; ++i)
            sendSparse(host, 1, InterProc::maxTextBytes());
    } else {
        sendSparse(host, count, InterProc::maxTextBytes());
    }
    const qint64 settled = TestSupport::nowNs() + 1000 * 1000000LL;
    spinUntil([&] { return TestSupport::nowNs() >= settled; }, "a second");
    result("sparse_peak_mib", double(statusKiB("VmHWM") - rssKiB) / 1024);
    result("sparse_limit_mib", 512);
    result("sparse_rss_mib", double(statusKiB("VmRSS") - rssKiB) / 1024);
}

void floodMemory(int senders, int each)
{
    Window host;
    const TestSupport::PeerList peers =
        Bench::startPeers(senders, senderCaption, {QStringLiteral("--quiet")});
    QList<qint32> handles;
    for (const auto &peer : peers)
        handles.append(peer->handle());
    host.waitToKnow(handles);
    const qint64 rssKiB = resetPeakKiB();
    const qint64 total = qint64(senders) * each;
    const QString window = QString::number(host.ipc()->windowHandle());
    // Twice: what the first flood leaves of freed memory, the second uses
    // again; what the log keeps grows.
    for (int round = 1; round <= 2; ++round) {
        for (const auto &peer : peers) {
            peer->command("expectacks " + QByteArray::number(each));
            peer->sendMany(InterProc::WindowHandle, window, each, QStringLiteral("x"));
        }
        spinUntil([&] { return host.logged >= round * total; }, "the payloads");
        for (const auto &peer : peers)
            expectLine(*peer, "ACKED");
        const double added = double(statusKiB("VmRSS") - rssKiB);
        const QByteArray prefix = "floodmem_" + QByteArray::number(round);
        result(prefix + "_rss_mib", added / 1024);
        result(prefix + "_kib_per_entry", added / double(round * total));
    }
}

void copyText(qint64 bytes)
{
    // As long as a user takes at least to paste elsewhere.
    constexpr int PasteAfterMs = 1000;
    Window host;
    sendSparse(host, 1, bytes);
    auto *log = host.window.findChild<QPlainTextEdit *>(QStringLiteral("txtReceived"));
    const qint64 settled = TestSupport::nowNs() + 500 * 1000000LL;
    spinUntil([&] { return TestSupport::nowNs() >= settled; }, "the repaint");

    const qint64 rssKiB = resetPeakKiB();
    StallMeter stalls;
    const ThreadClock started = stalls.now();
    // What Ctrl+C does, then what the platform does when another program
    // asks for the clipboard's text, each on its own pass of the event loop.
    qint64 taken = -1;
    QTimer::singleShot(0, log, [&] {
        log->selectAll();
        log->copy();
        QTimer::singleShot(PasteAfterMs, log, [&] {
            const QMimeData *data = QGuiApplication::clipboard()->mimeData();
            taken = data ? data->data(QStringLiteral("text/plain;charset=utf-8")).size() : 0;
        });
    });
    spinUntil([&] { return taken >= 0; }, "the copy");
    const qint64 end = TestSupport::nowNs();
    if (taken < bytes)
        fail(QStringLiteral("the copy holds %1 bytes, fewer than the text's %2")
                 .arg(taken)
                 .arg(bytes));
    stalls.report("copy", started, end, 1);
    result("copy_peak_mib", double(statusKiB("VmHWM") - rssKiB) / 1024);
    result("copy_mib", double(bytes) / (1 << 20));
}

void longLines(qint64 chars, int count)
{
    Window host;
    const QString text(chars, u'w');
    int raised = 0;
    QObject pump;
    std::function<void()> slice = [&] {
        QElapsedTimer elapsed;
        elapsed.start();
        while (raised < count && elapsed.elapsed() < DispatchSliceMs) {
            emit host.ipc()->DataArrival(0, QStringLiteral("window_bench"), 1, text);
            ++raised;
        }
        if (raised < count)
            QMetaObject::invokeMethod(&pump, slice, Qt::QueuedConnection);
    };
    StallMeter stalls;
    const qint64 rssKiB = resetPeakKiB();
    const ThreadClock started = stalls.now();
    QMetaObject::invokeMethod(&pump, slice, Qt::QueuedConnection);
    spinUntil([&] { return host.logged == count; }, "the payloads");
    const qint64 settled = TestSupport::nowNs() + 200 * 1000000LL;
    spinUntil([&] { return TestSupport::nowNs() >= settled; }, "the repaint");
    const QByteArray prefix = "longline_" + QByteArray::number(chars);
    stalls.report(prefix, started, TestSupport::nowNs(), count);
    result(prefix + "_kib_per_entry", double(statusKiB("VmRSS") - rssKiB) / count);
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    const QString figure = args.value(0);
    const QList<qint64> numbers =
        figure == QLatin1String("bigtext") ? QList<qint64>() : positiveNumbers(args.mid(1));

    if (figure == QLatin1String("flood") && numbers.size() == 2) {
        flood(int(numbers[0]), int(numbers[1]));
    } else if (figure == QLatin1String("nobus") && numbers.size() == 2) {
        noBus(int(numbers[0]), int(numbers[1]));
    } else if (figure == QLatin1String("append") && numbers.size() >= 2) {
        append(int(numbers[0]), numbers.mid(1));
    } else if (figure == QLatin1String("bigtext") && args.size() == 3 &&
               (args[1] == QLatin1String("lines") || args[1] == QLatin1String("oneline"))) {
        bigText(args[1] == QLatin1String("lines"), positiveNumbers(args.mid(2)).value(0));
    } else if (figure == QLatin1String("sparse") && numbers.size() == 1) {
        sparse(int(numbers[0]));
    } else if (figure == QLatin1String("floodmem") && numbers.size() == 2) {
        floodMemory(int(numbers[0]), int(numbers[1]));
    } else if (figure == QLatin1String("copy") && numbers.size() == 1) {
        copyText(numbers[0]);
    } else if (figure == QLatin1String("longline") && numbers.size() == 2) {
        longLines(numbers[0], int(numbers[1]));
    } else {
        std::fprintf(stderr, "usage: window_bench flood <senders> <payloads each>\n"
                             "       window_bench nobus <senders> <payloads each>\n"
                             "       window_bench append <count> <entries>...\n"
                             "       window_bench bigtext lines|oneline <bytes>\n"
                             "       window_bench sparse <count>\n"
                             "       window_bench floodmem <senders> <payloads each>\n"
                             "       window_bench copy <bytes>\n"
                             "       window_bench longline <chars> <count>\n");
        return 2;
    }
    return 0;
}
