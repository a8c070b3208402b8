// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The ways a program can connect to the session bus, side by side, on the
// bus itself and through a sandbox's D-Bus proxy:
//
//   sdbus      sd-bus alone: its whole sign-on in one write
//   handshake  the component's way: it signs on answer by answer, then hands
//              the connection to sd-bus
//   libdbus    the reference library, which QtDBus wraps
//
//   signon_bench <connections> <calls> <proxy address>
//
// For each way and each address it times <connections> connections from
// the first byte to the bus's answer to Hello, and then <calls> calls with
// reply on one connection to an echo service in a second process. Prints
// "RESULT signon_<way>_<bus|proxy>_connect_p50_us <v>" and "..._call_p50_us",
// or -1 for a way that cannot connect there.
#include "bushandshake.h"

#include <dbus/dbus.h>
#include <systemd/sd-bus.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char *ServiceName = "org.calvorn.Bench.SignOn";
constexpr const char *ObjectPath = "/bench";
constexpr const char *Interface = "org.calvorn.Bench";

using Clock = std::chrono::steady_clock;

double p50(std::vector<double> v)
{
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double sinceUs(Clock::time_point start)
{
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

int echo(sd_bus_message *call, void *, sd_bus_error *)
{
    int32_t number = 0;
    int r = sd_bus_message_read(call, "i", &number);
    return r < 0 ? r : sd_bus_reply_method_return(call, "i", number);
}

const sd_bus_vtable EchoTable[] = {SD_BUS_VTABLE_START(0), SD_BUS_METHOD("Echo", "i", "i", echo, 0),
                                   SD_BUS_VTABLE_END};

// The echo service, on the bus directly; the parent learns it is there
// from the pipe.
[[noreturn]] void serve(int ready)
{
    sd_bus *bus = nullptr;
    if (sd_bus_open_user(&bus) < 0 ||
        sd_bus_add_object_vtable(bus, nullptr, ObjectPath, Interface, EchoTable, nullptr) < 0 ||
        sd_bus_request_name(bus, ServiceName, 0) < 0)
        _exit(1);
    (void)!write(ready, "x", 1);
    for (;;) {
        if (sd_bus_process(bus, nullptr) < 0)
            _exit(1);
        sd_bus_wait(bus, UINT64_MAX);
    }
}

// One way of connecting: opens a connection (null when it cannot), makes
// one call on it, closes it.
struct Way
{
    const char *name;
    std::function<void *(const std::string &address)> open;
    std::function<bool(void *)> call;
    std::function<void(void *)> close;
};

sd_bus *startedSdBus(sd_bus *bus)
{
    const char *unique = nullptr;
    if (sd_bus_get_unique_name(bus, &unique) < 0) {
        sd_bus_flush_close_unref(bus);
        return nullptr;
    }
    return bus;
}

void *openSdBus(const std::string &address)
{
    sd_bus *bus = nullptr;
    if (sd_bus_new(&bus) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
        sd_bus_set_address(bus, address.c_str()) < 0 || sd_bus_negotiate_fds(bus, 1) < 0 ||
        sd_bus_start(bus) < 0) {
        sd_bus_unref(bus);
        return nullptr;
    }
    return startedSdBus(bus);
}

void *openHandshake(const std::string &address)
{
    QString error;
    std::optional<BusHandshake::SignedOn> signedOn =
        BusHandshake::signOn(QByteArray::fromStdString(address), 5000, &error);
    sd_bus *bus = nullptr;
    if (!signedOn || sd_bus_new(&bus) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
        !BusHandshake::startOn(bus, std::move(*signedOn), &error)) {
        if (bus)
            sd_bus_flush_close_unref(bus);
        return nullptr;
    }
    return startedSdBus(bus);
}

bool callSdBus(void *connection)
{
    auto *bus = static_cast<sd_bus *>(connection);
    sd_bus_message *reply = nullptr;
    int32_t answer = 0;
    const int r = sd_bus_call_method(bus, ServiceName, ObjectPath, Interface, "Echo", nullptr,
                                     &reply, "i", 42) >= 0 &&
                          sd_bus_message_read(reply, "i", &answer) >= 0
                      ? 0
                      : -1;
    sd_bus_message_unref(reply);
    return r == 0 && answer == 42;
}

void *openLibdbus(const std::string &address)
{
    DBusConnection *connection = dbus_connection_open_private(address.c_str(), nullptr);
    if (!connection)
        return nullptr;
    if (!dbus_bus_register(connection, nullptr)) {
        dbus_connection_close(connection);
        dbus_connection_unref(connection);
        return nullptr;
    }
    return connection;
}

bool callLibdbus(void *opened)
{
    auto *connection = static_cast<DBusConnection *>(opened);
    DBusMessage *call = dbus_message_new_method_call(ServiceName, ObjectPath, Interface, "Echo");
    dbus_int32_t number = 42;
    dbus_message_append_args(call, DBUS_TYPE_INT32, &number, DBUS_TYPE_INVALID);
    DBusMessage *reply =
        dbus_connection_send_with_reply_and_block(connection, call, 25000, nullptr);
    dbus_message_unref(call);
    dbus_int32_t answer = 0;
    const bool ok =
        reply && dbus_message_get_args(reply, nullptr, DBUS_TYPE_INT32, &answer, DBUS_TYPE_INVALID);
    if (reply)
        dbus_message_unref(reply);
    return ok && answer == 42;
}

void closeLibdbus(void *opened)
{
    auto *connection = static_cast<DBusConnection *>(opened);
    dbus_connection_close(connection);
    dbus_connection_unref(connection);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: signon_bench <connections> <calls> <proxy address>\n");
        return 2;
    }
    const int connections = std::atoi(argv[1]);
    const int calls = std::atoi(argv[2]);
    const char *busAddress = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (!busAddress) {
        std::fprintf(stderr, "signon_bench: no session bus\n");
        return 1;
    }
    int ready[2];
    if (pipe(ready) < 0)
        return 1;
    const pid_t service = fork();
    if (service == 0)
        serve(ready[1]);
    char byte = 0;
    if (read(ready[0], &byte, 1) != 1) {
        std::fprintf(stderr, "signon_bench: the echo service did not start\n");
        return 1;
    }

    const auto closeSdBus = [](void *bus) {
        sd_bus_flush_close_unref(static_cast<sd_bus *>(bus));
    };
    const Way ways[] = {{"sdbus", openSdBus, callSdBus, closeSdBus},
                        {"handshake", openHandshake, callSdBus, closeSdBus},
                        {"libdbus", openLibdbus, callLibdbus, closeLibdbus}};
    const std::pair<const char *, std::string> addresses[] = {{"bus", busAddress},
                                                              {"proxy", argv[3]}};
    int status = 0;
    for (const auto &[where, address] : addresses) {
        for (const Way &way : ways) {
            std::vector<double> connect;
            std::vector<double> call;
            for (int i = 0; i < connections; ++i) {
                const Clock::time_point start = Clock::now();
                void *connection = way.open(address);
                if (!connection)
                    break;
                connect.push_back(sinceUs(start));
                way.close(connection);
            }
            if (void *connection = connect.empty() ? nullptr : way.open(address)) {
                for (int i = 0; i < calls; ++i) {
                    const Clock::time_point start = Clock::now();
                    if (!way.call(connection)) {
                        status = 1;
                        break;
                    }
                    call.push_back(sinceUs(start));
                }
                way.close(connection);
            }
            std::printf("RESULT signon_%s_%s_connect_p50_us %.1f\n", way.name, where, p50(connect));
            std::printf("RESULT signon_%s_%s_call_p50_us %.1f\n", way.name, where, p50(call));
        }
    }
    kill(service, SIGTERM);
    waitpid(service, nullptr, 0);
    return status;
}
