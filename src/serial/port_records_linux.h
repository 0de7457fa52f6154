// Records of the Linux serial port (see port.h).
#pragma once

#include <cstdint>

// The open device: a file descriptor.
using PortHandle = int;

// Linux has no completion event: a write's completion is a flag in the write
// record, set by the wait once the line has taken the write in. This token only
// keeps the shape of the port operations.
using CompletionSignal = int;

// The one write in flight, reused for every write of the run.
struct WriteRecord {
    const unsigned char* data;
    uint32_t length;
    uint32_t sent;    // bytes handed to the kernel so far
    bool pending;     // started and neither completed nor cancelled
    bool completed;   // the completion signal: set on completion, cleared when waited on
    bool failed;      // the device refused the bytes (EIO): the write never completes
    bool blocked;     // the kernel took no more (its queue is full): wait until it has room
    int64_t retry_ns; // no write attempt before this time: the device said "ready"
                      // but took nothing
};

// The kernel's struct termios2, field for field. line_settings_linux.cpp checks the
// layout against the kernel header; the rest of the program needs no termios header.
struct PortSettings {
    uint32_t c_iflag;
    uint32_t c_oflag;
    uint32_t c_cflag;
    uint32_t c_lflag;
    uint8_t c_line;
    uint8_t c_cc[19];
    uint32_t c_ispeed;
    uint32_t c_ospeed;
};
