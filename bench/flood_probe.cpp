// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// A hostile flood against one party on the session bus, and what it costs
// everyone else: how long the party leaves Describe unanswered, what a
// legitimate caller's Deliver gets, and the memory of the party and of the
// bus daemon. Plain sd-bus, no Qt (bench/flood_probe.sh runs it).
//
//   flood_probe bus <party pid> <daemon pid> <text bytes> <seconds> [senders]
//       <senders> connections (default 1) send Deliver calls that want no
//       answer, each with a text of <text bytes> "x", as fast as the bus
//       takes them, for <seconds>
//   flood_probe acks <party pid> <daemon pid> <calls> <seconds>
//       a connection that owns a window name sends <calls> Deliver calls
//       that want no answer as that window, and then reads nothing more:
//       the party's acknowledgements to it pile up; measured for <seconds>
//   flood_probe channel <party pid> <daemon pid> <calls>
//       opens a direct channel to the party, sends <calls> Deliver calls
//       that want an answer and never reads one, then closes the channel
//
// Meanwhile Describe is asked every 50 ms (one at a time) of the party's
// name and of its caption desk, and a Deliver that
// wants an answer is sent every 200 ms. Prints "RESULT <name> <value>" lines.
#include "measure.h"

#include <systemd/sd-bus.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <vector>

using TestSupport::nowNs;
using TestSupport::residentKiB;

namespace {

const char *const Path = "/org/calvorn/InterProc";
const char *const Interface = "org.calvorn.InterProc";
const char *const Prefix = "org.calvorn.InterProc.Window.H";

[[noreturn]] void die(const char *what, int r)
{
    std::fprintf(stderr, "flood_probe: %s: %s\n", what, std::strerror(-r));
    std::exit(1);
}

sd_bus *openBus()
{
    sd_bus *bus = nullptr;
    const int r = sd_bus_open_user(&bus);
    if (r < 0)
        die("cannot reach the session bus", r);
    return bus;
}

// The one party's bus name.
std::string findParty(sd_bus *bus)
{
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message *reply = nullptr;
    for (int attempt = 0; attempt < 100; ++attempt) {
        int r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                   "org.freedesktop.DBus", "ListNames", &error, &reply, "");
        if (r < 0)
            die("ListNames", r);
        char **names = nullptr;
        sd_bus_message_read_strv(reply, &names);
        sd_bus_message_unref(reply);
        std::string found;
        for (char **n = names; n && *n; ++n) {
            // The party's own name, not its caption desk's (".Caption").
            if (std::strncmp(*n, Prefix, std::strlen(Prefix)) == 0 &&
                !std::strchr(*n + std::strlen(Prefix), '.'))
                found = *n;
            std::free(*n);
        }
        std::free(names);
        if (!found.empty())
            return found;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    die("no party on the bus", -ENOENT);
}

struct Shared
{
    std::string party;
    std::atomic<bool> flooding{true};
    std::atomic<bool> stop{false};
    std::atomic<long long> sent{0};
    std::atomic<long long> sentBytes{0};
    std::mutex lock;
    // Describe asked of the party's own name and of its caption desk, and
    // the bus daemon's own GetId: the floor the daemon's load sets.
    struct Describes
    {
        double maxFloodMs = 0;
        double maxAfterMs = 0;
        long long count = 0;
        long long slow = 0; // over 100 ms
        long long failed = 0;
    } describes, deskDescribes, daemonPings;
    std::map<std::string, long long> deliverOutcomes;
    long long deliverMaxMs = 0;
};

enum class Asked { Party, Desk, Daemon };

void describeLoop(Shared *s, Asked asked)
{
    sd_bus *bus = openBus();
    const std::string destination = asked == Asked::Daemon ? "org.freedesktop.DBus"
                                    : asked == Asked::Desk ? s->party + ".Caption"
                                                           : s->party;
    Shared::Describes &describes = asked == Asked::Daemon ? s->daemonPings
                                   : asked == Asked::Desk ? s->deskDescribes
                                                          : s->describes;
    while (!s->stop) {
        sd_bus_message *call = nullptr;
        if (asked == Asked::Daemon)
            sd_bus_message_new_method_call(bus, &call, destination.c_str(), "/org/freedesktop/DBus",
                                           "org.freedesktop.DBus", "GetId");
        else
            sd_bus_message_new_method_call(bus, &call, destination.c_str(), Path, Interface,
                                           "Describe");
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message *reply = nullptr;
        const bool flooding = s->flooding;
        const long long start = nowNs();
        const int r = sd_bus_call(bus, call, 120 * 1000000ULL, &error, &reply);
        const double ms = (nowNs() - start) / 1e6;
        sd_bus_message_unref(call);
        sd_bus_message_unref(reply);
        sd_bus_error_free(&error);
        {
            std::lock_guard<std::mutex> guard(s->lock);
            double &max = flooding ? describes.maxFloodMs : describes.maxAfterMs;
            max = std::max(max, ms);
            ++describes.count;
            describes.slow += ms > 100;
            describes.failed += r < 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    sd_bus_flush_close_unref(bus);
}

// The three that ask while a flood runs: the party's own name, its caption
// desk and the bus daemon.
struct Askers
{
    explicit Askers(Shared *s)
        : s(s), party(describeLoop, s, Asked::Party), desk(describeLoop, s, Asked::Desk),
          daemon(describeLoop, s, Asked::Daemon)
    {}
    void stop()
    {
        s->stop = true;
        for (std::thread *t : {&party, &desk, &daemon})
            t->join();
    }

    Shared *s;
    std::thread party, desk, daemon;
};

void deliverLoop(Shared *s)
{
    sd_bus *bus = openBus();
    for (int i = 1; !s->stop; ++i) {
        sd_bus_message *call = nullptr;
        sd_bus_message_new_method_call(bus, &call, s->party.c_str(), Path, Interface, "Deliver");
        sd_bus_message_append(call, "isis", 0, "legitimate", i, "hello");
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message *reply = nullptr;
        const long long start = nowNs();
        const int r = sd_bus_call(bus, call, 30 * 1000000ULL, &error, &reply);
        const long long ms = (nowNs() - start) / 1000000;
        const std::string outcome =
            r >= 0 ? "OK" : (error.name ? error.name : std::string("errno ") + std::to_string(-r));
        sd_bus_message_unref(call);
        sd_bus_message_unref(reply);
        sd_bus_error_free(&error);
        {
            std::lock_guard<std::mutex> guard(s->lock);
            ++s->deliverOutcomes[outcome];
            s->deliverMaxMs = std::max(s->deliverMaxMs, ms);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    sd_bus_flush_close_unref(bus);
}

void floodLoop(Shared *s, long long textBytes)
{
    sd_bus *bus = openBus();
    const std::string text(size_t(textBytes), 'x');
    while (s->flooding) {
        sd_bus_message *call = nullptr;
        sd_bus_message_new_method_call(bus, &call, s->party.c_str(), Path, Interface, "Deliver");
        sd_bus_message_append(call, "isis", 0, "flood", 0, text.c_str());
        // Without a cookie to keep, sd-bus marks the call as wanting no answer.
        const int r = sd_bus_send(bus, call, nullptr);
        sd_bus_message_unref(call);
        if (r < 0)
            die("send", r);
        ++s->sent;
        s->sentBytes += textBytes;
        uint64_t queued = 0;
        if (sd_bus_get_n_queued_write(bus, &queued) >= 0 && queued >= 16)
            sd_bus_flush(bus);
    }
    sd_bus_flush_close_unref(bus);
}

struct Memory
{
    long long party = 0, partyPeak = 0, daemon = 0, daemonPeak = 0;
};

void sample(Memory *m, pid_t party, pid_t daemon)
{
    m->party = residentKiB(party);
    m->daemon = residentKiB(daemon);
    m->partyPeak = std::max(m->partyPeak, m->party);
    m->daemonPeak = std::max(m->daemonPeak, m->daemon);
}

void sampleFor(Memory *m, pid_t party, pid_t daemon, int ms)
{
    for (int waited = 0; waited < ms; waited += 100) {
        sample(m, party, daemon);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    sample(m, party, daemon);
}

void result(const char *name, double value)
{
    std::printf("RESULT %s %.1f\n", name, value);
    std::fflush(stdout);
}

void report(Shared *s, const Memory &before, const Memory &during, const Memory &after)
{
    std::lock_guard<std::mutex> guard(s->lock);
    for (const auto &[name, d] :
         {std::pair("describe", &s->describes), std::pair("desk_describe", &s->deskDescribes),
          std::pair("daemon_getid", &s->daemonPings)}) {
        const std::string prefix(name);
        result((prefix + "_max_flood_ms").c_str(), double(d->maxFloodMs));
        result((prefix + "_max_after_ms").c_str(), double(d->maxAfterMs));
        result((prefix + "_over_100ms").c_str(), double(d->slow));
        result((prefix + "_answers").c_str(), double(d->count - d->failed));
        result((prefix + "_failed").c_str(), double(d->failed));
    }
    for (const auto &[outcome, count] : s->deliverOutcomes)
        std::printf("RESULT deliver %s %lld\n", outcome.c_str(), count);
    result("deliver_max_ms", double(s->deliverMaxMs));
    result("party_rss_before_mib", before.party / 1024.0);
    result("party_rss_peak_mib", during.partyPeak / 1024.0);
    result("party_rss_after_mib", after.party / 1024.0);
    result("daemon_rss_before_mib", before.daemon / 1024.0);
    result("daemon_rss_peak_mib", during.daemonPeak / 1024.0);
    result("daemon_rss_after_mib", after.daemon / 1024.0);
}

int runBus(pid_t party, pid_t daemon, long long textBytes, int seconds, int senders)
{
    Shared s;
    sd_bus *bus = openBus();
    s.party = findParty(bus);
    Memory before, during, after;
    sample(&before, party, daemon);
    Askers askers(&s);
    std::thread deliverer(deliverLoop, &s);
    std::vector<std::thread> flooders;
    const long long start = nowNs();
    for (int i = 0; i < senders; ++i)
        flooders.emplace_back(floodLoop, &s, textBytes);
    sampleFor(&during, party, daemon, seconds * 1000);
    s.flooding = false;
    for (std::thread &t : flooders)
        t.join();
    const double floodS = (nowNs() - start) / 1e9;
    // What the flood left behind: the party catches up, the daemon's queue
    // for it empties.
    sampleFor(&during, party, daemon, 5000);
    askers.stop();
    deliverer.join();
    sample(&after, party, daemon);
    result("flood_s", floodS);
    result("sent", double(s.sent));
    result("sent_mb_per_s", s.sentBytes / floodS / 1e6);
    report(&s, before, during, after);
    sd_bus_flush_close_unref(bus);
    return 0;
}

int runChannel(pid_t party, pid_t daemon, long long calls)
{
    Shared s;
    sd_bus *bus = openBus();
    s.party = findParty(bus);
    Memory before, during, after;
    sample(&before, party, daemon);

    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message *reply = nullptr;
    int r = sd_bus_call_method(bus, s.party.c_str(), Path, Interface, "OpenDirectChannel", &error,
                               &reply, "");
    if (r < 0)
        die("OpenDirectChannel", r);
    const char *address = nullptr;
    const void *token = nullptr;
    size_t tokenSize = 0;
    sd_bus_message_read(reply, "s", &address);
    sd_bus_message_read_array(reply, 'y', &token, &tokenSize);
    if (!address || !*address)
        die("the party offers no direct channel", -ENOTSUP);
    sd_bus *channel = nullptr;
    sd_bus_new(&channel);
    sd_bus_set_address(channel, address);
    if ((r = sd_bus_start(channel)) < 0)
        die("connect to the channel", r);
    sd_bus_message *attach = nullptr;
    sd_bus_message_new_method_call(channel, &attach, nullptr, Path, Interface,
                                   "AttachDirectChannel");
    sd_bus_message_append_array(attach, 'y', token, tokenSize);
    sd_bus_message *attached = nullptr;
    if ((r = sd_bus_call(channel, attach, 10 * 1000000ULL, &error, &attached)) < 0)
        die("AttachDirectChannel", r);
    sd_bus_message_unref(attach);
    sd_bus_message_unref(attached);
    sd_bus_message_unref(reply);

    Askers askers(&s);
    // Calls go out as the party reads them; their answers are never read.
    std::atomic<bool> sending{true};
    std::thread sender([&] {
        const int fd = sd_bus_get_fd(channel);
        for (long long i = 1; i <= calls; ++i) {
            sd_bus_message *call = nullptr;
            sd_bus_message_new_method_call(channel, &call, nullptr, Path, Interface, "Deliver");
            sd_bus_message_append(call, "isis", 0, "no reader", int(i), "x");
            uint64_t cookie = 0;
            if (sd_bus_send(channel, call, &cookie) < 0)
                break;
            sd_bus_message_unref(call);
            ++s.sent;
            uint64_t queued = 0;
            while (sd_bus_get_n_queued_write(channel, &queued) >= 0 && queued >= 64) {
                pollfd p = {fd, POLLOUT, 0};
                if (::poll(&p, 1, 200) < 0 || (p.revents & (POLLERR | POLLHUP)))
                    break;
                if (p.revents & POLLOUT)
                    sd_bus_flush(channel);
                if (!sending)
                    break;
            }
            if (!sending)
                break;
        }
        sending = false;
    });
    // Until every call is out, or none went out for 3 s: the party stopped
    // reading the channel.
    long long lastSent = -1;
    long long stillSince = nowNs();
    while (sending) {
        sampleFor(&during, party, daemon, 500);
        if (s.sent != lastSent) {
            lastSent = s.sent;
            stillSince = nowNs();
        } else if (nowNs() - stillSince > 3000000000LL) {
            break;
        }
    }
    sampleFor(&during, party, daemon, 2000);
    result("sent", double(s.sent));
    result("party_rss_with_peer_mib", residentKiB(party) / 1024.0);
    // The peer leaves without having read anything.
    sending = false;
    ::shutdown(sd_bus_get_fd(channel), SHUT_RDWR);
    sender.join();
    s.flooding = false;
    sampleFor(&during, party, daemon, 3000);
    askers.stop();
    sample(&after, party, daemon);
    report(&s, before, during, after);
    return 0;
}

} // namespace

int runAcks(pid_t party, pid_t daemon, long long count, int seconds)
{
    Shared s;
    sd_bus *bus = openBus();
    s.party = findParty(bus);
    Memory before, during, after;
    sample(&before, party, daemon);
    // A window of its own, so that the party acknowledges each payload to it.
    sd_bus *stopped = openBus();
    constexpr int Handle = 777779;
    const std::string name = Prefix + std::to_string(Handle);
    if (const int r = sd_bus_request_name(stopped, name.c_str(), 0); r < 0)
        die("RequestName", r);
    Askers askers(&s);
    const long long start = nowNs();
    for (long long i = 1; i <= count; ++i) {
        sd_bus_message *call = nullptr;
        sd_bus_message_new_method_call(stopped, &call, s.party.c_str(), Path, Interface, "Deliver");
        sd_bus_message_append(call, "isis", Handle, "Stopped party", int(i), "acknowledge me");
        const int r = sd_bus_send(stopped, call, nullptr);
        sd_bus_message_unref(call);
        if (r < 0)
            die("send", r);
        ++s.sent;
        uint64_t queued = 0;
        if (sd_bus_get_n_queued_write(stopped, &queued) >= 0 && queued >= 16)
            sd_bus_flush(stopped);
    }
    // Everything written; from now on it reads nothing.
    sd_bus_flush(stopped);
    const double sendS = (nowNs() - start) / 1e9;
    sampleFor(&during, party, daemon, seconds * 1000);
    s.flooding = false;
    sampleFor(&during, party, daemon, 5000);
    askers.stop();
    sample(&after, party, daemon);
    result("send_s", sendS);
    result("sent", double(s.sent));
    report(&s, before, during, after);
    sd_bus_close_unref(stopped);
    sd_bus_flush_close_unref(bus);
    return 0;
}

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "bus" && argc >= 6)
        return runBus(std::atoi(argv[2]), std::atoi(argv[3]), std::atoll(argv[4]),
                      std::atoi(argv[5]), argc > 6 ? std::atoi(argv[6]) : 1);
    if (mode == "acks" && argc >= 6)
        return runAcks(std::atoi(argv[2]), std::atoi(argv[3]), std::atoll(argv[4]),
                       std::atoi(argv[5]));
    if (mode == "channel" && argc >= 5)
        return runChannel(std::atoi(argv[2]), std::atoi(argv[3]), std::atoll(argv[4]));
    std::fprintf(stderr, "usage: flood_probe bus <party pid> <daemon pid> <text bytes> <seconds> "
                         "[senders]\n"
                         "       flood_probe acks <party pid> <daemon pid> <calls> <seconds>\n"
                         "       flood_probe channel <party pid> <daemon pid> <calls>\n");
    return 2;
}
