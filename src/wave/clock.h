#pragma once

#include <cstdint>

// Monotonic milliseconds since an arbitrary start.
uint64_t clock_ms();
