// The bits that one frame of a rate row puts on the transmit line, and the wave
// that such frames make when they follow each other without a gap. Used to draw
// docs/frames.svg and to print the rate tables of the README and the man page,
// so both follow the rate table rather than a hand-made copy.
#pragma once

#include <cstdint>
#include <string>

#include "wave/rate_table.h"

constexpr int kMaxFrameBits = 12;

struct FrameBits {
    uint8_t level[kMaxFrameBits]; // line level per bit time: 0 low (space), 1 high (mark)
    int count;
};

// Start bit, the fill byte's 8 data bits least significant first, the even parity
// bit when the row has one, then the stop bits.
FrameBits frame_line_bits(const RateEntry& row);

// Bit times per period of the wave made by back-to-back frames, or 0 when they do
// not make an even square wave: every run of equal bits must have the same length,
// and a frame must begin low and end high so that the next frame continues it.
int bits_per_period(const FrameBits& frame);

// "0101010101": the frame as text, one digit per bit time.
std::string frame_text(const FrameBits& frame);

// "8N1" or "8E2".
std::string frame_name(const RateEntry& row);

// The wave's frequency in hertz with two decimals and no trailing ".00":
// "800", "18.33". Empty when the row makes no even square wave.
std::string wave_frequency_text(const RateEntry& row);
