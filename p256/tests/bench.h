// The timing loop of the engine benchmark (bench_engine.cpp, bench_arith.cpp):
// median (and minimum) over repeated batches. Time is the thread's CPU time,
// so that periods where other work has the processor do not count; on a busy
// machine compare medians of several runs.
#pragma once

#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace benchmark {

inline volatile std::uint64_t g_sink;

inline double cpu_ns() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

// Runs `op` in batches of `iters` and prints the median time per call, and
// the throughput when `bytes` (per call) is given.
template <typename Op>
void bench(const std::string& name, int iters, Op op, std::size_t bytes = 0) {
    constexpr int kRepeats = 15;
    std::vector<double> per_call;
    op();  // warm up: tables, caches
    for (int r = 0; r < kRepeats; ++r) {
        const double t0 = cpu_ns();
        for (int i = 0; i < iters; ++i) op();
        const double t1 = cpu_ns();
        per_call.push_back((t1 - t0) / iters);
    }
    std::sort(per_call.begin(), per_call.end());
    const double med = per_call[kRepeats / 2], lo = per_call[0];
    char rate[32] = "";
    if (bytes != 0) std::snprintf(rate, sizeof rate, "   %7.0f MB/s", static_cast<double>(bytes) * 1e3 / med);
    if (med >= 1000.0) {
        std::printf("%-32s median %9.2f us   min %9.2f us%s\n", name.c_str(), med / 1000.0, lo / 1000.0, rate);
    } else {
        std::printf("%-32s median %9.1f ns   min %9.1f ns%s\n", name.c_str(), med, lo, rate);
    }
}

}  // namespace benchmark
