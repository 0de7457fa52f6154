#include "clock.h"

#if defined(_WIN32)
#include <chrono>
#else
#include <time.h>
#endif

int64_t monotonic_ns() {
#if defined(_WIN32)
    using namespace std::chrono;
    return static_cast<int64_t>(
        duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count());
#else
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
#endif
}

uint64_t clock_ms() {
    return static_cast<uint64_t>(monotonic_ns() / 1000000);
}
