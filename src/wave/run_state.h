// The run's state, owned by the entry function and lent to the key check.
#pragma once

#include <cstdint>

#include "../serial/port.h"
#include "rate_table.h"

struct RunState {
    PortHandle port{};
    CompletionSignal signal{};
    WriteRecord write{};
    PortSettings settings{};
    int index = kStartIndex;     // row of rate_table in use, 0 to kTopIndex
    int step_from = kStartIndex; // the next key steps from here: the row in use, or
                                 // a row the port just refused (so it is no wall)
    uint32_t write_length = 0;   // bytes per write
    int quit = 0;                // set by a quit key
};

// Holds the device path during start-up, then the fill pattern.
extern unsigned char pulse_buffer[kPulseBufferSize];

// The least time between two keys taken: about one write of line time.
constexpr uint32_t kSliceMs = 200;

// Makes row `index` current: port settings, write length, buffer fill, frequency
// line. At start-up (switching false) whether the port took the settings is not
// examined. At a switch a refusal beeps, puts the previous row's settings back and
// leaves the previous row current, without a frequency line; the next key steps
// on from the refused row.
void apply_row(RunState& run, int index, bool switching);

// The program: returns the exit status (0, -1 to -4).
int kelvor_main(int argc, char** argv);
