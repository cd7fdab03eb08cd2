#pragma once

// What the harnesses under bench/ share to turn samples into figures: the
// percentiles of a sample, and a process's CPU time and wake-ups from /proc
// (of its main thread, or of all its threads).

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace qz::bench {

// The p-th percentile (0 the least, 100 the greatest) by the nearest rank;
// -1 for an empty sample, which no measurement gives but a failed run can.
inline double Percentile(std::vector<double> values, double p)
{
    if (values.empty()) {
        return -1;
    }
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p / 100.0 * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

// Processor time in nanoseconds and the voluntary context switches (each one
// a sleep, so each wake-up after it) of a process.
struct Usage {
    long long cpuNs = 0;
    long long wakeUps = 0;
};

inline Usage UsageOf(int pid)
{
    Usage usage;
    std::ifstream schedstat("/proc/" + std::to_string(pid) + "/schedstat");
    schedstat >> usage.cpuNs; // time spent on the CPU
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
            usage.wakeUps = std::stoll(line.substr(line.find(':') + 1));
        }
    }
    return usage;
}

// The same summed over every thread of a process, and how many it has.
struct ThreadsUsage {
    Usage usage;
    int threads = 0;
};

inline ThreadsUsage UsageOfThreads(int pid)
{
    ThreadsUsage total;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks)) {
        std::ifstream schedstat(task.path() / "schedstat");
        long long cpuNs = 0;
        schedstat >> cpuNs;
        total.usage.cpuNs += cpuNs;
        std::ifstream status(task.path() / "status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
                total.usage.wakeUps += std::stoll(line.substr(line.find(':') + 1));
            }
        }
        ++total.threads;
    }
    return total;
}

// The qz470-probe that QZ_PROBE names, for the harnesses that run it; null,
// after a line that says where the command is, when it names none.
inline const char* ProbeFromEnvironment()
{
    const char* probe = std::getenv("QZ_PROBE");
    if (probe == nullptr) {
        std::printf("QZ_PROBE does not name the probe (see docs/PERFORMANCE.md for the command)\n");
    }
    return probe;
}

} // namespace qz::bench
