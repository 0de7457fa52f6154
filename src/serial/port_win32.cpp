// The serial port on Windows: a COM device opened for overlapped I/O, an
// auto-reset event that the driver sets whenever it ends a write, and the DCB.
//
// Pacing. Drivers may end a write as soon as they have buffered its bytes (USB
// adapters, and Wine on a pseudo-terminal), long before the line has sent them.
// A write therefore counts as complete only once the driver has ended it and the
// line pace (line_pace.h) says that no more than its own line time is still
// ahead of the pin; the queue the driver reports (ClearCommError, cbOutQue)
// corrects the pace. Times are nanoseconds of the program's monotonic clock
// (monotonic_ns: std::chrono::steady_clock, which MinGW-w64 and MSVC take from
// QueryPerformanceCounter, so it needs no timer resolution of its own); the
// waits themselves run in whole milliseconds, rounded up, so that a wait never
// ends early and spins.
//
// Write slots. Each write goes out from one of two static slots, each with its
// own OVERLAPPED and its own copy of the bytes. A cancel waits a bounded time for
// the driver to let go of the cancelled write; one that ignores the cancel keeps
// its slot (the driver may still read those bytes and write the OVERLAPPED),
// and the next write uses the other slot. So the caller may refill its buffer
// right after a cancel, and no record is reused while the driver owns it.
#include <cstring>

#include "../keyboard/console_input_win32.h"
#include "../keyboard/keyboard.h"
#include "../wave/clock.h"
#include "line_pace.h"
#include "port.h"

namespace {

// Device namespace prefix: reaches every COM port, COM10 and above included (the
// bare names "COM1" to "COM9" are only old DOS device aliases).
const char kPathPrefix[] = "\\\\.\\COM";

constexpr int64_t kNsPerMs = 1000000;
constexpr int64_t kNsPerSecond = 1000000000;

// Longest write of the rate table (115200 bit/s / 50); longer writes are cut.
constexpr uint32_t kSlotBytes = 2304;

// How long a cancel waits for the driver to end the cancelled write.
constexpr int64_t kCancelBoundNs = 200 * kNsPerMs;

// Least time between two looks at the driver's queue.
constexpr int64_t kLeastLookNs = 1 * kNsPerMs;

struct WriteSlot {
    OVERLAPPED overlapped;
    bool in_flight;     // WriteFile queued it and its end has not been seen yet
    bool cancel_waited; // a cancel has already waited its bounded time for it
    unsigned char data[kSlotBytes];
};

WriteSlot slots[2];

struct Line {
    LinePace pace;
    bool started; // pace_start has run (the first settings were applied)
};

Line line;

// The settings the port had when they were first read, put back at the end.
DCB found;
bool have_found = false;

// Line time of one frame under the settings: start bit, data bits, parity bit,
// stop bits (counted in half bits for 1.5 stop bits).
int64_t frame_ns(const DCB& dcb) {
    const int64_t baud = dcb.BaudRate > 0 ? dcb.BaudRate : 1;
    const int64_t stop_halves = dcb.StopBits == TWOSTOPBITS    ? 4
                                : dcb.StopBits == ONE5STOPBITS ? 3
                                                               : 2;
    const int64_t halves = 2 * (1 + dcb.ByteSize + (dcb.Parity != NOPARITY ? 1 : 0)) + stop_halves;
    return halves * kNsPerSecond / (2 * baud);
}

// Whether the driver still owns the slot's OVERLAPPED and bytes.
bool slot_busy(WriteSlot& slot) {
    if (slot.in_flight && HasOverlappedIoCompleted(&slot.overlapped)) {
        slot.in_flight = false;
    }
    return slot.in_flight;
}

// The bytes the driver holds, or -1 when it does not say.
int64_t driver_queue(PortHandle port) {
    DWORD errors = 0;
    COMSTAT status{};
    return ClearCommError(port, &errors, &status) ? static_cast<int64_t>(status.cbOutQue) : -1;
}

void look_at_driver(PortHandle port, int64_t now) {
    const int64_t queued = driver_queue(port);
    if (queued >= 0) {
        pace_report(line.pace, now, LineReport{queued, -1});
    }
}

// Whether the current write counts complete at now; takes the completion when it
// does. Never blocks.
bool take_completion(PortHandle port, WriteRecord& write, int64_t now) {
    if (!write.active || write.failed) {
        return false;
    }
    if (!write.cancelled) {
        if (!write.driver_done) {
            if (slot_busy(slots[write.slot])) {
                return false;
            }
            write.driver_done = true;
            look_at_driver(port, now);
        }
        if (now < pace_complete_at(line.pace, write.length)) {
            return false;
        }
    }
    write.active = false;
    write.cancelled = false;
    return true;
}

// Milliseconds from now until at, rounded up.
DWORD wait_ms(int64_t now, int64_t at) {
    return at <= now ? 0 : static_cast<DWORD>((at - now + kNsPerMs - 1) / kNsPerMs);
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
    for (WriteSlot& slot : slots) {
        std::memset(&slot.overlapped, 0, sizeof slot.overlapped);
        slot.overlapped.hEvent = signal;
        slot.in_flight = false;
        slot.cancel_waited = false;
    }
    write = WriteRecord{};
    write.signal = signal;
    write.slot = -1;
}

bool port_read_settings(PortHandle port, PortSettings& settings) {
    if (GetCommState(port, &settings) == 0) {
        return false;
    }
    found = settings;
    have_found = true;
    return true;
}

void port_set_line(PortSettings& settings, uint32_t baud, uint8_t data_bits, uint8_t parity,
                   uint8_t stop_bits) {
    settings.BaudRate = baud;
    settings.ByteSize = data_bits;
    settings.Parity = parity;
    settings.StopBits = stop_bits;
}

bool port_apply_settings(PortHandle port, PortSettings& settings) {
    int64_t now = monotonic_ns();
    if (line.started) {
        // Old bytes that the driver hides (a FIFO, a USB chip's buffer) would go
        // out stretched at a slower rate: they get their line time at the old
        // rate first. The driver cannot say when its line is empty, so the wait
        // is by the clock alone.
        look_at_driver(port, now);
        const int64_t settle = pace_settle_until(line.pace, now, frame_ns(settings));
        if (settle > now) {
            Sleep(wait_ms(now, settle));
        }
    }
    const bool taken = SetCommState(port, &settings) != 0;
    // The pace follows the settings the port runs with: those it kept when it
    // refused the new ones.
    DCB running = settings;
    if (!taken && !GetCommState(port, &running)) {
        running = settings;
    }
    now = monotonic_ns();
    if (line.started) {
        pace_set_frame(line.pace, frame_ns(running), now);
    } else {
        pace_start(line.pace, frame_ns(running), now);
        line.started = true;
    }
    look_at_driver(port, now);
    return taken;
}

void port_start_write(PortHandle port, CompletionSignal signal, WriteRecord& write,
                      const unsigned char* data, uint32_t length) {
    write.active = true;
    write.driver_done = false;
    write.cancelled = false;
    write.failed = false;
    write.length = length < kSlotBytes ? length : kSlotBytes;
    // The slot the previous write did not use has been free longer.
    const int first = write.slot == 0 ? 1 : 0;
    write.slot = -1;
    for (int i = 0; i < 2; ++i) {
        if (!slot_busy(slots[(first + i) % 2])) {
            write.slot = (first + i) % 2;
            break;
        }
    }
    if (write.slot < 0) {
        // Both slots still belong to writes the driver would not let go of.
        write.failed = true;
        return;
    }
    WriteSlot& slot = slots[write.slot];
    std::memcpy(slot.data, data, write.length);
    slot.cancel_waited = false;
    ResetEvent(signal);
    const BOOL done = WriteFile(port, slot.data, write.length, nullptr, &slot.overlapped);
    // One that finished at once has set the event already; one that failed at once
    // was never queued and leaves the slot free, and only a cancel completes it.
    slot.in_flight = !done && GetLastError() == ERROR_IO_PENDING;
    write.failed = !done && !slot.in_flight;
    if (!write.failed) {
        pace_sent(line.pace, monotonic_ns(), write.length);
    }
}

bool port_wait(PortHandle port, CompletionSignal signal, WriteRecord& write, uint32_t timeout_ms,
               bool watch_keys) {
    int64_t now = monotonic_ns();
    const int64_t end = now + static_cast<int64_t>(timeout_ms) * kNsPerMs;
    HANDLE handles[2] = {signal, watch_keys ? console_input() : INVALID_HANDLE_VALUE};
    DWORD count = handles[1] != INVALID_HANDLE_VALUE ? 2 : 1;
    // A key may be queued already (a held key's repeats) without the console
    // handle being signalled.
    if (watch_keys && key_waiting()) {
        return take_completion(port, write, now);
    }
    for (;;) {
        if (take_completion(port, write, now)) {
            return true;
        }
        if (now >= end) {
            return false;
        }
        int64_t wake = end;
        int64_t look = INT64_MAX;
        if (write.active && !write.failed && !write.cancelled) {
            look = pace_next_look(line.pace, now);
            if (look < now + kLeastLookNs) {
                look = now + kLeastLookNs;
            }
            if (look < wake) {
                wake = look;
            }
            const int64_t complete_at = pace_complete_at(line.pace, write.length);
            if (write.driver_done && complete_at < wake) {
                wake = complete_at;
            }
        }
        const DWORD woke = WaitForMultipleObjects(count, handles, FALSE, wait_ms(now, wake));
        now = monotonic_ns();
        if (woke == WAIT_OBJECT_0 + 1 && count == 2) {
            // Only a record that gives a key ends the wait; the others are read
            // and dropped by key_waiting. A completion comes first when both are
            // ready, so it is never left behind.
            if (key_waiting()) {
                return take_completion(port, write, now);
            }
            if (WaitForSingleObject(handles[1], 0) == WAIT_OBJECT_0) {
                count = 1; // signalled without a record to read: must not make the wait spin
            }
        } else if (woke == WAIT_FAILED) {
            // A failing wait still takes its time, so the caller cannot spin.
            Sleep(wait_ms(now, end));
            return false;
        }
        if (now >= look) {
            look_at_driver(port, now);
        }
    }
}

void port_cancel(PortHandle port, WriteRecord& write) {
    if (!write.active || write.cancelled) {
        return;
    }
    write.cancelled = true;
    if (write.failed) {
        write.failed = false; // never reached the driver: nothing to abandon
        return;
    }
    // The bytes the driver still holds are dropped with the write, so the new
    // settings do not send the old pattern; what it hides stays on the clock.
    const int64_t before = driver_queue(port);
    PurgeComm(port, PURGE_TXABORT | PURGE_TXCLEAR);
    CancelIo(port);
    const int64_t after = driver_queue(port);
    const int64_t now = monotonic_ns();
    pace_discarded(line.pace, now, before >= 0 && after >= 0 ? before - after : -1);

    // Give the driver a bounded time to end the cancelled write. One that does
    // not keeps its slot; it is not waited for again (the quit path ends anyway).
    WriteSlot& slot = slots[write.slot];
    if (slot.cancel_waited) {
        return;
    }
    slot.cancel_waited = true;
    const int64_t end = now + kCancelBoundNs;
    for (int64_t at = now; slot_busy(slot) && at < end; at = monotonic_ns()) {
        // The event may be set by the other slot's write; the slot itself tells.
        if (WaitForSingleObject(write.signal, wait_ms(at, end)) == WAIT_FAILED) {
            break;
        }
    }
}

void port_close_signal(CompletionSignal signal) {
    CloseHandle(signal);
}

void port_close(PortHandle port) {
    // The port is left as it was found: its queue dropped (a slow row's bytes or
    // a held-back line must not delay the end) and its settings put back.
    PurgeComm(port, PURGE_TXABORT | PURGE_TXCLEAR);
    CancelIo(port);
    if (have_found) {
        SetCommState(port, &found);
    }
    CloseHandle(port);
}
