// What some serial drivers do not say plainly: a line speed that they read back
// as set though their hardware does not make it (such a rate must count as
// refused, or the user gets a wrong frequency without the beep that says so),
// and a "transmitter empty" that is a cached status rather than the line's own.
#pragma once

#include <cstdint>

// The lowest rate the driver's hardware makes, or 0 when no limit is known.
// driver_path is where the device's "driver" link in sysfs points (for example
// "../../../../bus/usb-serial/drivers/ftdi_sio"); only its last part counts.
uint32_t driver_lowest_rate(const char* driver_path);

// How old, in milliseconds, the driver's "transmitter empty" may be when read
// (0: read from the hardware at once). latency_ms is the device's own latency
// timer where it has one (-1: none found).
uint32_t driver_status_age_ms(const char* driver_path, int latency_ms);
