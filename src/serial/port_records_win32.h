// Records of the Win32 serial port.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdint>

using PortHandle = HANDLE;       // the COM device, opened for overlapped I/O
using CompletionSignal = HANDLE; // auto-reset event, set when the driver ends a write
using PortSettings = DCB;

// Where the current write stands. The OVERLAPPED and the bytes that the driver
// works on belong to the port layer (port_win32.cpp keeps two of each, static),
// so a cancelled write that the driver has not let go of yet keeps its own
// while the next write goes out from the other; this record names the one in use.
struct WriteRecord {
    CompletionSignal signal;
    int slot;         // the port layer's write slot carrying the current write, -1 for none
    uint32_t length;  // bytes of the current write
    bool active;      // started, and its completion not reported yet
    bool driver_done; // the driver has finished it (the line pace may still hold it back)
    bool cancelled;   // cancelled: the next wait reports it complete at once
    bool failed;      // never started (refused at once, or no slot free): only a cancel ends it
};
