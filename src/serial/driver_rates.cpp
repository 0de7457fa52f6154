#include "driver_rates.h"

#include <cstring>

namespace {

struct DriverLimit {
    const char* driver;
    uint32_t lowest_rate;
    // Why: what the driver does with a lower rate.
};

const DriverLimit kLimits[] = {
    // FTDI chips divide 3 MHz by at most 16383.875; for lower rates the 14-bit
    // divisor overflows and ftdi_sio programs another rate (275 bit/s for 110)
    // while it still reads back the rate that was asked for.
    {"ftdi_sio", 183},
};

} // namespace

uint32_t driver_lowest_rate(const char* driver_path) {
    const char* slash = std::strrchr(driver_path, '/');
    const char* name = slash != nullptr ? slash + 1 : driver_path;
    for (const DriverLimit& limit : kLimits) {
        if (std::strcmp(name, limit.driver) == 0) {
            return limit.lowest_rate;
        }
    }
    return 0;
}
