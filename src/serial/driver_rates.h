// Serial drivers known to read back a line speed that their hardware does not
// make. Such a rate must count as refused, or the user gets a wrong frequency
// without the beep that says so.
#pragma once

#include <cstdint>

// The lowest rate the driver's hardware makes, or 0 when no limit is known.
// driver_path is where the device's "driver" link in sysfs points (for example
// "../../../../bus/usb-serial/drivers/ftdi_sio"); only its last part counts.
uint32_t driver_lowest_rate(const char* driver_path);
