#include "frame_pattern.h"

#include <cstdio>

FrameBits frame_line_bits(const RateEntry& row) {
    FrameBits frame{};
    const unsigned data = row.fill & 0xFF;
    int ones = 0;
    frame.level[frame.count++] = 0; // start bit
    for (int i = 0; i < 8; ++i) {
        const uint8_t bit = (data >> i) & 1;
        ones += bit;
        frame.level[frame.count++] = bit;
    }
    if (row.parity == kEvenParity) {
        frame.level[frame.count++] = ones % 2; // makes the count of ones even
    }
    const int stops = row.stop_bits == kTwoStopBits ? 2 : 1;
    for (int i = 0; i < stops; ++i) {
        frame.level[frame.count++] = 1;
    }
    return frame;
}

int bits_per_period(const FrameBits& frame) {
    if (frame.count == 0 || frame.level[0] != 0 || frame.level[frame.count - 1] != 1) {
        return 0;
    }
    int run = 0; // length of the first run; every other run must match it
    int current = 0;
    for (int i = 0; i < frame.count; ++i) {
        ++current;
        const bool run_ends = i + 1 == frame.count || frame.level[i + 1] != frame.level[i];
        if (run_ends) {
            if (run == 0) {
                run = current;
            } else if (current != run) {
                return 0;
            }
            current = 0;
        }
    }
    return frame.count % (2 * run) == 0 ? 2 * run : 0;
}

std::string frame_text(const FrameBits& frame) {
    std::string text;
    for (int i = 0; i < frame.count; ++i) {
        text += frame.level[i] ? '1' : '0';
    }
    return text;
}

std::string frame_name(const RateEntry& row) {
    std::string name = "8";
    name += row.parity == kEvenParity ? 'E' : 'N';
    name += row.stop_bits == kTwoStopBits ? '2' : '1';
    return name;
}

std::string wave_frequency_text(const RateEntry& row) {
    const int period = bits_per_period(frame_line_bits(row));
    if (period == 0) {
        return "";
    }
    // Hundredths of a hertz, rounded to the nearest.
    const uint64_t centi = (uint64_t{row.baud} * 100 * 2 + period) / (2 * uint64_t(period));
    char text[32];
    if (centi % 100 == 0) {
        std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(centi / 100));
    } else {
        std::snprintf(text, sizeof text, "%llu.%02llu",
                      static_cast<unsigned long long>(centi / 100),
                      static_cast<unsigned long long>(centi % 100));
    }
    return text;
}
