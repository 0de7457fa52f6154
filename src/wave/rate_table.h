// The 30 selectable rates: serial line settings plus the byte that, sent back to
// back under those settings, makes the transmit line a square wave.
#pragma once

#include <cstdint>

struct RateEntry {
    uint32_t baud;     // line speed in bit/s
    uint8_t parity;    // 0 = none, 2 = even
    uint8_t stop_bits; // 0 = one stop bit, 2 = two stop bits
    uint16_t fill;     // low byte is the byte repeated on the line
    const char* label; // frequency in Hz, five characters, right-aligned
};

// Parity and stop-bit codes as the rows store them (the Win32 DCB values).
constexpr uint8_t kNoParity = 0;
constexpr uint8_t kEvenParity = 2;
constexpr uint8_t kOneStopBit = 0;
constexpr uint8_t kTwoStopBits = 2;

constexpr int kRateCount = 30;
constexpr int kStartIndex = 13; // 800 Hz
constexpr int kTopIndex = kRateCount - 1;

// A write carries baud / 50 frames, a fiftieth of a second per frame bit.
constexpr uint32_t kWriteDivisor = 50;
constexpr uint32_t kPulseBufferSize = 115200 / kWriteDivisor; // 2304, the longest write

extern const RateEntry rate_table[kRateCount];

constexpr uint32_t write_length(const RateEntry& row) {
    return row.baud / kWriteDivisor;
}

// Bits per frame on the line: start bit, 8 data bits, parity bit if any, stop bits.
constexpr uint32_t frame_bits(const RateEntry& row) {
    return 1 + 8 + (row.parity == kEvenParity ? 1 : 0) + (row.stop_bits == kTwoStopBits ? 2 : 1);
}
