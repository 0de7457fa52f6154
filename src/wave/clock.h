#pragma once

#include <cstdint>

// The program's one monotonic clock, in nanoseconds since an arbitrary start. On
// Linux it is CLOCK_MONOTONIC, the clock of the port's timed sleeps.
int64_t monotonic_ns();

// The same clock in milliseconds.
uint64_t clock_ms();
