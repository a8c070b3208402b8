// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// What this machine's clocks say a thread did when it did nothing. A thread
// reads its own CPU-time clock over and over for a while, first alone, then
// beside one busy thread more than there are processors. Prints:
//
//   RESULT machine_cpu_step_quiet_ms <the largest rise of the thread's CPU
//                                     time between two reads, alone>
//   RESULT machine_cpu_step_loaded_ms <the same beside the busy threads>
//
// Between two reads the thread does nothing, so a rise of more than a few
// microseconds is time the machine took from it while the system still
// counts it as the thread's: a virtual machine whose host stops its
// processors (a CPU quota, for one) shows it, and then no "stall less CPU
// wait" of the window's benchmarks can be shorter on this machine.
//
//   machine_probe [<ms each>]
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <time.h>
#include <vector>

namespace {

double nowMs(clockid_t clock)
{
    timespec t{};
    ::clock_gettime(clock, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

double largestStepMs(double forMs)
{
    const double start = nowMs(CLOCK_MONOTONIC);
    double cpu = nowMs(CLOCK_THREAD_CPUTIME_ID);
    double largest = 0;
    while (nowMs(CLOCK_MONOTONIC) - start < forMs) {
        const double next = nowMs(CLOCK_THREAD_CPUTIME_ID);
        largest = std::max(largest, next - cpu);
        cpu = next;
    }
    return largest;
}

} // namespace

int main(int argc, char **argv)
{
    const double forMs = argc > 1 ? std::atof(argv[1]) : 3000;
    std::printf("RESULT machine_cpu_step_quiet_ms %.6g\n", largestStepMs(forMs));
    std::atomic<bool> stop{false};
    std::vector<std::thread> busy;
    for (unsigned i = 0; i < std::max(1u, std::thread::hardware_concurrency()); ++i)
        busy.emplace_back([&] {
            while (!stop.load(std::memory_order_relaxed)) {
            }
        });
    std::printf("RESULT machine_cpu_step_loaded_ms %.6g\n", largestStepMs(forMs));
    stop = true;
    for (std::thread &t : busy)
        t.join();
    return 0;
}
