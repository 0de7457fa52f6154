// Turns the bytes a terminal sends for key presses into the PC console's key
// codes: one code for a character, two for an extended key (0xE0 or 0x00, then
// the scan code).
#pragma once

#include <cstddef>
#include <cstdint>

struct DecodedKey {
    size_t consumed;  // bytes taken from the input; 0 = the key is not complete yet
    int count;        // codes in `codes`: 0 (nothing to report), 1 or 2
    uint8_t codes[2]; // a two-code key always starts with 0xE0 or 0x00
};

// Decodes the key at the start of data[0..size). When more_may_follow is true and
// the input ends inside an escape sequence, nothing is consumed, so that the caller
// can wait for the rest; otherwise at least one byte is consumed whenever size > 0.
// Unknown sequences are consumed whole and give no code; bytes of 0x80 and above
// (text that is not ASCII) give no code either.
DecodedKey key_decode(const uint8_t* data, size_t size, bool more_may_follow);
