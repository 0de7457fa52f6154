#include "driver_rates.h"

#include <cstring>

namespace {

struct DriverFacts {
    const char* driver;
    uint32_t lowest_rate;
    bool drains_to_pin; // its drain asks the chip whether its transmitter is empty
};

const DriverFacts kDrivers[] = {
    // FTDI chips divide 3 MHz by at most 16383.875; for lower rates the 14-bit
    // divisor overflows and ftdi_sio programs another rate (275 bit/s for 110)
    // while it still reads back the rate that was asked for.
    // Its drain polls the chip's modem status (GET_MODEM_STATUS) for TEMT.
    {"ftdi_sio", 183, true},
    // Its drain polls the chip's own transmit queue count (GET_COMM_STATUS).
    {"cp210x", 0, true},
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

} // namespace

uint32_t driver_lowest_rate(const char* driver_path) {
    const DriverFacts* facts = facts_of(driver_path);
    return facts != nullptr ? facts->lowest_rate : 0;
}

bool driver_drains_to_pin(const char* driver_path, bool answers_lsr) {
    // A USB adapter's driver answers only for itself (ch341 and pl2303 have no
    // drain of their own); any other driver that knows its transmitter's state
    // is the serial core's, whose drain polls that state.
    if (std::strstr(driver_path, "/usb-serial/") != nullptr) {
        const DriverFacts* facts = facts_of(driver_path);
        return facts != nullptr && facts->drains_to_pin;
    }
    return answers_lsr;
}
