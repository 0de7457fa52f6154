// Pacing by the line: how many bytes to hand to the driver and when, so that the
// line never runs dry while little is ever ahead of the pin. Platform-neutral and
// free of system calls: each port layer feeds it the bytes it hands in and what
// its driver reports, and asks it how much may go in now.
//
// Nothing handed to a driver can be taken back: a USB adapter's driver discards
// nothing on a flush, and its chip hides its own buffer. Whatever is ahead of the
// pin at a switch or a quit plays out under the settings it was sent for, so the
// lead is kept short in time and so in bytes, whatever the chip's buffer:
//   - a clock counts the line time of every byte handed in;
//   - bytes go in only while at most kLeadLowNs is ahead, topped up by one feed
//     step (pace_room), so the lead stays between the two;
//   - a write counts complete once all its bytes are in and the lead has fallen
//     to kLeadLowNs (pace_feed_at): the next write follows at once.
// The clock is corrected by what the driver reports:
//   - a queue of Q bytes: at least Q frames are still ahead (the clock moves
//     later), and, when Q > 0, at most Q plus the largest hidden buffer we allow
//     for (the clock moves earlier);
//   - "transmitter empty", where it can be trusted: nothing is ahead. It is not
//     trusted while the driver still holds a queue (a UART says "empty" while
//     flow control stops its output), nor sooner after the last byte went in
//     than the driver's status may be old (ftdi_sio caches the chip's status,
//     sent once per latency period);
//   - "busy": the line was not free as of the status's age.
// Where "empty" can be trusted, the real frame time is learned from the line
// running dry: the bytes sent since the line was last seen empty over the time
// they took give the frame time, and every later time the line runs dry ahead of
// the clock adds its stretch to the measure. Where "empty" is read from the UART
// at once, the clock starts out assuming a line a little slower than any real
// one, so the real line runs dry within a second or two, for about a
// millisecond. Where it is a status the chip sends now and then, short gaps go
// unseen: the clock runs at nominal, and the line is let run dry on purpose (a
// probe, a gap of about the status's age) after 4 s, then after stretches three
// times as long, each measure closer than the last. A measure more than a few
// percent off nominal is a late report and is left out; an "empty" that would
// make the line more than 5 % fast is not the pin's (an emulator's socket holds
// bytes beyond it) and is ignored from then on. Where the driver reports
// neither, the nominal rate is all there is.
#pragma once

#include <cstdint>

// What the driver said at one look. Unknown parts are -1.
struct LineReport {
    int64_t queued_bytes;  // bytes the driver still holds, not counting hidden ones
    int transmitter_empty; // 1: nothing left to send; 0: still sending
};

struct LinePace {
    int64_t nominal_ns;     // frame time at the rate the driver reads back
    int64_t frame_ns;       // frame time the clock counts with
    int64_t free_at_ns;     // when everything handed in will have left the pin
    int64_t status_age_ns;  // how old a "transmitter empty" may be when read
    int64_t last_in_ns;     // when bytes last went in or the driver last held a queue
    int64_t empty_at_ns;    // when the line was last seen empty: the stretch's start
    int64_t bytes_in;       // bytes handed in since then
    bool empty_known;       // empty_at_ns and bytes_in describe the line since then
    int64_t learned_ns;     // line time of the stretches measured at this rate
    int64_t learned_bytes;  // and the bytes they carried
    bool learning;          // the frame time is still the slow-side guess
    int64_t learn_until;    // learning gives up (and the frequent looks end) at this time
    bool probing;           // nothing goes in until the line is seen empty
    int64_t probe_at_ns;    // the next time the line is let run dry to measure it
    int64_t probe_until_ns; // a probe gives up here (a line held back)
    bool reports_empty;     // the driver has said "empty" and the pace counts on it
    bool empty_misleads;    // its "empty" came sooner than any line drains: ignored
};

// Line time kept ahead of the pin at least: covers the wake-up of the program and
// the way to the chip. A write completes when the lead has fallen to this.
constexpr int64_t kLeadLowNs = 20000000;

// Line time one top-up adds, at least. Where the driver's status may be old, a
// step lasts longer than that age, so "empty" can be trusted at the next top-up.
constexpr int64_t kFeedStepNs = 10000000;

// Largest buffer a driver may hide from its queue count: a USB chip's buffer.
constexpr int64_t kHiddenBytesMax = 640;

// How often to look at the driver while learning, so that the moment the line
// runs dry is seen promptly and the gap stays short.
constexpr int64_t kLearnLookNs = 1000000;

// How much slower than nominal the clock assumes the line while learning: more
// than any real line is off (a few percent at most). A measure further off than
// this is not the line's, and is left out.
constexpr int64_t kLearnSlowPermille = 40;

// Where the driver's "empty" is a status that may be old, the line is let run
// dry on purpose to measure it: first this long after a new rate, then after
// stretches this many times as long as the last; a probe that sees no "empty"
// this long (and a twentieth of the stretch) after it began gives up.
constexpr int64_t kFirstProbeNs = 4000000000;
constexpr int64_t kProbeGrowth = 3;
constexpr int64_t kProbeMaxNs = 150000000;

// Learning gives up after this long without the line running dry (a line slower
// than the guess): the clock goes back to the nominal rate.
constexpr int64_t kLearnMaxNs = 60000000000;

// After the clock's end of the line, how long before the pin counts as idle where
// the driver cannot say: the way to the chip, and a chip clock a few percent off.
constexpr int64_t kIdleMarginNs = 5000000;

// New line settings with frame_ns per frame; the line is assumed empty from now.
// status_age_ns: how old the driver's "transmitter empty" may be.
void pace_start(LinePace& pace, int64_t frame_ns, int64_t status_age_ns, int64_t now_ns);

// The line settings changed to frame_ns per frame, once the old bytes have left.
void pace_set_frame(LinePace& pace, int64_t frame_ns, int64_t now_ns);

// bytes were handed to the driver at now_ns.
void pace_sent(LinePace& pace, int64_t now_ns, int64_t bytes);

// Corrects the clock by what the driver reported at now_ns. Returns true when
// the report says, in a way that can be trusted, that the pin is idle.
bool pace_report(LinePace& pace, int64_t now_ns, LineReport report);

// How many bytes may be handed in at now_ns (0 while the lead is long enough).
int64_t pace_room(const LinePace& pace, int64_t now_ns);

// When the lead will have fallen to kLeadLowNs: the next top-up, and the
// completion of a write whose bytes are all in.
int64_t pace_feed_at(const LinePace& pace);

// When the pin is idle by the clock, where the driver cannot tell.
int64_t pace_idle_at(const LinePace& pace);

// Line time still ahead of the pin at now_ns, by the clock.
int64_t pace_queued_ns(const LinePace& pace, int64_t now_ns);

// When the port layer should next look at the driver and report (INT64_MAX when
// no sooner than the next top-up).
int64_t pace_next_look(const LinePace& pace, int64_t now_ns);
