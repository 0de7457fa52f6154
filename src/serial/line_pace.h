// Pacing by the line: when a write that the driver has taken counts as complete,
// and how much line time is still ahead of the transmit pin. Platform-neutral and
// free of system calls: each port layer feeds it the bytes it hands in and what
// its driver reports, and asks it when to report a write complete.
//
// The rule. A clock counts the line time of every byte handed in. A write
// completes once at most one write of line time is left ahead of the line, so the
// next write goes in while a full write still plays (the line never runs dry) and
// at most about two writes are ever ahead of the pin. Drivers hide bytes that
// they do not report (a UART's FIFO, a USB chip's buffer), and real lines run a
// little off their nominal rate, so the clock is corrected by what the driver
// does report:
//   - a reported queue of Q bytes: at least Q frames are still ahead (the clock
//     moves later), and, when Q > 0, at most Q plus the largest hidden buffer we
//     allow for (the clock moves earlier);
//   - transmitter empty: nothing is ahead (the clock moves to now);
//     transmitter busy: something is (the clock moves to at least one frame).
// Where the driver answers "transmitter empty", the clock starts out assuming a
// line a little slower than any real one, so a real line drains faster than the
// clock and runs dry once, for about a millisecond; the time from the line last
// seen empty to that moment, over the bytes sent in between, is the real frame
// time, and the clock counts with it from then on. An "empty" that would make
// the line more than 5 % fast is not the pin's (bytes are held beyond the point
// that reports it, as in an emulator) and is ignored from then on. Where the driver reports
// neither queue nor "transmitter empty", the nominal rate is all there is: a
// line that runs slow gathers a backlog until the driver starts to report a
// queue, and one that runs fast leaves short gaps.
#pragma once

#include <cstdint>

// What the driver said at one look. Unknown parts are -1.
struct LineReport {
    int64_t queued_bytes;  // bytes the driver still holds, not counting hidden ones
    int transmitter_empty; // 1: nothing left to send; 0: still sending
};

struct LinePace {
    int64_t nominal_ns;      // frame time at the nominal rate
    int64_t frame_ns;        // frame time the clock counts with
    int64_t free_at_ns;      // when everything handed in will have left the line
    int64_t bytes_in;        // bytes handed in since the line was last seen empty
    int64_t empty_at_ns;     // when the line was last seen empty
    int64_t busy_at_ns;      // when the driver last said "still sending"
    bool empty_known;        // empty_at_ns and bytes_in describe the line since then
    bool learning;           // the frame time is still the slow-side guess
    int64_t learned_span_ns; // length of the stretch the frame time was measured over
    int64_t learn_until;     // learning gives up (and the frequent looks end) at this time
    bool reports_empty;      // the driver has said "empty" and the pace counts on it
    bool empty_misleads;     // its "empty" came sooner than any line drains: ignored
    bool answers_empty;      // the driver answers "transmitter empty" at all
};

// Largest buffer a driver may hide from its queue count: a USB chip's buffer.
constexpr int64_t kHiddenBytesMax = 640;

// How often to look at the driver while learning, so that the moment the line
// runs dry is seen promptly and the real frame time comes out close.
constexpr int64_t kLearnLookNs = 1000000;

// How much slower than nominal the clock assumes the line while learning: more
// than any real line is off (a few percent at most).
constexpr int64_t kLearnSlowPermille = 40;

// Learning gives up after this long without the line running dry (a line slower
// than the guess): the clock goes back to the nominal rate, and the frequent
// looks stop.
constexpr int64_t kLearnMaxNs = 60000000000;

// New line settings with frame_ns per frame; the line is assumed empty from now.
void pace_start(LinePace& pace, int64_t frame_ns, int64_t now_ns);

// The line settings changed to frame_ns per frame while bytes may still be
// queued (a switch): those bytes go out at the new rate.
void pace_set_frame(LinePace& pace, int64_t frame_ns, int64_t now_ns);

// Before the line's rate changes to new_frame_ns at a switch: until when to hold
// the new settings back so that old bytes hidden in the driver go out at the old
// rate rather than stretched at a slower one. Where the driver answers
// "transmitter empty", the caller holds back until it says empty or this time
// has come (also where its "empty" misleads the pace: the UART's FIFO has still
// gone then); otherwise until this time. Returns now_ns when nothing need wait.
int64_t pace_settle_until(const LinePace& pace, int64_t now_ns, int64_t new_frame_ns);

// bytes were handed to the driver at now_ns.
void pace_sent(LinePace& pace, int64_t now_ns, int64_t bytes);

// The driver discarded its queue: discarded_bytes of it are gone (-1: unknown,
// nothing is assumed gone).
void pace_discarded(LinePace& pace, int64_t now_ns, int64_t discarded_bytes);

// Corrects the clock by what the driver reported at now_ns.
void pace_report(LinePace& pace, int64_t now_ns, LineReport report);

// Line time still ahead of the pin at now_ns, by the clock.
int64_t pace_queued_ns(const LinePace& pace, int64_t now_ns);

// When a write of write_bytes, all handed in, counts as complete: once no more
// than its own line time is still ahead.
int64_t pace_complete_at(const LinePace& pace, int64_t write_bytes);

// When the port layer should next look at the driver and report (INT64_MAX when
// no sooner than the completion).
int64_t pace_next_look(const LinePace& pace, int64_t now_ns);
