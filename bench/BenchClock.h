// The two clocks the benchmarks read: the process's CPU time, which holds
// better than wall time on a shared machine, and a monotonic wall clock.
#pragma once

#include <ctime>

namespace bench {

inline double cpuSeconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

inline double wallSeconds() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

}  // namespace bench
