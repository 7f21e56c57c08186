#include "engine/parallel.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

namespace {
std::atomic<int> configuredWorkers{0};
}  // namespace

int workerCount() {
    const int configured = configuredWorkers.load();
    if (configured > 0)
        return configured;
    // The cores this process may run on (taskset, a container's cpuset), not the machine's.
    static const int cores = [] {
        cpu_set_t allowed;
        CPU_ZERO(&allowed);
        if (sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 0)
            return CPU_COUNT(&allowed);
        return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    }();
    return cores;
}

void setWorkerCount(int count) {
    configuredWorkers.store(count < 0 ? 0 : count);
}

void parallelFor(int64_t count, int64_t minimumChunk,
                 const std::function<void(int64_t begin, int64_t end)>& body) {
    if (count <= 0)
        return;
    const int64_t parts = std::max<int64_t>(
        1, std::min<int64_t>(workerCount(), count / std::max<int64_t>(1, minimumChunk)));
    if (parts == 1) {
        body(0, count);
        return;
    }
    std::vector<std::thread> helpers;
    helpers.reserve(parts - 1);
    const int64_t step = count / parts;
    for (int64_t p = 1; p < parts; ++p) {
        const int64_t begin = p * step;
        const int64_t end = p + 1 == parts ? count : begin + step;
        try {
            helpers.emplace_back([&body, begin, end] { body(begin, end); });
        } catch (...) {
            // No thread to be had: the work is still done, on this one.
            body(begin, end);
        }
    }
    body(0, step);
    for (std::thread& helper : helpers)
        helper.join();
}
