// Records of the Win32 serial port.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

using PortHandle = HANDLE;       // the COM device, opened for overlapped I/O
using CompletionSignal = HANDLE; // auto-reset event, set when a write completes
using PortSettings = DCB;

// The record of the one write in flight. The kernel owns `overlapped` from the
// moment WriteFile queues the write until the write completes, cancelled or not,
// so the record is reused only once `in_flight` is clear.
struct WriteRecord {
    OVERLAPPED overlapped;
    bool in_flight; // a write was queued and its completion has not been seen yet
    bool failed;    // the last write failed at once: it never completes by itself
};
