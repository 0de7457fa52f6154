// The frame model behind the documentation: it must reproduce what a UART puts on
// the line, and every rate row must make the square wave its label names.
#include <gtest/gtest.h>

#include <cstdlib>

#include "frame_pattern.h"

namespace {

RateEntry row_of(uint16_t fill, uint8_t parity, uint8_t stop_bits) {
    return RateEntry{9600, parity, stop_bits, fill, "    0"};
}

TEST(FrameLineBits, FillBytesGoOutStartBitFirstThenLeastSignificantBitFirst) {
    EXPECT_EQ(frame_text(frame_line_bits(row_of(0x55, kNoParity, kOneStopBit))), "0101010101");
    EXPECT_EQ(frame_text(frame_line_bits(row_of(0xF0, kNoParity, kOneStopBit))), "0000011111");
    EXPECT_EQ(frame_text(frame_line_bits(row_of(0x1C, kEvenParity, kTwoStopBits))), "000111000111");
    // An asymmetric byte shows the bit order.
    EXPECT_EQ(frame_text(frame_line_bits(row_of(0x01, kNoParity, kOneStopBit))), "0100000001");
    EXPECT_EQ(frame_text(frame_line_bits(row_of(0x80, kNoParity, kTwoStopBits))), "00000000111");
    // Only the low byte of the fill value is sent.
    EXPECT_EQ(frame_text(frame_line_bits(row_of(0x10F0, kNoParity, kOneStopBit))), "0000011111");
}

TEST(FrameLineBits, EvenParityBitMakesTheOnesEvenForEveryByte) {
    for (int byte = 0; byte < 256; ++byte) {
        const FrameBits frame = frame_line_bits(row_of(uint8_t(byte), kEvenParity, kOneStopBit));
        ASSERT_EQ(frame.count, 11) << byte;
        int ones = 0;
        for (int i = 1; i <= 9; ++i) { // data bits and parity bit
            ones += frame.level[i];
        }
        EXPECT_EQ(ones % 2, 0) << "byte " << byte;
    }
}

TEST(BitsPerPeriod, FindsThePeriodOfAnyEvenSquareWaveAndRejectsTheRest) {
    // Not in the table, but a square wave all the same: 001100110011.
    EXPECT_EQ(bits_per_period(frame_line_bits(row_of(0x66, kEvenParity, kTwoStopBits))), 4);
    // Right byte, wrong frame: the parity or stop bits break the pattern.
    EXPECT_EQ(bits_per_period(frame_line_bits(row_of(0x55, kEvenParity, kTwoStopBits))), 0);
    EXPECT_EQ(bits_per_period(frame_line_bits(row_of(0xF0, kEvenParity, kTwoStopBits))), 0);
    EXPECT_EQ(bits_per_period(frame_line_bits(row_of(0x1C, kNoParity, kOneStopBit))), 0);
    EXPECT_EQ(bits_per_period(frame_line_bits(row_of(0x55, kNoParity, kTwoStopBits))), 0);
    // Unequal high and low times.
    EXPECT_EQ(bits_per_period(frame_line_bits(row_of(0xFF, kNoParity, kOneStopBit))), 0);
    EXPECT_EQ(bits_per_period(frame_line_bits(row_of(0x00, kNoParity, kOneStopBit))), 0);
    EXPECT_EQ(bits_per_period(FrameBits{}), 0);
    // A frame that ends low would merge with the next start bit.
    FrameBits ends_low{{0, 1, 1, 0}, 4};
    EXPECT_EQ(bits_per_period(ends_low), 0);
}

TEST(RateTableWaves, EveryRowMakesTheSquareWaveItsLabelNames) {
    double previous = 0;
    for (int i = 0; i < kRateCount; ++i) {
        const RateEntry& row = rate_table[i];
        const FrameBits frame = frame_line_bits(row);
        ASSERT_EQ(uint32_t(frame.count), frame_bits(row)) << "row " << i;
        const int period = bits_per_period(frame);
        ASSERT_NE(period, 0) << "row " << i << " is not an even square wave";
        const double hz = double(row.baud) / period;
        EXPECT_GT(hz, previous) << "row " << i << " does not rise above the row before";
        previous = hz;
        const long label = std::strtol(row.label, nullptr, 10);
        EXPECT_EQ(long(hz), label) << "row " << i;
        if (i != 0) {
            EXPECT_EQ(row.baud % period, 0u) << "row " << i << " label is not exact";
        }
    }
    EXPECT_EQ(wave_frequency_text(rate_table[0]), "18.33");
    EXPECT_EQ(wave_frequency_text(rate_table[kStartIndex]), "800");
    EXPECT_EQ(wave_frequency_text(row_of(0x55, kEvenParity, kOneStopBit)), "");
}

} // namespace
