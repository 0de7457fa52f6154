// Serial port access: everything the wave engine does with the serial device.
// Each platform supplies these functions in one implementation file chosen by the
// build; the records below come from the platform's own header.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(KELVOR_SIMULATED_PORT)
#include "sim_port_records.h" // the simulated line of the test suite
#elif defined(_WIN32)
#include "port_records_win32.h"
#else
#include "port_records_linux.h"
#endif

// The records each platform defines:
//   PortHandle        the open device
//   CompletionSignal  set when a write completes (normally or cancelled)
//   WriteRecord       the record of the one write in flight, reused for every write
//   PortSettings      the port's full settings record, read once from the port

// Builds the device path for the command-line designation into buf (size bytes).
// Returns false when the path does not fit; nothing is written past buf + size.
bool port_make_path(const char* designation, char* buf, size_t size);

// Opens the device for this process alone and for background writes.
bool port_open(const char* path, PortHandle& port);

bool port_create_signal(CompletionSignal& signal);

// Clears the write record and ties it to the completion signal.
void port_init_write(WriteRecord& write, CompletionSignal signal);

// Reads all current settings; false when the device is not a serial port.
bool port_read_settings(PortHandle port, PortSettings& settings);

// Sets line speed, data bits, parity and stop bits in the record (codes as in the
// rate table); every other field keeps its value.
void port_set_line(PortSettings& settings, uint32_t baud, uint8_t data_bits, uint8_t parity,
                   uint8_t stop_bits);

// Applies the record; true when the port took the settings.
bool port_apply_settings(PortHandle port, PortSettings& settings);

// Clears the completion signal and starts sending length bytes of data in the
// background. data must stay untouched until the write completes or is cancelled.
void port_start_write(PortHandle port, CompletionSignal signal, WriteRecord& write,
                      const unsigned char* data, uint32_t length);

// Waits up to timeout_ms for the write to complete. Returns true on completion.
// Returns false once the full timeout has passed, as soon as the port is lost,
// or, when watch_keys is true, as soon as key_waiting() would say yes (input that
// yields no key code must not end the wait). A failing wait still takes its full
// time, so the loop cannot spin.
bool port_wait(PortHandle port, CompletionSignal signal, WriteRecord& write, uint32_t timeout_ms,
               bool watch_keys);

// Abandons the write in flight; it completes at once and sets the completion
// signal. Harmless when nothing is in flight.
void port_cancel(PortHandle port, WriteRecord& write);

// True once the device has gone away (an adapter pulled out, its driver
// unbound): nothing more can be sent, and the run ends.
bool port_lost(PortHandle port);

void port_close_signal(CompletionSignal signal);
void port_close(PortHandle port);
