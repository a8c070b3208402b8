// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The raw baselines, without Qt or D-Bus: a ping-pong between two processes
// over a Unix socket pair, the transfer of a text's bytes over one, and one
// memcpy of the same bytes. Prints "RESULT <key> <value>" lines:
//
//   socket_bench pingpong <iterations> <bytes>
//       socket_rt_p50_us, socket_rt_p99_us
//   socket_bench bulk <bytes>...
//       socket_ms_<bytes>  from the first byte written until the reader has
//                          the last one, in memory it had not touched before
//       memcpy_ms_<bytes>  one memcpy into memory not touched before
#include "measure.h"
#include "utf8text.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

[[noreturn]] void fail(const char *what)
{
    std::perror(what);
    std::exit(1);
}

void writeAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            fail("write");
        data += n;
        size -= size_t(n);
    }
}

// False when the stream ends before the first byte; a stream that ends later
// is an error.
bool readAll(int fd, char *data, size_t size)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            fail("read");
        if (n == 0) {
            if (done == 0)
                return false;
            fail("read: the stream ended early");
        }
        done += size_t(n);
    }
    return true;
}

// Forks a child that runs body on its end of a new socket pair and exits;
// returns the parent's end.
template <typename Body> int forkPeer(pid_t *pid, Body body)
{
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        fail("socketpair");
    *pid = ::fork();
    if (*pid < 0)
        fail("fork");
    if (*pid == 0) {
        ::close(ends[0]);
        body(ends[1]);
        ::_exit(0);
    }
    ::close(ends[1]);
    return ends[0];
}

void finish(int fd, pid_t pid)
{
    ::close(fd);
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        fail("the child process failed");
}

double percentile(std::vector<int64_t> sorted, double p)
{
    const size_t rank = size_t(std::ceil(p * double(sorted.size())));
    return double(sorted[std::max<size_t>(rank, 1) - 1]);
}

void pingPong(int iterations, size_t bytes)
{
    pid_t pid;
    const int fd = forkPeer(&pid, [bytes](int end) {
        std::vector<char> message(bytes);
        while (readAll(end, message.data(), bytes))
            writeAll(end, message.data(), bytes);
    });
    std::vector<char> message(bytes, 'x');
    std::vector<int64_t> samples;
    const int warmUp = std::max(iterations / 10, 1);
    for (int i = 0; i < warmUp + iterations; ++i) {
        const int64_t start = TestSupport::nowNs();
        writeAll(fd, message.data(), bytes);
        if (!readAll(fd, message.data(), bytes))
            fail("the echo ended");
        if (i >= warmUp)
            samples.push_back(TestSupport::nowNs() - start);
    }
    finish(fd, pid);
    std::sort(samples.begin(), samples.end());
    std::printf("RESULT socket_rt_p50_us %.1f\n", percentile(samples, 0.50) / 1e3);
    std::printf("RESULT socket_rt_p99_us %.1f\n", percentile(samples, 0.99) / 1e3);
}

void bulk(size_t bytes)
{
    std::unique_ptr<char[]> text(new char[bytes]);
    TestSupport::fillUtf8(text.get(), bytes);

    pid_t pid;
    const int fd = forkPeer(&pid, [&](int end) {
        std::unique_ptr<char[]> received(new char[bytes]);
        if (!readAll(end, received.get(), bytes))
            fail("the text did not arrive");
        const int64_t arrived = TestSupport::nowNs();
        const char intact = std::equal(text.get(), text.get() + bytes, received.get()) ? 1 : 0;
        writeAll(end, reinterpret_cast<const char *>(&arrived), sizeof arrived);
        writeAll(end, &intact, 1);
    });
    const int64_t start = TestSupport::nowNs();
    writeAll(fd, text.get(), bytes);
    int64_t arrived = 0;
    char intact = 0;
    if (!readAll(fd, reinterpret_cast<char *>(&arrived), sizeof arrived) ||
        !readAll(fd, &intact, 1))
        fail("the reader ended");
    finish(fd, pid);
    if (!intact) {
        std::fprintf(stderr, "socket_bench: the text of %zu bytes arrived damaged\n", bytes);
        std::exit(1);
    }
    std::printf("RESULT socket_ms_%zu %.4f\n", bytes, double(arrived - start) / 1e6);

    std::unique_ptr<char[]> copy(new char[bytes]);
    const int64_t copyStart = TestSupport::nowNs();
    std::memcpy(copy.get(), text.get(), bytes);
    const int64_t copied = TestSupport::nowNs();
    if (std::memcmp(copy.get(), text.get(), bytes) != 0)
        fail("memcpy");
    std::printf("RESULT memcpy_ms_%zu %.4f\n", bytes, double(copied - copyStart) / 1e6);
}

} // namespace

int main(int argc, char **argv)
{
    const std::string figure = argc > 1 ? argv[1] : "";
    if (figure == "pingpong" && argc == 4) {
        pingPong(std::atoi(argv[2]), size_t(std::atoll(argv[3])));
    } else if (figure == "bulk" && argc > 2) {
        for (int i = 2; i < argc; ++i)
            bulk(size_t(std::atoll(argv[i])));
    } else {
        std::fprintf(stderr, "usage: socket_bench pingpong <iterations> <bytes>\n"
                             "       socket_bench bulk <bytes>...\n");
        return 2;
    }
    return 0;
}
