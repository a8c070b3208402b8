// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The floor under InterProc's round trips: bare sd-bus (libsystemd) calls,
// with no Qt and no InterProc in between.
//
//   sdbus_bench bus <n> <bytes>  a call with reply through the session bus
//                                daemon, to a service in a second process
//   sdbus_bench p2p <n> <bytes>  the same call peer to peer, over a socket
//                                pair between the two processes
//
// Each call carries a number and <bytes> bytes, which the service echoes.
// Prints "RESULT sdbus_rt_p50_us <v>" and p99 (bus), or the same with
// sdbus_p2p_ (p2p).
#include <systemd/sd-bus.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char *ServiceName = "org.calvorn.Bench.SdBus";
constexpr const char *ObjectPath = "/bench";
constexpr const char *Interface = "org.calvorn.Bench";
constexpr int WarmUpCalls = 100;

[[noreturn]] void fail(const char *what, int r)
{
    std::fprintf(stderr, "sdbus_bench: %s: %s\n", what, std::strerror(-r));
    std::exit(1);
}

int echo(sd_bus_message *call, void *, sd_bus_error *)
{
    int32_t number = 0;
    const void *text = nullptr;
    size_t size = 0;
    int r = sd_bus_message_read(call, "i", &number);
    if (r >= 0)
        r = sd_bus_message_read_array(call, 'y', &text, &size);
    if (r < 0)
        return r;
    sd_bus_message *reply = nullptr;
    r = sd_bus_message_new_method_return(call, &reply);
    if (r >= 0)
        r = sd_bus_message_append(reply, "i", number);
    if (r >= 0)
        r = sd_bus_message_append_array(reply, 'y', text, size);
    if (r >= 0)
        r = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return r < 0 ? r : 1;
}

const sd_bus_vtable BenchVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Echo", "iay", "iay", echo, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

// The service's side: answers calls until the connection ends or it is
// told to stop.
[[noreturn]] void serve(sd_bus *bus, int readyFd)
{
    int r = sd_bus_add_object_vtable(bus, nullptr, ObjectPath, Interface, BenchVtable, nullptr);
    if (r < 0)
        fail("export", r);
    if (readyFd >= 0) {
        r = sd_bus_request_name(bus, ServiceName, 0);
        if (r < 0)
            fail("request name", r);
        const char ready = 1;
        if (write(readyFd, &ready, 1) != 1)
            std::exit(1);
        close(readyFd);
    }
    for (;;) {
        r = sd_bus_process(bus, nullptr);
        if (r < 0)
            break;
        if (r > 0)
            continue;
        if (sd_bus_wait(bus, UINT64_MAX) < 0)
            break;
    }
    sd_bus_flush_close_unref(bus);
    std::_Exit(0);
}

double percentile(std::vector<double> samples, double p)
{
    std::sort(samples.begin(), samples.end());
    return samples[std::min(samples.size() - 1, size_t(p * double(samples.size())))];
}

void measure(sd_bus *bus, const char *destination, int calls, size_t bytes, const char *prefix)
{
    const std::string text(bytes, 'x');
    std::vector<double> samples;
    samples.reserve(size_t(calls));
    for (int i = -WarmUpCalls; i < calls; ++i) {
        const auto start = std::chrono::steady_clock::now();
        sd_bus_message *call = nullptr;
        sd_bus_message *reply = nullptr;
        sd_bus_error error = SD_BUS_ERROR_NULL;
        int r =
            sd_bus_message_new_method_call(bus, &call, destination, ObjectPath, Interface, "Echo");
        if (r >= 0)
            r = sd_bus_message_append(call, "i", int32_t(i));
        if (r >= 0)
            r = sd_bus_message_append_array(call, 'y', text.data(), text.size());
        if (r >= 0)
            r = sd_bus_call(bus, call, 0, &error, &reply);
        int32_t echoed = 0;
        if (r >= 0)
            r = sd_bus_message_read(reply, "i", &echoed);
        if (r >= 0 && echoed != i)
            r = -EBADMSG;
        sd_bus_error_free(&error);
        sd_bus_message_unref(call);
        sd_bus_message_unref(reply);
        if (r < 0)
            fail("call", r);
        const auto end = std::chrono::steady_clock::now();
        if (i >= 0)
            samples.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
    std::printf("RESULT %srt_p50_us %.1f\n", prefix, percentile(samples, 0.50));
    std::printf("RESULT %srt_p99_us %.1f\n", prefix, percentile(samples, 0.99));
}

int throughBus(int calls, size_t bytes)
{
    int ready[2];
    if (pipe(ready) != 0)
        fail("pipe", -errno);
    const pid_t child = fork();
    if (child == 0) {
        close(ready[0]);
        sd_bus *bus = nullptr;
        const int r = sd_bus_open_user(&bus);
        if (r < 0)
            fail("connect to the session bus", r);
        serve(bus, ready[1]);
    }
    close(ready[1]);
    char byte = 0;
    if (read(ready[0], &byte, 1) != 1) {
        std::fprintf(stderr, "sdbus_bench: the service did not start\n");
        return 1;
    }
    sd_bus *bus = nullptr;
    const int r = sd_bus_open_user(&bus);
    if (r < 0)
        fail("connect to the session bus", r);
    measure(bus, ServiceName, calls, bytes, "sdbus_");
    sd_bus_flush_close_unref(bus);
    kill(child, SIGTERM);
    waitpid(child, nullptr, 0);
    return 0;
}

int peerToPeer(int calls, size_t bytes)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        fail("socketpair", -errno);
    const pid_t child = fork();
    if (child == 0) {
        close(pair[0]);
        sd_bus *bus = nullptr;
        sd_id128_t id;
        int r = sd_bus_new(&bus);
        if (r >= 0)
            r = sd_bus_set_fd(bus, pair[1], pair[1]);
        if (r >= 0)
            r = sd_id128_randomize(&id);
        if (r >= 0)
            r = sd_bus_set_server(bus, 1, id);
        if (r >= 0)
            r = sd_bus_start(bus);
        if (r < 0)
            fail("serve peer to peer", r);
        serve(bus, -1);
    }
    close(pair[1]);
    sd_bus *bus = nullptr;
    int r = sd_bus_new(&bus);
    if (r >= 0)
        r = sd_bus_set_fd(bus, pair[0], pair[0]);
    if (r >= 0)
        r = sd_bus_start(bus);
    if (r < 0)
        fail("connect peer to peer", r);
    measure(bus, nullptr, calls, bytes, "sdbus_p2p_");
    sd_bus_flush_close_unref(bus);
    waitpid(child, nullptr, 0);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    const int calls = argc > 2 ? std::atoi(argv[2]) : 0;
    const long bytes = argc > 3 ? std::atol(argv[3]) : -1;
    if ((mode != "bus" && mode != "p2p") || calls <= 0 || bytes < 0) {
        std::fprintf(stderr, "usage: sdbus_bench bus|p2p <calls> <bytes>\n");
        return 2;
    }
    return mode == "bus" ? throughBus(calls, size_t(bytes)) : peerToPeer(calls, size_t(bytes));
}
