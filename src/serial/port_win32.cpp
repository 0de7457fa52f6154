// The serial port on Windows: a COM device opened for overlapped I/O, an
// auto-reset event that the driver sets whenever it ends a write, and the DCB.
//
// Pacing (line_pace.h). Nothing handed to a driver can be taken back: a USB
// adapter's driver ends a write as soon as it has buffered the bytes, and a purge
// may leave what the chip holds. So little is ever ahead of the pin: the bytes of
// each of the engine's writes go to the driver in pieces, one overlapped
// WriteFile each, as the pace makes room (pace_room), and the write counts
// complete once the driver has ended every piece and the lead has fallen to its
// floor (pace_feed_at). The driver's queue (ClearCommError, cbOutQue) corrects
// the pace; Windows does not say when the transmitter has run empty, so the clock
// tells the rest. Times are nanoseconds of the program's monotonic clock
// (monotonic_ns: std::chrono::steady_clock, which MinGW-w64 and MSVC take from
// QueryPerformanceCounter, so it needs no timer resolution of its own); the
// waits themselves run in whole milliseconds, rounded up, so that a wait never
// ends early and spins.
//
// Switch and end. The new settings, and at the end the settings found at open,
// are applied only once the pin is idle by the clock and the driver's queue is
// empty, so that no byte goes out under settings it was not sent for; only a line
// held back (flow control) cuts that wait short.
//
// Write slots. Each write goes out from one of two static slots, each with its
// own OVERLAPPED records and its own copy of the bytes. A cancel waits a bounded
// time for the driver to let go of the cancelled write's pieces; one that ignores
// the cancel keeps its slot (the driver may still read those bytes and write the
// OVERLAPPED records), and the next write uses the other slot. So the caller may
// refill its buffer right after a cancel, and no record is reused while the
// driver owns it.
#include <algorithm>
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

// Pieces of one write that may be with the driver at once. A driver that keeps a
// piece until its bytes are on the line holds about three (the lead over one feed
// step); when all are out, feeding waits for the driver to end one.
constexpr int kPiecesPerSlot = 8;

// How long a cancel waits for the driver to end the cancelled write's pieces.
// Short: a quit on a held-back line must end within 500 ms of the key, and it
// takes the engine's wait for the write (264 ms at most), this, and the close's
// wait for the idle pin.
constexpr int64_t kCancelBoundNs = 50 * kNsPerMs;

// Least time between two looks at the driver's queue, so that a queue that keeps
// moving the next top-up a little later costs at most a thousand looks a second.
constexpr int64_t kLookFloorNs = 1 * kNsPerMs;

// Longest wait for the pin to fall idle at a switch and at the end: far longer
// than the lead, so only a line held back (flow control) reaches it.
constexpr int64_t kIdleWaitMaxNs = 150 * kNsPerMs;

struct WriteSlot {
    OVERLAPPED pieces[kPiecesPerSlot];
    bool in_flight[kPiecesPerSlot]; // WriteFile queued the piece and its end is not seen yet
    bool cancel_waited;             // a cancel has already waited its bounded time for it
    unsigned char data[kSlotBytes];
};

WriteSlot slots[2];

// The line as paced: what was handed in, and what the driver said about it.
LinePace pace;

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

// True when `got` runs the line at the rate `want` asks, within 1 % (a driver may
// read back the rate its divisor makes, 56074 for 56000). A driver that cannot
// make a frame fails SetCommState; the frame it reads back is not compared, as a
// port with no line of its own (Wine's, on a pseudo-terminal) keeps no parity bit.
bool runs_as_asked(const DCB& want, const DCB& got) {
    const uint64_t off =
        want.BaudRate > got.BaudRate ? want.BaudRate - got.BaudRate : got.BaudRate - want.BaudRate;
    return off * 100 <= want.BaudRate;
}

// Notes the pieces the driver has ended; true while it still owns any of the slot's.
bool slot_busy(WriteSlot& slot) {
    bool busy = false;
    for (int i = 0; i < kPiecesPerSlot; ++i) {
        if (slot.in_flight[i] && HasOverlappedIoCompleted(&slot.pieces[i])) {
            slot.in_flight[i] = false;
        }
        busy = busy || slot.in_flight[i];
    }
    return busy;
}

// A piece record of the slot that the driver does not own, or -1.
int free_piece(WriteSlot& slot) {
    slot_busy(slot);
    for (int i = 0; i < kPiecesPerSlot; ++i) {
        if (!slot.in_flight[i]) {
            return i;
        }
    }
    return -1;
}

// The bytes the driver holds, or -1 when it does not say.
int64_t driver_queue(PortHandle port) {
    DWORD errors = 0;
    COMSTAT status{};
    return ClearCommError(port, &errors, &status) ? static_cast<int64_t>(status.cbOutQue) : -1;
}

// Reports the driver's queue to the pace; returns the queue (-1: unknown).
int64_t look_at_driver(PortHandle port, int64_t now) {
    const int64_t queued = driver_queue(port);
    if (queued >= 0) {
        pace_report(pace, now, LineReport{queued, -1});
    }
    return queued;
}

bool feeding(const WriteRecord& write) {
    return write.active && !write.cancelled && !write.failed;
}

// Hands the driver as many of the write's bytes as the pace has room for, one
// overlapped WriteFile per piece, from the slot's copy of the bytes.
void hand_in(PortHandle port, WriteRecord& write, int64_t now) {
    WriteSlot& slot = slots[write.slot];
    while (write.sent < write.length) {
        const int64_t room = std::min<int64_t>(pace_room(pace, now), write.length - write.sent);
        const int piece = room > 0 ? free_piece(slot) : -1;
        if (piece < 0) {
            return;
        }
        OVERLAPPED& overlapped = slot.pieces[piece];
        std::memset(&overlapped, 0, sizeof overlapped);
        overlapped.hEvent = write.signal;
        const DWORD bytes = static_cast<DWORD>(room);
        const BOOL done = WriteFile(port, slot.data + write.sent, bytes, nullptr, &overlapped);
        // One that finished at once has set the event already; one that failed at
        // once was never queued, leaves its record free, and ends the write.
        slot.in_flight[piece] = !done && GetLastError() == ERROR_IO_PENDING;
        if (!done && !slot.in_flight[piece]) {
            write.failed = true;
            return;
        }
        write.sent += bytes;
        pace_sent(pace, now, bytes);
    }
}

// Moves the write on: looks at the driver and tops the line up from the write.
void advance(PortHandle port, WriteRecord& write, int64_t now) {
    if (feeding(write)) {
        look_at_driver(port, now);
        hand_in(port, write, now);
    }
}

// Whether the current write counts complete at now: all its bytes in, every piece
// ended by the driver, the lead down to its floor. Takes the completion when it
// does. Never blocks.
bool take_completion(WriteRecord& write, int64_t now) {
    if (!write.active) {
        return false;
    }
    if (!write.cancelled && (write.failed || write.sent < write.length ||
                             slot_busy(slots[write.slot]) || now < pace_feed_at(pace))) {
        return false;
    }
    write.active = false;
    write.cancelled = false;
    return true;
}

// When the write in flight needs the port looked at again: the next top-up or the
// completion. INT64_MAX while only the driver's end of a piece (the event) can
// move it on: all pieces out, or all its bytes in and a piece still with it.
int64_t next_look(WriteRecord& write, int64_t now) {
    if (!feeding(write)) {
        return INT64_MAX;
    }
    WriteSlot& slot = slots[write.slot];
    if (write.sent < write.length ? free_piece(slot) < 0 : slot_busy(slot)) {
        return INT64_MAX;
    }
    const int64_t at = std::min(pace_feed_at(pace), pace_next_look(pace, now));
    return std::max(at, now + kLookFloorNs);
}

// Milliseconds from now until at, rounded up.
DWORD wait_ms(int64_t now, int64_t at) {
    return at <= now ? 0 : static_cast<DWORD>((at - now + kNsPerMs - 1) / kNsPerMs);
}

// Waits until the pin is idle: by the clock, and the driver holds no bytes.
// Returns false when the line is still busy after the longest wait (held back).
bool wait_idle(PortHandle port) {
    int64_t now = monotonic_ns();
    const int64_t give_up = now + kIdleWaitMaxNs;
    for (;;) {
        const int64_t queued = look_at_driver(port, now);
        const int64_t idle_at = pace_idle_at(pace);
        if (now >= idle_at && queued <= 0) {
            return true;
        }
        if (now >= give_up) {
            return false;
        }
        Sleep(wait_ms(now, std::min(std::max(idle_at, now + kLookFloorNs), give_up)));
        now = monotonic_ns();
    }
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
        for (int i = 0; i < kPiecesPerSlot; ++i) {
            std::memset(&slot.pieces[i], 0, sizeof slot.pieces[i]);
            slot.in_flight[i] = false;
        }
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
    // The driver gives no "transmitter empty", so no age of one matters.
    const int64_t now = monotonic_ns();
    pace_start(pace, frame_ns(settings), 0, now);
    look_at_driver(port, now);
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
    // Nothing handed in can be taken back: the old bytes leave under the settings
    // they were sent for before the new ones are applied.
    wait_idle(port);
    const bool written = SetCommState(port, &settings) != 0;
    // Pace by the rate the driver reads back, also when it did not take the row.
    DCB applied = settings;
    const bool read = GetCommState(port, &applied) != 0;
    if (!read) {
        applied = settings;
    }
    const int64_t now = monotonic_ns();
    pace_set_frame(pace, frame_ns(applied), now);
    look_at_driver(port, now);
    return written && read && runs_as_asked(settings, applied);
}

void port_start_write(PortHandle port, CompletionSignal signal, WriteRecord& write,
                      const unsigned char* data, uint32_t length) {
    write.active = true;
    write.cancelled = false;
    write.failed = false;
    write.length = length < kSlotBytes ? length : kSlotBytes;
    write.sent = 0;
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
    advance(port, write, monotonic_ns());
}

bool port_wait(PortHandle port, CompletionSignal signal, WriteRecord& write, uint32_t timeout_ms,
               bool watch_keys) {
    int64_t now = monotonic_ns();
    const int64_t end = now + static_cast<int64_t>(timeout_ms) * kNsPerMs;
    HANDLE handles[2] = {signal, watch_keys ? console_input() : INVALID_HANDLE_VALUE};
    DWORD count = handles[1] != INVALID_HANDLE_VALUE ? 2 : 1;
    for (;;) {
        // Pieces go in before the slot is looked at and nothing goes in between
        // that look and the wait: a WriteFile clears the event, and a piece ended
        // before it must not go unseen.
        advance(port, write, now);
        // A completion comes first when a key is ready too, so it is never left
        // behind. A key may be queued already (a held key's repeats) without the
        // console handle being signalled.
        if (take_completion(write, now)) {
            return true;
        }
        if (watch_keys && key_waiting()) {
            return false;
        }
        if (now >= end) {
            return false;
        }
        const int64_t wake = std::min(end, next_look(write, now));
        const DWORD woke = WaitForMultipleObjects(count, handles, FALSE, wait_ms(now, wake));
        now = monotonic_ns();
        if (woke == WAIT_OBJECT_0 + 1 && count == 2) {
            // Only a record that gives a key ends the wait; the others are read
            // and dropped by key_waiting.
            if (!key_waiting() && WaitForSingleObject(handles[1], 0) == WAIT_OBJECT_0) {
                count = 1; // signalled without a record to read: must not make the wait spin
            }
        } else if (woke == WAIT_FAILED) {
            // A failing wait still takes its time, so the caller cannot spin.
            Sleep(wait_ms(now, end));
            return false;
        }
    }
}

void port_cancel(PortHandle port, WriteRecord& write) {
    if (!write.active || write.cancelled) {
        return;
    }
    write.cancelled = true;
    if (write.slot < 0) {
        return; // never reached the driver: nothing to abandon
    }
    // No more of the write goes in. What is in is short, and leaves under the
    // settings it was sent for. Where the driver can drop its queue (a UART's
    // buffer, a far end that reads nothing), it does, so a line held back ends
    // sooner; the pieces it still holds are cancelled.
    PurgeComm(port, PURGE_TXABORT | PURGE_TXCLEAR);
    CancelIo(port);

    // Give the driver a bounded time to end the cancelled pieces. One that does
    // not keeps its slot; it is not waited for again (the quit path ends anyway).
    WriteSlot& slot = slots[write.slot];
    if (slot.cancel_waited) {
        return;
    }
    slot.cancel_waited = true;
    const int64_t now = monotonic_ns();
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
    // The wave ends under its own settings: the settings found at open go back
    // only once the pin is idle. On a line held back (flow control) the driver's
    // queue is dropped and its pieces cancelled instead, so the end never waits
    // for a line that does not move.
    if (have_found) {
        if (!wait_idle(port)) {
            PurgeComm(port, PURGE_TXABORT | PURGE_TXCLEAR);
            CancelIo(port);
        }
        SetCommState(port, &found);
    }
    CloseHandle(port);
}
