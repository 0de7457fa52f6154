// What some serial drivers do not say plainly: a line speed that they read back
// as set though their hardware does not make it (such a rate must count as
// refused, or the user gets a wrong frequency without the beep that says so),
// and whether the driver's drain waits for the pin or only for its own queue.
#pragma once

#include <cstdint>

// The lowest rate the driver's hardware makes, or 0 when no limit is known.
// driver_path is where the device's "driver" link in sysfs points (for example
// "../../../../bus/usb-serial/drivers/ftdi_sio"); only its last part counts.
uint32_t driver_lowest_rate(const char* driver_path);

// True when the driver's drain (tcdrain) returns only once its line is idle at
// the pin: a driver of the kernel's serial core (answers_lsr: it answers
// TIOCSERGETLSR), or a USB adapter's driver that asks its chip. Elsewhere the
// drain ends once the driver's own queue is in the chip, or at once (a pty).
bool driver_drains_to_pin(const char* driver_path, bool answers_lsr);
