// The serial port on Windows: a COM device opened for overlapped I/O, an
// auto-reset event that the driver sets whenever it ends a write, and the DCB.
//
// Pacing (line_pace.h, in clock mode: no Windows driver says when its
// transmitter has run empty). Nothing handed to a driver can be taken back: a
// USB adapter's driver ends a write as soon as it has buffered the bytes, and a
// purge may leave what the chip holds. So little is ever ahead of the pin: the
// bytes of each of the engine's writes go to the driver in pieces, one
// overlapped WriteFile each, as the pace makes room (pace_room) at each top-up
// (pace_feed_at). The write counts complete once all its bytes are in and the
// lead is down to its floor, at a top-up that the next write then makes, not
// once the driver has ended every piece: one that ends a piece only when its
// bytes reach the UART would leave the line to the UART's FIFO at the end of
// each write, until the next write's bytes came in. The driver's queue
// (ClearCommError, cbOutQue) corrects the clock; so do the pieces it has not
// ended, as far as they are surely not on the line yet (see pieces_behind).
// Times are nanoseconds of the program's monotonic clock (monotonic_ns:
// std::chrono::steady_clock, which MinGW-w64 and MSVC take from
// QueryPerformanceCounter); the waits run in whole milliseconds, rounded up,
// and end on the system timer's tick, which is why the lead's floor here is two
// ticks (kCoarseLeadFloorNs).
//
// Switch and end. The new settings, and at the end the settings found at open,
// are applied only once the pin is idle: the driver's queue empty, then the
// clock's end of the line. A line held back (flow control) makes that wait give
// up: a switch is then refused and applies nothing, the end drops what the
// driver holds.
//
// Write slots. Each write goes out from one of two static slots, each with its
// own OVERLAPPED records and its own copy of the bytes. A write that is all in
// may still have pieces with the driver (one that ends a piece only once its
// bytes are in the UART); the next write takes the other slot, and a write
// finds no free slot only while the driver holds both, when it waits for one. A
// cancel waits a bounded time for the driver to let go of the cancelled write's
// pieces; one that ignores the cancel keeps its slot. So the caller may refill
// its buffer right after a cancel, and no record is reused while the driver
// owns it.
//
// A lost port. A device that is gone (an adapter pulled out) fails WriteFile,
// the pieces it held and ClearCommError with one of a few errors (gone_error);
// from then on port_lost says so and the engine ends the run. A line held back
// fails nothing: its pieces stay with the driver.
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

// Pieces of one write that may be with the driver at once. A driver that keeps
// a piece until its bytes are in the UART holds two or three (the lead over one
// top-up); when all are out, feeding waits for the driver to end one.
constexpr int kPiecesPerSlot = 8;

// A wait on Windows ends on a tick of the system timer, 15.6 ms apart unless a
// program has asked for finer ones: a top-up may come up to a tick late. Two
// ticks of floor leave the line a tick of lead even then, whatever the timer,
// with no system-wide timer request and no more wake-ups (the lead is 32 to
// 92 ms).
constexpr int64_t kCoarseLeadFloorNs = 32 * kNsPerMs;

// How long a cancel waits for the driver to end the cancelled write's pieces.
// Short: a quit on a held-back line must end within 500 ms of the key, and it
// takes the engine's wait for the write (264 ms at most), this, and the close's
// wait for the idle pin.
constexpr int64_t kCancelBoundNs = 50 * kNsPerMs;

// The longest wait for the idle pin at the end, for the same reason.
constexpr int64_t kCloseWaitMaxNs = 150 * kNsPerMs;

// Least time between two looks at the port, so that no wait spins.
constexpr int64_t kLookFloorNs = 1 * kNsPerMs;

// How often the wait looks at keys from a pipe on standard input.
constexpr int64_t kPipedKeysLookNs = 50 * kNsPerMs;

struct WriteSlot {
    OVERLAPPED pieces[kPiecesPerSlot];
    bool in_flight[kPiecesPerSlot]; // WriteFile queued the piece and its end is not seen yet
    uint32_t bytes[kPiecesPerSlot]; // the piece's length
    uint64_t order[kPiecesPerSlot]; // when it was handed in, counted in pieces
    bool purged;                    // a purge of ours may end its pieces as aborted
    bool cancel_waited;             // a cancel has already waited its bounded time for it
    unsigned char data[kSlotBytes];
};

WriteSlot slots[2];
uint64_t pieces_handed_in = 0;

// The line as paced: what was handed in, and what the driver said about it.
LinePace pace;

// The settings the port had when they were first read, put back at the end, and
// the settings the line runs under now (zero: not known, after a row the driver
// took only in part).
DCB found;
bool have_found = false;
DCB running;

bool gone = false; // the device went away

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

// Errors of a device that is gone, as USB serial drivers give them once the
// adapter is pulled out (a delete pending, an invalid device state, a general
// failure, a device no longer there or not connected; Wine: a pseudo-terminal
// hung up). A line held back by flow control gives none of them.
bool gone_error(DWORD error) {
    switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_INVALID_HANDLE:
    case ERROR_NOT_READY:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
        return true;
    default:
        return false;
    }
}

// Notes the pieces of the slot that the driver has ended, and the port gone when
// one ended with a gone device's error, or aborted without a purge of ours (the
// run clears the DCB's abort-on-error, so nothing else aborts a piece); true
// while the driver still owns any of them.
bool slot_busy(PortHandle port, WriteSlot& slot) {
    bool busy = false;
    for (int i = 0; i < kPiecesPerSlot; ++i) {
        if (slot.in_flight[i] && HasOverlappedIoCompleted(&slot.pieces[i])) {
            slot.in_flight[i] = false;
            DWORD written = 0;
            if (!GetOverlappedResult(port, &slot.pieces[i], &written, FALSE)) {
                const DWORD error = GetLastError();
                gone =
                    gone || gone_error(error) || (error == ERROR_OPERATION_ABORTED && !slot.purged);
            }
        }
        busy = busy || slot.in_flight[i];
    }
    return busy;
}

// A piece record of the slot that the driver does not own, or -1.
int free_piece(PortHandle port, WriteSlot& slot) {
    slot_busy(port, slot);
    for (int i = 0; i < kPiecesPerSlot; ++i) {
        if (!slot.in_flight[i]) {
            return i;
        }
    }
    return -1;
}

// Bytes of the pieces the driver has not ended, less the oldest of them (which
// may be on the line in part): they are surely still ahead of the pin, as the
// driver sends the pieces in turn. A driver that counts them in its queue tells
// no more; one that does not (Wine) would otherwise let a held-back line take
// piece after piece.
int64_t pieces_behind(PortHandle port) {
    int64_t total = 0;
    int64_t oldest_bytes = 0;
    uint64_t oldest = UINT64_MAX;
    for (WriteSlot& slot : slots) {
        slot_busy(port, slot);
        for (int i = 0; i < kPiecesPerSlot; ++i) {
            if (slot.in_flight[i]) {
                total += slot.bytes[i];
                if (slot.order[i] < oldest) {
                    oldest = slot.order[i];
                    oldest_bytes = slot.bytes[i];
                }
            }
        }
    }
    return total - oldest_bytes;
}

// The bytes still ahead of the pin as far as the driver tells: its queue, or the
// pieces it holds behind the oldest, whichever is more. Reports them to the pace.
int64_t look_at_driver(PortHandle port, int64_t now) {
    DWORD errors = 0;
    COMSTAT status{};
    int64_t queued = 0;
    if (ClearCommError(port, &errors, &status)) {
        queued = status.cbOutQue;
    } else {
        gone = gone || gone_error(GetLastError());
    }
    queued = std::max(queued, pieces_behind(port));
    if (queued > 0) {
        pace_queue(pace, now, queued);
    }
    return queued;
}

// Drops what the driver can drop and cancels the pieces it holds; the aborts
// that follow are ours.
void purge(PortHandle port) {
    for (WriteSlot& slot : slots) {
        slot.purged = true;
    }
    PurgeComm(port, PURGE_TXABORT | PURGE_TXCLEAR);
    CancelIo(port);
}

bool feeding(const WriteRecord& write) {
    return write.active && !write.cancelled && !write.failed;
}

// Gives the write a slot the driver does not hold, `first` tried first, and
// copies its bytes there. False while the driver holds both.
bool take_slot(PortHandle port, WriteRecord& write, int first) {
    for (int i = 0; i < 2; ++i) {
        const int candidate = (first + i) % 2;
        WriteSlot& slot = slots[candidate];
        if (!slot_busy(port, slot)) {
            write.slot = candidate;
            std::memcpy(slot.data, write.data, write.length);
            slot.purged = false;
            slot.cancel_waited = false;
            return true;
        }
    }
    return false;
}

// Hands the driver as many of the write's bytes as the pace has room for, one
// overlapped WriteFile per piece, from the slot's copy of the bytes.
void hand_in(PortHandle port, WriteRecord& write, int64_t now) {
    WriteSlot& slot = slots[write.slot];
    while (write.sent < write.length) {
        const int64_t room = pace_room(pace, now, write.length - write.sent);
        const int piece = room > 0 ? free_piece(port, slot) : -1;
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
        const DWORD error = done ? ERROR_SUCCESS : GetLastError();
        slot.in_flight[piece] = error == ERROR_IO_PENDING;
        slot.bytes[piece] = bytes;
        slot.order[piece] = pieces_handed_in++;
        if (!done && error != ERROR_IO_PENDING) {
            gone = gone || gone_error(error);
            write.failed = true;
            return;
        }
        write.sent += bytes;
        pace_sent(pace, now, bytes);
    }
}

// Moves the write on when a top-up is due: the driver's queue corrects the
// clock, and the line is topped up from the write.
void advance(PortHandle port, WriteRecord& write, int64_t now) {
    if (!feeding(write)) {
        return;
    }
    if (write.slot < 0 && !take_slot(port, write, 0)) {
        return;
    }
    if (now >= pace_feed_at(pace)) {
        look_at_driver(port, now);
        if (gone) {
            write.failed = true;
            return;
        }
        hand_in(port, write, now);
    }
}

// Whether the current write counts complete at now: all its bytes in and the
// lead down to its floor (a top-up, which the next write then makes), or
// cancelled. Takes the completion when it does.
bool take_completion(WriteRecord& write, int64_t now) {
    if (!write.active) {
        return false;
    }
    if (!write.cancelled &&
        (write.failed || write.sent < write.length || now < pace_feed_at(pace))) {
        return false;
    }
    write.active = false;
    write.cancelled = false;
    return true;
}

// When the write in flight needs the port looked at again: the next top-up, or
// its completion. INT64_MAX while only the driver's end of a piece (the event)
// can move it on: no slot free yet, or all of the slot's pieces out with bytes
// still to go in.
int64_t next_look(PortHandle port, WriteRecord& write, int64_t now) {
    if (!feeding(write)) {
        return INT64_MAX;
    }
    if (write.slot < 0) {
        return slot_busy(port, slots[0]) && slot_busy(port, slots[1]) ? INT64_MAX : now;
    }
    if (write.sent < write.length && free_piece(port, slots[write.slot]) < 0) {
        return INT64_MAX;
    }
    return pace_feed_at(pace);
}

// Milliseconds from now until at, rounded up, so that a wait never ends early and
// spins.
DWORD wait_ms(int64_t now, int64_t at) {
    return at <= now ? 0 : static_cast<DWORD>((at - now + kNsPerMs - 1) / kNsPerMs);
}

enum class Idle { done, held, gone };

// Waits until the pin is idle: the driver's queue empty, then the clock's end of
// the line. Gives up at give_up_at (a line held back).
Idle wait_idle(PortHandle port, int64_t give_up_at) {
    for (int64_t now = monotonic_ns();; now = monotonic_ns()) {
        const int64_t queued = look_at_driver(port, now);
        if (gone) {
            return Idle::gone;
        }
        const int64_t idle_at = pace_idle_at(pace);
        if (queued <= 0 && now >= idle_at) {
            return Idle::done;
        }
        if (now >= give_up_at) {
            return Idle::held;
        }
        Sleep(wait_ms(now, std::min(std::max(idle_at, now + kLookFloorNs), give_up_at)));
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
    gone = false;
    return port != INVALID_HANDLE_VALUE;
}

bool port_create_signal(CompletionSignal& signal) {
    signal = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    return signal != nullptr;
}

void port_init_write(WriteRecord& write, CompletionSignal signal) {
    std::memset(slots, 0, sizeof slots);
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
    running = settings;
    // With abort-on-error a line error (a framing error on the receive side)
    // would abort every write until it is cleared; without it, an aborted piece
    // that kelvor did not cancel means the device is gone.
    settings.fAbortOnError = FALSE;
    const int64_t now = monotonic_ns();
    pace_start(pace, frame_ns(settings), false, kCoarseLeadFloorNs, now);
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
    // The line runs under these already (a row put back after a refusal).
    if (std::memcmp(&settings, &running, sizeof settings) == 0) {
        return true;
    }
    // Nothing handed in can be taken back: the old bytes leave under the settings
    // they were sent for before the new ones are applied. A line held back keeps
    // them, so the row is refused and the running one stays.
    if (wait_idle(port, pace_give_up_at(pace, monotonic_ns(), true)) != Idle::done) {
        return false;
    }
    const bool written = SetCommState(port, &settings) != 0;
    // Pace by the rate the driver reads back, also when it did not take the row.
    DCB applied = settings;
    const bool read = GetCommState(port, &applied) != 0;
    if (!read) {
        applied = settings;
    }
    pace_set_frame(pace, frame_ns(applied), monotonic_ns());
    const bool taken = written && read && runs_as_asked(settings, applied);
    running = taken ? settings : DCB{};
    return taken;
}

void port_start_write(PortHandle port, CompletionSignal signal, WriteRecord& write,
                      const unsigned char* data, uint32_t length) {
    write.active = true;
    write.cancelled = false;
    write.failed = false;
    write.data = data;
    write.length = length < kSlotBytes ? length : kSlotBytes;
    write.sent = 0;
    // The slot the previous write did not use has been free longer.
    const int first = write.slot == 0 ? 1 : 0;
    write.slot = -1;
    take_slot(port, write, first);
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
        advance(port, write, now);
        // Pieces that WriteFile ended at once set the event; what the driver has
        // ended up to here is read from the records below, and a piece it ends
        // from now on sets the event again, so none goes unseen.
        ResetEvent(signal);
        if (gone) {
            return false;
        }
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
        int64_t look = next_look(port, write, now);
        if (watch_keys && piped_keys_open()) {
            look = std::min(look, now + kPipedKeysLookNs); // a pipe cannot be waited on
        }
        const int64_t wake = std::min(end, std::max(look, now + kLookFloorNs));
        const DWORD woke = WaitForMultipleObjects(count, handles, FALSE, wait_ms(now, wake));
        now = monotonic_ns();
        if (woke == WAIT_OBJECT_0) {
            // A piece ended: a failure shows in its record.
            slot_busy(port, slots[0]);
            slot_busy(port, slots[1]);
        } else if (woke == WAIT_OBJECT_0 + 1 && count == 2) {
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
    // No more of the write goes in. What is in is short, and leaves under the
    // settings it was sent for. Where the driver can drop its queue (a UART's
    // buffer, a far end that reads nothing), it does, so a line held back ends
    // sooner; the pieces it still holds, of this write or the last, are cancelled.
    purge(port);
    if (write.slot < 0) {
        return; // none of it reached the driver
    }

    // Give the driver a bounded time to end the cancelled pieces. One that does
    // not keeps its slot; it is not waited for again (the quit path ends anyway).
    WriteSlot& slot = slots[write.slot];
    if (slot.cancel_waited) {
        return;
    }
    slot.cancel_waited = true;
    const int64_t now = monotonic_ns();
    const int64_t end = now + kCancelBoundNs;
    for (int64_t at = now; slot_busy(port, slot) && at < end; at = monotonic_ns()) {
        // The event may be set by the other slot's pieces; the slot itself tells.
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
    // long for a line that does not move. A device that is gone is only let go.
    if (have_found && !gone) {
        const int64_t now = monotonic_ns();
        const int64_t give_up = std::min(pace_give_up_at(pace, now, false), now + kCloseWaitMaxNs);
        if (wait_idle(port, give_up) == Idle::held) {
            purge(port);
        }
        SetCommState(port, &found);
    }
    CloseHandle(port);
}

bool port_lost(PortHandle) {
    return gone;
}
