#include "line_pace.h"

#include <algorithm>
#include <cstdlib>

void pace_start(LinePace& p, int64_t frame_ns, bool drain_reaches_pin, int64_t lead_floor_ns,
                int64_t now_ns) {
    p = LinePace{};
    p.mode = drain_reaches_pin ? PaceMode::measuring : PaceMode::clock;
    p.lead_floor_ns = lead_floor_ns;
    p.nominal_ns = frame_ns;
    p.frame_ns = frame_ns;
    p.free_at_ns = now_ns;
    p.since_ns = -1;
    p.measure_at_ns = INT64_MAX;
}

void pace_set_frame(LinePace& p, int64_t frame_ns, int64_t now_ns) {
    // A chip's clock is off by the same share at every rate: what was measured
    // carries over as the first guess, and each rate has its own divisor to measure.
    const int64_t frame = frame_ns * p.frame_ns / p.nominal_ns;
    pace_start(p, frame_ns, p.mode != PaceMode::clock, p.lead_floor_ns, now_ns);
    p.frame_ns = frame;
}

namespace {

// How long the stretch that starts now runs before the line is drained.
int64_t stretch_ns(const LinePace& p) {
    int64_t ns = std::max(kFirstStretchNs, kFirstStretchFrames * p.nominal_ns);
    for (int i = 0; i < p.stretches && ns < kStretchMaxNs; ++i) {
        ns *= kStretchGrowth;
    }
    return std::min(ns, kStretchMaxNs);
}

} // namespace

void pace_sent(LinePace& p, int64_t now_ns, int64_t bytes) {
    if (bytes <= 0) {
        return;
    }
    if (p.free_at_ns <= now_ns) {
        // The line is idle by the clock: a stretch starts with these bytes (the
        // first of a row, the first after a drain, or after a stall).
        p.free_at_ns = now_ns;
        p.since_ns = now_ns;
        p.bytes = 0;
        if (p.mode == PaceMode::measuring) {
            p.measure_at_ns = now_ns + stretch_ns(p);
        }
    }
    p.free_at_ns += bytes * p.frame_ns;
    p.bytes += bytes;
}

void pace_queue(LinePace& p, int64_t now_ns, int64_t queued) {
    p.free_at_ns = std::max(p.free_at_ns, now_ns + queued * p.frame_ns);
}

bool pace_measure_due(const LinePace& p, int64_t now_ns) {
    return p.mode == PaceMode::measuring && now_ns >= p.measure_at_ns;
}

void pace_drained(LinePace& p, int64_t now_ns, bool drained) {
    if (!drained) {
        // Held back: when the line ran dry is not known. It is drained again
        // after a long while, so a held line costs nothing meanwhile.
        p.since_ns = -1;
        p.measure_at_ns = now_ns + kStretchGrowth * stretch_ns(p);
        return;
    }
    if (p.since_ns >= 0 && p.bytes > 0) {
        // Every byte of the stretch went out back to back, and the line ran dry
        // before the drain ended. The drain ends a little after the pin fell
        // idle (it looks once a character time, over USB a round trip more), and
        // the first bytes reached the pin a little after they went in: alike for
        // every stretch, so the difference of two is the line's own.
        const int64_t span = now_ns - p.since_ns;
        if (p.base_bytes > 0 && p.bytes > p.base_bytes) {
            const int64_t frame = (span - p.base_span_ns) / (p.bytes - p.base_bytes);
            if (std::abs(frame - p.nominal_ns) <= p.nominal_ns * kMeasureSpreadPermille / 1000) {
                p.frame_ns = frame;
            }
        }
        p.base_span_ns = span;
        p.base_bytes = p.bytes;
        ++p.stretches;
    }
    p.free_at_ns = now_ns; // the next bytes start the next stretch
    p.measure_at_ns = INT64_MAX;
}

int64_t pace_room(const LinePace& p, int64_t now_ns, int64_t rest) {
    const int64_t ahead = std::max<int64_t>(0, p.free_at_ns - now_ns);
    if (ahead > p.lead_floor_ns || rest <= 0) {
        return 0;
    }
    // The rest of the write in even steps of at most kLeadStepNs, so that the
    // last one is no sliver that would cost a wake-up of its own; and what a late
    // wake-up let the lead fall below its floor.
    const int64_t steps = std::max<int64_t>(1, (rest * p.frame_ns + kLeadStepNs - 1) / kLeadStepNs);
    const int64_t share = (rest + steps - 1) / steps + (p.lead_floor_ns - ahead) / p.frame_ns;
    return std::min(rest, std::max<int64_t>(1, share));
}

int64_t pace_feed_at(const LinePace& p) {
    return p.free_at_ns - p.lead_floor_ns;
}

int64_t pace_idle_at(const LinePace& p) {
    // Where the drain reaches the pin, it has said so itself (and a UART's flush
    // may have dropped what the clock still counts).
    return p.mode == PaceMode::clock ? p.free_at_ns + kIdleMarginNs : INT64_MIN;
}

int64_t pace_give_up_at(const LinePace& p, int64_t now_ns, bool switching) {
    const int64_t end = std::max(now_ns, p.free_at_ns);
    // Before a switch, where the drain reaches the pin, the line may have fallen
    // behind the clock by as much as any line is off since the stretch began:
    // a switch is refused only on a line that is held back.
    const int64_t behind = switching && p.mode == PaceMode::measuring && p.since_ns >= 0
                               ? (end - p.since_ns) * kMeasureSpreadPermille / 1000
                               : 0;
    return end + p.frame_ns + kIdleSlackNs + std::min(behind, kBehindMaxNs);
}
