// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// Start-up of window programs on a private X display: the time from starting
// a program until its window is mapped, and the program's resident memory
// once it is shown. Starts an Xvfb of its own, watches its root window for
// MapNotify (no polling), and runs each program `runs` times, taking turns,
// after one run of each that is not counted (it brings the files into the
// page cache). Prints for every counted run:
//
//   RESULT startup_ms_<key> <ms from the start of the process until its window was mapped>
//   RESULT startup_cpu_ms_<key> <CPU time of all its threads until then>
//   RESULT rss_mib_<key> <VmRSS in MiB, <settle ms> after that>
//
//   startup_bench <runs> <settle ms> <key> <title> <program> [<key> <title> <program>]...
//
// A program's window is the first top-level window of its process
// (_NET_WM_PID) with that title to be mapped. The memory is read once the
// window has had <settle ms> to paint and to show what the program shows
// right after start. The programs run on the xcb platform with this
// process's environment otherwise, session bus included.
#include "measure.h"

#include <xcb/xcb.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

constexpr int64_t ShowTimeoutNs = 30'000'000'000;
constexpr int64_t StopTimeoutNs = 5'000'000'000;

// The processes this program started, stopped on every way out.
pid_t xserver = 0;
pid_t current = 0;

void stop(pid_t &pid)
{
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    const int64_t deadline = TestSupport::nowNs() + StopTimeoutNs;
    while (::waitpid(pid, nullptr, WNOHANG) == 0) {
        if (TestSupport::nowNs() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            break;
        }
        ::usleep(2000);
    }
    pid = 0;
}

[[noreturn]] void fail(const std::string &message)
{
    std::fprintf(stderr, "startup_bench: %s\n", message.c_str());
    stop(current);
    stop(xserver);
    std::exit(1);
}

struct Program
{
    std::string key;
    std::string title;
    std::string path;
};

// Starts argv with environment env; standard input and output go to
// /dev/null, standard error stays.
pid_t spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env)
{
    std::vector<char *> args;
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    std::vector<char *> vars;
    for (const std::string &var : env)
        vars.push_back(const_cast<char *>(var.c_str()));
    vars.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int error = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), vars.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
        fail("cannot start " + argv[0] + ": " + std::strerror(error));
    return pid;
}

// This process's environment without the variables that name a display,
// followed by extra.
std::vector<std::string> environment(const std::vector<std::string> &extra)
{
    std::vector<std::string> env;
    for (char **var = environ; *var; ++var) {
        const std::string entry = *var;
        const std::string name = entry.substr(0, entry.find('='));
        if (name != "DISPLAY" && name != "WAYLAND_DISPLAY" && name != "QT_QPA_PLATFORM")
            env.push_back(entry);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

// Starts Xvfb on a free display and returns the display's name.
std::string startXServer()
{
    int fds[2];
    if (::pipe(fds) != 0)
        fail(std::string("pipe: ") + std::strerror(errno));
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    // The write end stays open in Xvfb, which writes the display number to it.
    xserver = spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-nolisten", "tcp", "-screen",
                     "0", "1280x1024x24"},
                    environment({}));
    ::close(fds[1]);
    std::string number;
    const int64_t deadline = TestSupport::nowNs() + ShowTimeoutNs;
    for (;;) {
        pollfd p{fds[0], POLLIN, 0};
        if (TestSupport::nowNs() > deadline)
            fail("Xvfb did not start");
        if (::poll(&p, 1, 100) <= 0)
            continue;
        char c = 0;
        if (::read(fds[0], &c, 1) != 1)
            fail("Xvfb ended at start");
        if (c == '\n')
            break;
        number += c;
    }
    ::close(fds[0]);
    return ":" + number;
}

class Display
{
public:
    explicit Display(const std::string &name)
    {
        m_c = xcb_connect(name.c_str(), nullptr);
        if (xcb_connection_has_error(m_c))
            fail("cannot connect to display " + name);
        const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(m_c)).data;
        const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_generic_error_t *error = xcb_request_check(
            m_c, xcb_change_window_attributes_checked(m_c, screen->root, XCB_CW_EVENT_MASK, &mask));
        if (error) {
            std::free(error);
            fail("cannot watch the root window");
        }
        m_pid = atom("_NET_WM_PID");
        m_name = atom("_NET_WM_NAME");
        m_utf8 = atom("UTF8_STRING");
    }

    ~Display() { xcb_disconnect(m_c); }

    // Waits until process pid maps a window with this title; returns the
    // time the map was seen.
    int64_t waitForWindow(pid_t pid, const std::string &title)
    {
        const int64_t deadline = TestSupport::nowNs() + ShowTimeoutNs;
        for (;;) {
            while (xcb_generic_event_t *event = xcb_poll_for_event(m_c)) {
                const int64_t seen = TestSupport::nowNs();
                const bool mapped = (event->response_type & 0x7f) == XCB_MAP_NOTIFY;
                const xcb_window_t window =
                    mapped ? reinterpret_cast<xcb_map_notify_event_t *>(event)->window : 0;
                std::free(event);
                if (mapped && windowPid(window) == pid && windowTitle(window) == title)
                    return seen;
            }
            if (xcb_connection_has_error(m_c))
                fail("lost the display");
            if (::waitpid(pid, nullptr, WNOHANG) == pid) {
                current = 0;
                fail("a program ended before its window \"" + title + "\" was shown");
            }
            if (TestSupport::nowNs() > deadline)
                fail("no window \"" + title + "\" was shown");
            pollfd p{xcb_get_file_descriptor(m_c), POLLIN, 0};
            ::poll(&p, 1, 50);
        }
    }

    // Lets time pass, taking the events meanwhile.
    void idle(int64_t ns)
    {
        const int64_t until = TestSupport::nowNs() + ns;
        for (int64_t now; (now = TestSupport::nowNs()) < until;) {
            pollfd p{xcb_get_file_descriptor(m_c), POLLIN, 0};
            ::poll(&p, 1, int(std::max<int64_t>((until - now) / 1'000'000, 1)));
            while (xcb_generic_event_t *event = xcb_poll_for_event(m_c))
                std::free(event);
        }
    }

private:
    xcb_atom_t atom(const char *name)
    {
        xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(
            m_c, xcb_intern_atom(m_c, 0, uint16_t(std::strlen(name)), name), nullptr);
        if (!reply)
            fail(std::string("cannot intern ") + name);
        const xcb_atom_t atom = reply->atom;
        std::free(reply);
        return atom;
    }

    // The property's value as bytes, empty when it is missing.
    std::string property(xcb_window_t window, xcb_atom_t name, xcb_atom_t type)
    {
        xcb_get_property_reply_t *reply = xcb_get_property_reply(
            m_c, xcb_get_property(m_c, 0, window, name, type, 0, 1024), nullptr);
        if (!reply)
            return {};
        const std::string value(static_cast<const char *>(xcb_get_property_value(reply)),
                                size_t(xcb_get_property_value_length(reply))); // in bytes
        std::free(reply);
        return value;
    }

    pid_t windowPid(xcb_window_t window)
    {
        const std::string value = property(window, m_pid, XCB_ATOM_CARDINAL);
        uint32_t pid = 0;
        if (value.size() != sizeof pid)
            return 0;
        std::memcpy(&pid, value.data(), sizeof pid);
        return pid_t(pid);
    }

    std::string windowTitle(xcb_window_t window)
    {
        const std::string title = property(window, m_name, m_utf8);
        return title.empty() ? property(window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING) : title;
    }

    xcb_connection_t *m_c = nullptr;
    xcb_atom_t m_pid = XCB_ATOM_NONE;
    xcb_atom_t m_name = XCB_ATOM_NONE;
    xcb_atom_t m_utf8 = XCB_ATOM_NONE;
};

// The CPU time all threads of process pid have run so far, in ms: less
// swayed than the wall time by other work on the machine.
double cpuMs(pid_t pid)
{
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR *dir = ::opendir(tasks.c_str());
    if (!dir)
        return -1;
    unsigned long long ns = 0;
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        if (FILE *f = std::fopen((tasks + "/" + entry->d_name + "/schedstat").c_str(), "r")) {
            unsigned long long run = 0;
            if (std::fscanf(f, "%llu", &run) == 1)
                ns += run;
            std::fclose(f);
        }
    }
    ::closedir(dir);
    return double(ns) / 1e6;
}

// VmRSS of process pid, in MiB.
double residentMiB(pid_t pid)
{
    const long long kib = TestSupport::residentKiB(pid);
    if (kib < 0)
        fail("no VmRSS for process " + std::to_string(pid));
    return double(kib) / 1024;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 6 || (argc - 3) % 3 != 0) {
        std::fprintf(stderr, "usage: startup_bench <runs> <settle ms> <key> <title> <program> "
                             "[<key> <title> <program>]...\n");
        return 2;
    }
    const int runs = std::atoi(argv[1]);
    const int settleMs = std::atoi(argv[2]);
    if (runs <= 0 || settleMs < 0)
        fail("runs must be positive and the settle time not negative");
    std::vector<Program> programs;
    for (int i = 3; i + 2 < argc; i += 3)
        programs.push_back({argv[i], argv[i + 1], argv[i + 2]});

    ::signal(SIGPIPE, SIG_IGN);
    const std::string name = startXServer();
    Display display(name);
    const std::vector<std::string> env = environment({"DISPLAY=" + name, "QT_QPA_PLATFORM=xcb"});

    for (int run = 0; run <= runs; ++run) {
        // Turns alternate, so that neither program always follows the other.
        std::vector<Program> order = programs;
        if (run % 2)
            std::reverse(order.begin(), order.end());
        for (const Program &program : order) {
            const int64_t start = TestSupport::nowNs();
            current = spawn({program.path}, env);
            const int64_t shown = display.waitForWindow(current, program.title);
            const double cpu = cpuMs(current);
            display.idle(int64_t(settleMs) * 1'000'000);
            const double rss = residentMiB(current);
            stop(current);
            if (run > 0) {
                std::printf("RESULT startup_ms_%s %.6g\n", program.key.c_str(),
                            double(shown - start) / 1e6);
                std::printf("RESULT startup_cpu_ms_%s %.6g\n", program.key.c_str(), cpu);
                std::printf("RESULT rss_mib_%s %.6g\n", program.key.c_str(), rss);
                std::fflush(stdout);
            }
            // The bus and the display let go of the program before the next.
            display.idle(200'000'000);
        }
    }
    stop(xserver);
    return 0;
}
