// The serial port on Windows: a COM device opened for overlapped I/O, an
// auto-reset event that the completion of each write sets, and the DCB.
#include <cstring>

#include "../keyboard/keyboard.h"
#include "port.h"

namespace {

// Device namespace prefix: reaches every COM port, COM10 and above included (the
// bare names "COM1" to "COM9" are only old DOS device aliases).
const char kPathPrefix[] = "\\\\.\\COM";

// The console's input buffer. Its handle is signalled while input events are
// queued, key presses or not. Opened on first use and kept for the run;
// INVALID_HANDLE_VALUE when the process has no console.
HANDLE console_input() {
    static const HANDLE input =
        CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    return input;
}

enum class ConsoleInput { key, nothing, unreadable };

// Looks at the console after its handle was signalled. Key releases, Shift, Ctrl
// or Alt pressed alone, mouse, focus and size events yield no key code, so
// _kbhit does not count them, yet they keep the handle signalled; they are
// dropped here, oldest first, one at a time while no key press is waiting. The
// events are counted before the C runtime looks for a key, so the one dropped
// was already there when it looked: a key press arriving meanwhile is queued
// behind it and is never dropped.
ConsoleInput take_console_noise(HANDLE input) {
    for (;;) {
        DWORD queued = 0;
        if (!GetNumberOfConsoleInputEvents(input, &queued)) {
            return ConsoleInput::unreadable;
        }
        if (key_waiting()) {
            return ConsoleInput::key;
        }
        if (queued == 0) {
            return ConsoleInput::nothing;
        }
        INPUT_RECORD record;
        DWORD taken = 0;
        if (!ReadConsoleInputA(input, &record, 1, &taken) || taken != 1) {
            return ConsoleInput::unreadable;
        }
    }
}

// Blocks until the kernel has finished with the write that the record serves.
void finish_write(PortHandle port, WriteRecord& write) {
    DWORD sent = 0;
    GetOverlappedResult(port, &write.overlapped, &sent, TRUE);
    write.in_flight = false;
}

} // namespace

bool port_make_path(const char* designation, char* buf, size_t size) {
    const size_t prefix = sizeof kPathPrefix - 1;
    const size_t length = std::strlen(designation);
    if (length >= size || prefix >= size - length) {
        return false;
    }
    std::memcpy(buf, kPathPrefix, prefix);
    std::memcpy(buf + prefix, designation, length + 1);
    return true;
}

bool port_open(const char* path, PortHandle& port) {
    // Read access as well: nothing is read, but GetCommState needs it on some
    // Windows-compatible systems (Wine refuses it on a write-only handle).
    port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
    return port != INVALID_HANDLE_VALUE;
}

bool port_create_signal(CompletionSignal& signal) {
    signal = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    return signal != nullptr;
}

void port_init_write(WriteRecord& write, CompletionSignal signal) {
    std::memset(&write.overlapped, 0, sizeof write.overlapped);
    write.overlapped.hEvent = signal;
    write.in_flight = false;
    write.failed = false;
}

bool port_read_settings(PortHandle port, PortSettings& settings) {
    return GetCommState(port, &settings) != 0;
}

void port_set_line(PortSettings& settings, uint32_t baud, uint8_t data_bits, uint8_t parity,
                   uint8_t stop_bits) {
    settings.BaudRate = baud;
    settings.ByteSize = data_bits;
    settings.Parity = parity;
    settings.StopBits = stop_bits;
}

bool port_apply_settings(PortHandle port, PortSettings& settings) {
    return SetCommState(port, &settings) != 0;
}

void port_start_write(PortHandle port, CompletionSignal signal, WriteRecord& write,
                      const unsigned char* data, uint32_t length) {
    if (write.in_flight) {
        finish_write(port, write);
    }
    ResetEvent(signal);
    const BOOL done = WriteFile(port, data, length, nullptr, &write.overlapped);
    // A write that finished at once has set the event already; one that failed
    // at once was never queued and leaves the record free, but the loop still
    // waits for its completion, which only a cancel gives.
    write.in_flight = !done && GetLastError() == ERROR_IO_PENDING;
    write.failed = !done && !write.in_flight;
}

bool port_wait(PortHandle, CompletionSignal signal, WriteRecord& write, uint32_t timeout_ms,
               bool watch_keys) {
    const ULONGLONG end = GetTickCount64() + timeout_ms;
    HANDLE handles[2] = {signal, watch_keys ? console_input() : INVALID_HANDLE_VALUE};
    DWORD count = handles[1] != INVALID_HANDLE_VALUE ? 2 : 1;
    // The second code of an extended key waits inside the C runtime, where it
    // does not signal the console handle.
    if (watch_keys && key_waiting()) {
        if (WaitForSingleObject(signal, 0) == WAIT_OBJECT_0) {
            write.in_flight = false;
            return true;
        }
        return false;
    }
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        const DWORD left = now < end ? static_cast<DWORD>(end - now) : 0;
        // A completion comes first when both are ready: it is never left behind.
        const DWORD woke = WaitForMultipleObjects(count, handles, FALSE, left);
        if (woke == WAIT_OBJECT_0) {
            write.in_flight = false;
            return true;
        }
        if (woke == WAIT_OBJECT_0 + 1 && count == 2) {
            const ConsoleInput input = take_console_noise(handles[1]);
            if (input == ConsoleInput::key) {
                return false;
            }
            if (input == ConsoleInput::unreadable) {
                count = 1; // a console that cannot be read must not make the wait spin
            }
            continue;
        }
        if (woke != WAIT_TIMEOUT) {
            Sleep(left); // a failing wait still takes its time, so the caller cannot spin
        }
        return false;
    }
}

void port_cancel(PortHandle port, WriteRecord& write) {
    CancelIo(port);
    if (write.failed) {
        write.failed = false;
        SetEvent(write.overlapped.hEvent); // ends the wait, so a switch writes again
        return;
    }
    if (!write.in_flight) {
        return;
    }
    // The cancelled write may still be winding down in the driver. Wait for it so
    // neither the record nor the buffer is in use any more, then set the event
    // again: the wait may have taken the auto-reset completion that the caller's
    // next port_wait must see.
    finish_write(port, write);
    SetEvent(write.overlapped.hEvent);
}

void port_close_signal(CompletionSignal signal) {
    CloseHandle(signal);
}

void port_close(PortHandle port) {
    CloseHandle(port);
}
