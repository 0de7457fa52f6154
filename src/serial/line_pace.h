// Pacing by the line: how many bytes to hand to the driver and when, so that the
// line never runs dry while little is ever ahead of the pin (nothing handed to a
// driver can be taken back). Platform-neutral and free of system calls. The rule:
//   1. A clock counts each byte's line time, at the nominal frame time or the measured one.
//   2. At the lead's floor, a write's rest goes in in even steps <= kLeadStepNs; it ends there.
//   3. The driver's queue moves the clock later: at least that many frames are still ahead.
//   4. Where the drain reaches the pin, stretches 4x as long each end dry; two give the frame.
//   5. Switch and end wait for the drain (and the clock, if it stops short); past a bound: held.
#pragma once

#include <cstdint>

enum class PaceMode {
    clock,     // the driver's drain stops short of the pin: the nominal rate is all there is
    measuring, // the drain reaches the pin: the line is measured at the stretches' ends
};

struct LinePace {
    PaceMode mode;
    int64_t lead_floor_ns; // a top-up is due, and a write completes, once the lead falls to this
    int64_t nominal_ns;    // frame time at the rate the driver reads back
    int64_t frame_ns;      // frame time the clock counts with: nominal, or measured
    int64_t free_at_ns;    // when the clock has the last byte handed in leave the pin
    int64_t since_ns;      // the line has sent without a break since here (-1: not known)
    int64_t bytes;         // bytes handed in since then
    int64_t measure_at_ns; // the next drain that ends a stretch (INT64_MAX: none)
    int64_t base_span_ns;  // the last stretch measured: its time from the first byte
    int64_t base_bytes;    // to the drain's end, and its bytes
    int stretches;         // stretches ended dry at this rate
};

// Line time one top-up adds to the lead: few wake-ups, and little ahead of the pin.
constexpr int64_t kLeadStepNs = 60000000;

// The lead floor where the wait's timer is fine (1 ms or better): covers the
// program's wake-up and the way to the chip.
constexpr int64_t kLeadFloorNs = 20000000;

// After the clock's end of the line, how long before the pin counts as idle where
// no drain reaches it: the way to the chip, and a chip clock a few percent off.
constexpr int64_t kIdleMarginNs = 5000000;

// A wait for the idle pin gives up this long (and a frame) after the clock's end
// of the line: longer than a driver takes to see its line empty (it looks once a
// character time, a timer tick at least, over USB a round trip more), so only a
// line held back (flow control) reaches it. Before a switch it also allows for a
// line behind the clock by what any line may be off since the stretch began, up
// to kBehindMaxNs.
constexpr int64_t kIdleSlackNs = 50000000;
constexpr int64_t kBehindMaxNs = 1000000000;

// The first stretch ends this long, and this many frames at least, after a row
// starts (a drain sees the line empty within a character time, so a stretch of
// few frames says little). Each next one is this many times as long as the last,
// up to the longest: as a measure gets closer the line can run longer before it
// drifts by the lead, and a chip's clock still drifts a little with its warmth.
// A measure further off nominal than this is not the line's (a stall, a late
// wake-up) and is left out.
constexpr int64_t kFirstStretchNs = 200000000;
constexpr int64_t kFirstStretchFrames = 16;
constexpr int64_t kStretchGrowth = 4;
constexpr int64_t kStretchMaxNs = 300000000000;
constexpr int64_t kMeasureSpreadPermille = 40;

// Starts pacing a line that is idle now, at frame_ns per frame.
void pace_start(LinePace& pace, int64_t frame_ns, bool drain_reaches_pin, int64_t lead_floor_ns,
                int64_t now_ns);

// New line settings with frame_ns per frame, applied at now_ns on an idle line.
void pace_set_frame(LinePace& pace, int64_t frame_ns, int64_t now_ns);

// bytes were handed to the driver at now_ns.
void pace_sent(LinePace& pace, int64_t now_ns, int64_t bytes);

// The driver held `queued` bytes at now_ns.
void pace_queue(LinePace& pace, int64_t now_ns, int64_t queued);

// True when the line is to run dry and be drained now, instead of a top-up.
bool pace_measure_due(const LinePace& pace, int64_t now_ns);

// The drain that pace_measure_due asked for ended at now_ns: the line ran dry
// (drained), or the wait gave up (a line held back).
void pace_drained(LinePace& pace, int64_t now_ns, bool drained);

// How many of the write's `rest` bytes may be handed in at now_ns (0 while the
// lead is long enough).
int64_t pace_room(const LinePace& pace, int64_t now_ns, int64_t rest);

// When the lead will have fallen to its floor: the next top-up, and the
// completion of a write whose bytes are all in.
int64_t pace_feed_at(const LinePace& pace);

// When the pin is idle by the clock, where no drain reaches it (INT64_MIN elsewhere).
int64_t pace_idle_at(const LinePace& pace);

// When a wait for the idle pin that began at now_ns gives up: a drain that ends a
// stretch or the run, or one before a switch (which allows for a line behind the
// clock by what any line may be off since the stretch began).
int64_t pace_give_up_at(const LinePace& pace, int64_t now_ns, bool switching);
