// Splitting independent per-pixel work across the machine's cores.
#pragma once

#include <cstdint>
#include <functional>

// Pixels per range for per-pixel loops: enough that starting a thread costs nothing in
// comparison.
constexpr int64_t kPixelsPerRange = 64 * 1024;

// Calls body(begin, end) on disjoint consecutive ranges covering [0, count), on up to one
// thread per core (the caller's included), and returns when all are done. Ranges smaller
// than minimumChunk are not split further.
void parallelFor(int64_t count, int64_t minimumChunk,
                 const std::function<void(int64_t begin, int64_t end)>& body);
// Threads parallelFor would use for a large count, and that runs use for loading ahead.
int workerCount();
// Limits the threads a run uses; 1 makes a run entirely sequential (no loading ahead, no
// split loops), 0 restores one per core. Results are the same either way.
void setWorkerCount(int count);
