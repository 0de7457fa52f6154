#include "line_pace.h"

#include <algorithm>

namespace {

// A switch never holds the new row back longer than this.
constexpr int64_t kSettleMaxNs = 500000000;

int64_t slow_guess(int64_t nominal_ns) {
    return nominal_ns + nominal_ns * kLearnSlowPermille / 1000;
}

// The frame time may be learned only within this much of nominal.
int64_t clamp_frame(int64_t frame_ns, int64_t nominal_ns) {
    return std::clamp(frame_ns, nominal_ns - nominal_ns / 10, nominal_ns + nominal_ns / 10);
}

void begin_learning(LinePace& p, int64_t now_ns) {
    p.learning = true;
    p.learn_until = now_ns + kLearnMaxNs;
    p.frame_ns = slow_guess(p.nominal_ns);
}

void seen_empty(LinePace& p, int64_t now_ns) {
    p.free_at_ns = now_ns;
    p.empty_at_ns = now_ns;
    p.bytes_in = 0;
    p.empty_known = true;
}

} // namespace

void pace_start(LinePace& p, int64_t frame_ns, int64_t now_ns) {
    p = LinePace{};
    p.nominal_ns = frame_ns;
    p.frame_ns = frame_ns;
    p.free_at_ns = now_ns;
    p.empty_at_ns = now_ns;
}

void pace_set_frame(LinePace& p, int64_t frame_ns, int64_t now_ns) {
    // Bytes still ahead go out at the new rate from now on.
    const int64_t ahead = std::max<int64_t>(0, p.free_at_ns - now_ns);
    const int64_t bytes = (ahead + p.frame_ns - 1) / p.frame_ns;
    p.nominal_ns = frame_ns;
    p.frame_ns = frame_ns;
    p.learning = false;
    if (p.reports_empty) {
        begin_learning(p, now_ns);
    }
    p.free_at_ns = now_ns + bytes * p.frame_ns;
    // What was learned about the old rate says nothing about the new one.
    p.empty_known = false;
    p.bytes_in = 0;
    p.learned_span_ns = 0;
}

int64_t pace_settle_until(const LinePace& p, int64_t now_ns, int64_t new_frame_ns) {
    const int64_t ahead = pace_queued_ns(p, now_ns);
    if (p.answers_empty) {
        // "Transmitter empty" ends the wait the moment the UART's FIFO has gone.
        // Where it misleads the pace, the clock may not know all of the FIFO.
        const int64_t margin = (p.empty_misleads ? 16 : 4) * p.frame_ns;
        return now_ns + std::min(ahead + margin, kSettleMaxNs);
    }
    if (ahead == 0 || new_frame_ns <= p.frame_ns) {
        return now_ns; // nothing left, or the old bytes only get shorter
    }
    return now_ns + std::min(ahead, kSettleMaxNs);
}

void pace_sent(LinePace& p, int64_t now_ns, int64_t bytes) {
    p.free_at_ns = std::max(p.free_at_ns, now_ns) + bytes * p.frame_ns;
    p.bytes_in += bytes;
}

void pace_discarded(LinePace& p, int64_t now_ns, int64_t discarded_bytes) {
    if (discarded_bytes <= 0) {
        return;
    }
    p.free_at_ns = std::max(now_ns, p.free_at_ns - discarded_bytes * p.frame_ns);
    // Discarded bytes never reached the line: learning would count them as sent.
    p.empty_known = false;
}

void pace_report(LinePace& p, int64_t now_ns, LineReport report) {
    if (report.transmitter_empty != -1) {
        p.answers_empty = true;
    }
    if (p.empty_misleads) {
        report.transmitter_empty = -1;
    }
    if (report.transmitter_empty == 1) {
        if (!p.reports_empty) {
            p.reports_empty = true;
            begin_learning(p, now_ns);
        } else if (p.free_at_ns > now_ns && p.empty_known && p.bytes_in > 0) {
            // Everything handed in since the line was last seen empty went out
            // back to back and ended between the previous look, which still saw
            // it busy, and this one: the middle of that gives the frame time to
            // within half a look over the whole stretch; a longer stretch measures
            // closer.
            const int64_t ran_dry = (std::max(p.busy_at_ns, p.empty_at_ns) + now_ns) / 2;
            const int64_t span = ran_dry - p.empty_at_ns;
            if (span / p.bytes_in < p.nominal_ns - p.nominal_ns / 20) {
                // Faster than any real line: bytes are held beyond the point
                // that reports "empty" (an emulator's socket, a buffering bridge),
                // so "empty" says nothing about the pin. Pace at the nominal rate.
                p.empty_misleads = true;
                p.reports_empty = false;
                p.learning = false;
                p.frame_ns = p.nominal_ns;
                return;
            }
            if (p.learning || span > p.learned_span_ns) {
                p.frame_ns = clamp_frame(span / p.bytes_in, p.nominal_ns);
                p.learned_span_ns = span;
            }
            p.learning = false;
        }
        seen_empty(p, now_ns);
        return;
    }
    if (report.transmitter_empty == 0) {
        // Still sending: at least the frame on the wire is ahead.
        p.busy_at_ns = now_ns;
        p.free_at_ns = std::max(p.free_at_ns, now_ns + p.frame_ns);
    }
    if (report.queued_bytes > 0) {
        // The driver holds these bytes, and its hidden buffer at most a full load
        // more. While learning, the slow guess must be left to run the line dry.
        p.free_at_ns = std::max(p.free_at_ns, now_ns + report.queued_bytes * p.frame_ns);
        if (!p.learning) {
            p.free_at_ns = std::min(p.free_at_ns,
                                    now_ns + (report.queued_bytes + kHiddenBytesMax) * p.frame_ns);
        }
    }
    if (p.learning && now_ns >= p.learn_until) {
        // The line never ran dry: it is slower than the guess, and the queue the
        // driver reports is what keeps the clock honest from here on.
        p.learning = false;
        p.frame_ns = p.nominal_ns;
    }
}

int64_t pace_queued_ns(const LinePace& p, int64_t now_ns) {
    return std::max<int64_t>(0, p.free_at_ns - now_ns);
}

int64_t pace_complete_at(const LinePace& p, int64_t write_bytes) {
    return p.free_at_ns - write_bytes * p.frame_ns;
}

int64_t pace_next_look(const LinePace& p, int64_t now_ns) {
    return p.learning ? now_ns + kLearnLookNs : INT64_MAX;
}
