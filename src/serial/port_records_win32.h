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
using CompletionSignal = HANDLE; // auto-reset event, set when the driver ends a piece of a write
using PortSettings = DCB;

// Where the current write stands. The OVERLAPPED records and the bytes that the
// driver works on belong to the port layer (port_win32.cpp keeps two slots of
// them, static), so a write whose last pieces the driver still holds keeps its
// own while the next write goes out from the other; this record names the slot
// in use.
struct WriteRecord {
    CompletionSignal signal;
    const unsigned char* data; // the caller's bytes, copied into a slot once one is free
    int slot;        // the port layer's write slot carrying the current write, -1 for none
    uint32_t length; // bytes of the current write
    uint32_t sent;   // bytes of it handed to the driver so far, piece by piece
    bool active;     // started, and its completion not reported yet
    bool cancelled;  // cancelled: the next wait reports it complete at once
    bool failed;     // the driver refused a piece: only a cancel ends it
};
