// Records of the simulated serial line (see sim_line.h).
#pragma once

#include <cstdint>

using PortHandle = int;
using CompletionSignal = int;

struct WriteRecord {
    CompletionSignal signal;
};

struct PortSettings {
    uint32_t baud;
    uint8_t data_bits;
    uint8_t parity;
    uint8_t stop_bits;
    uint32_t flow_control; // stands for every field the program must leave alone
};
