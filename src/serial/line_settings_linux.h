// The termios2 side of the Linux port: line speed by number (any rate, through
// BOTHER), frame, raw mode. Kept apart from <termios.h>, whose definitions clash
// with the kernel's.
#pragma once

#include <cstdint>

#include "port_records_linux.h"

// Reads the device's settings (TCGETS2); false when it is not a terminal.
bool line_read(int fd, PortSettings& settings);

// Applies the settings (TCSETS2); false when the device refuses them.
bool line_write(int fd, const PortSettings& settings);

// Raw output: no output processing, no echo, no canonical input, no signal
// characters, no XON/XOFF, modem lines ignored (CLOCAL). Hardware flow control and
// everything else stays as found.
void line_make_raw(PortSettings& settings);

// Sets rate (by number), data bits, parity (0 none, 2 even) and stop bits (0 one,
// 2 two); input speed follows output speed.
void line_set(PortSettings& settings, uint32_t baud, uint8_t data_bits, uint8_t parity,
              uint8_t stop_bits);

// What a settings record says about the line.
struct LineFrame {
    uint32_t baud;
    uint8_t data_bits;
    bool even_parity; // parity on and even (not odd, not mark/space)
    bool parity_on;
    bool two_stop_bits;
    bool raw; // no output processing, echo, canonical input, signals or XON/XOFF; CLOCAL on
};
LineFrame line_frame(const PortSettings& settings);

// True when `got` runs the line as `want` asks: the rate within 1 %, and, when
// frame_too, the same data bits, parity and stop bits.
bool line_matches(const PortSettings& want, const PortSettings& got, bool frame_too);

// Line time of one frame (start bit, data, parity, stop bits) in nanoseconds.
int64_t line_frame_ns(const PortSettings& settings);
