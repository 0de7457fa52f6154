#include "driver_rates.h"

#include <cstring>

namespace {

struct DriverFacts {
    const char* driver;
    uint32_t lowest_rate;
    uint32_t status_age_ms; // with the latency timer the driver sets, when none is found
};

const DriverFacts kDrivers[] = {
    // FTDI chips divide 3 MHz by at most 16383.875; for lower rates the 14-bit
    // divisor overflows and ftdi_sio programs another rate (275 bit/s for 110)
    // while it still reads back the rate that was asked for.
    // Its "transmitter empty" is the last status the chip sent; the chip sends
    // one per latency period (16 ms as the driver sets it), and it takes a
    // millisecond or two more to come in.
    {"ftdi_sio", 183, 16},
};

const DriverFacts* facts_of(const char* driver_path) {
    const char* slash = std::strrchr(driver_path, '/');
    const char* name = slash != nullptr ? slash + 1 : driver_path;
    for (const DriverFacts& facts : kDrivers) {
        if (std::strcmp(name, facts.driver) == 0) {
            return &facts;
        }
    }
    return nullptr;
}

constexpr uint32_t kStatusWayMs = 2;

} // namespace

uint32_t driver_lowest_rate(const char* driver_path) {
    const DriverFacts* facts = facts_of(driver_path);
    return facts != nullptr ? facts->lowest_rate : 0;
}

uint32_t driver_status_age_ms(const char* driver_path, int latency_ms) {
    const DriverFacts* facts = facts_of(driver_path);
    if (facts == nullptr || facts->status_age_ms == 0) {
        return 0;
    }
    return (latency_ms >= 0 ? static_cast<uint32_t>(latency_ms) : facts->status_age_ms) +
           kStatusWayMs;
}
