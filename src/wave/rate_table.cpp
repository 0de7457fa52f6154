#include "rate_table.h"

// Three patterns occur: 0x55 at 8N1 gives baud / 2, 0xF0 at 8N1 gives baud / 10,
// 0x1C at 8E2 gives baud / 6 (its parity bit is 1). Each frame starts low and
// ends high with a whole number of periods, so frames join without a seam.
constexpr RateEntry rate_table[kRateCount] = {
    {110, kEvenParity, kTwoStopBits, 0x1C, "   18"}, // 18.33 Hz
    {300, kNoParity, kOneStopBit, 0xF0, "   30"},
    {300, kEvenParity, kTwoStopBits, 0x1C, "   50"},
    {600, kNoParity, kOneStopBit, 0xF0, "   60"},
    {600, kEvenParity, kTwoStopBits, 0x1C, "  100"},
    {1200, kNoParity, kOneStopBit, 0xF0, "  120"},
    {300, kNoParity, kOneStopBit, 0x55, "  150"},
    {1200, kEvenParity, kTwoStopBits, 0x1C, "  200"},
    {2400, kNoParity, kOneStopBit, 0xF0, "  240"},
    {600, kNoParity, kOneStopBit, 0x55, "  300"},
    {2400, kEvenParity, kTwoStopBits, 0x1C, "  400"},
    {4800, kNoParity, kOneStopBit, 0xF0, "  480"},
    {1200, kNoParity, kOneStopBit, 0x55, "  600"},
    {4800, kEvenParity, kTwoStopBits, 0x1C, "  800"},
    {9600, kNoParity, kOneStopBit, 0xF0, "  960"},
    {2400, kNoParity, kOneStopBit, 0x55, " 1200"},
    {14400, kNoParity, kOneStopBit, 0xF0, " 1440"},
    {9600, kEvenParity, kTwoStopBits, 0x1C, " 1600"},
    {19200, kNoParity, kOneStopBit, 0xF0, " 1920"},
    {4800, kNoParity, kOneStopBit, 0x55, " 2400"},
    {19200, kEvenParity, kTwoStopBits, 0x1C, " 3200"},
    {38400, kNoParity, kOneStopBit, 0xF0, " 3840"},
    {9600, kNoParity, kOneStopBit, 0x55, " 4800"},
    {56000, kNoParity, kOneStopBit, 0xF0, " 5600"},
    {57600, kNoParity, kOneStopBit, 0xF0, " 5760"},
    {38400, kEvenParity, kTwoStopBits, 0x1C, " 6400"},
    {14400, kNoParity, kOneStopBit, 0x55, " 7200"},
    {19200, kNoParity, kOneStopBit, 0x55, " 9600"},
    {115200, kNoParity, kOneStopBit, 0xF0, "11520"},
    {38400, kNoParity, kOneStopBit, 0x55, "19200"},
};

static_assert(write_length(rate_table[28]) == kPulseBufferSize, "row 28 fills the buffer exactly");
