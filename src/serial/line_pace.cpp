#include "line_pace.h"

#include <algorithm>
#include <cstdlib>

namespace {

int64_t slow_guess(int64_t nominal_ns) {
    return nominal_ns + nominal_ns * kLearnSlowPermille / 1000;
}

void begin_learning(LinePace& p, int64_t now_ns) {
    p.learned_ns = 0;
    p.learned_bytes = 0;
    p.probing = false;
    if (p.status_age_ns > 0) {
        // A status that comes once in a while cannot see the short gaps a slow
        // guess would leave: pace at nominal, and let the line run dry on purpose
        // now and then to measure it.
        p.learning = false;
        p.frame_ns = p.nominal_ns;
        p.probe_at_ns = now_ns + kFirstProbeNs;
        return;
    }
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

int64_t feed_step(const LinePace& p) {
    return std::max(kFeedStepNs, p.status_age_ns + 2000000);
}

} // namespace

void pace_start(LinePace& p, int64_t frame_ns, int64_t status_age_ns, int64_t now_ns) {
    p = LinePace{};
    p.nominal_ns = frame_ns;
    p.frame_ns = frame_ns;
    p.status_age_ns = status_age_ns;
    p.last_in_ns = now_ns - status_age_ns; // nothing is on its way
    p.free_at_ns = now_ns;
    p.empty_at_ns = now_ns;
    p.probe_at_ns = INT64_MAX;
}

void pace_set_frame(LinePace& p, int64_t frame_ns, int64_t now_ns) {
    // Anything still ahead goes out at the new rate from now on.
    const int64_t ahead = std::max<int64_t>(0, p.free_at_ns - now_ns);
    const int64_t bytes = (ahead + p.frame_ns - 1) / p.frame_ns;
    p.nominal_ns = frame_ns;
    p.frame_ns = frame_ns;
    p.learning = false;
    p.probing = false;
    p.probe_at_ns = INT64_MAX;
    if (p.reports_empty) {
        begin_learning(p, now_ns); // what was learned of the old rate says nothing of this one
    }
    p.free_at_ns = now_ns + bytes * p.frame_ns;
    p.empty_known = false;
    p.bytes_in = 0;
}

void pace_sent(LinePace& p, int64_t now_ns, int64_t bytes) {
    if (bytes <= 0) {
        return;
    }
    p.free_at_ns = std::max(p.free_at_ns, now_ns) + bytes * p.frame_ns;
    p.bytes_in += bytes;
    p.last_in_ns = now_ns;
}

bool pace_report(LinePace& p, int64_t now_ns, LineReport report) {
    if (report.queued_bytes > 0) {
        p.last_in_ns = now_ns; // the chip gets these bytes later still
    }
    int empty = report.transmitter_empty;
    if (empty == 1 &&
        (report.queued_bytes > 0 || p.empty_misleads || now_ns - p.last_in_ns < p.status_age_ns)) {
        empty = -1; // output stopped with bytes queued, or a status older than the last bytes
    }
    if (empty == 1) {
        if (!p.reports_empty) {
            p.reports_empty = true;
            begin_learning(p, now_ns);
        } else if ((p.free_at_ns > now_ns || p.probing) && p.empty_known && p.bytes_in > 0) {
            // Everything handed in since the line was last seen empty went out
            // back to back and ended, ahead of the clock (or during a probe),
            // before this look: within a look where the status is read from the
            // UART at once, within the status's age where it is sent now and then
            // (the middle of that is taken).
            const int64_t span = now_ns - p.status_age_ns / 2 - p.empty_at_ns;
            if (span / p.bytes_in < p.nominal_ns - p.nominal_ns / 20) {
                // Faster than any real line: bytes are held beyond the point that
                // reports "empty" (an emulator's socket, a buffering bridge), so
                // "empty" says nothing about the pin. Pace at the nominal rate.
                p.empty_misleads = true;
                p.reports_empty = false;
                p.learning = false;
                p.frame_ns = p.nominal_ns;
                return false;
            }
            // A measure further off than any real line is a late report (a busy
            // host, a slow bus), not the line: it is left out.
            const int64_t frame = (p.learned_ns + span) / (p.learned_bytes + p.bytes_in);
            if (std::abs(frame - p.nominal_ns) <= p.nominal_ns * kLearnSlowPermille / 1000) {
                p.learned_ns += span;
                p.learned_bytes += p.bytes_in;
                p.frame_ns = frame;
            } else if (p.learning) {
                p.frame_ns = p.nominal_ns;
            }
            p.learning = false;
        }
        if (p.probing) {
            // The next measure over a stretch three times as long.
            p.probing = false;
            p.probe_at_ns = now_ns + kProbeGrowth * (now_ns - p.empty_at_ns);
        }
        seen_empty(p, now_ns);
        return true;
    }
    if (p.probing && now_ns >= p.probe_until_ns) {
        // Held back (flow control): the line never ran dry. Try again later.
        p.probing = false;
        p.probe_at_ns = now_ns + kProbeGrowth * (now_ns - p.empty_at_ns);
    } else if (!p.probing && p.reports_empty && now_ns >= p.probe_at_ns) {
        // Nothing more goes in until the line is seen empty: what is ahead, and
        // what a line a few percent slow has gathered since it was last seen so.
        p.probing = true;
        p.probe_until_ns = now_ns + kProbeMaxNs + (now_ns - p.empty_at_ns) / 20;
    }
    if (report.transmitter_empty == 0) {
        // Still sending, as of the status's age: the line was not free then. (Not
        // a whole frame more: the frame on the wire may be nearly out, and the
        // next bytes must not wait for a frame that is not there.)
        p.free_at_ns = std::max(p.free_at_ns, now_ns - p.status_age_ns + 1);
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
    return false;
}

int64_t pace_room(const LinePace& p, int64_t now_ns) {
    const int64_t ahead = pace_queued_ns(p, now_ns);
    if (ahead > kLeadLowNs || p.probing) {
        return 0;
    }
    return std::max<int64_t>(1, (kLeadLowNs + feed_step(p) - ahead) / p.frame_ns);
}

int64_t pace_feed_at(const LinePace& p) {
    return p.free_at_ns - kLeadLowNs;
}

int64_t pace_idle_at(const LinePace& p) {
    return p.free_at_ns + kIdleMarginNs;
}

int64_t pace_queued_ns(const LinePace& p, int64_t now_ns) {
    return std::max<int64_t>(0, p.free_at_ns - now_ns);
}

int64_t pace_next_look(const LinePace& p, int64_t now_ns) {
    return p.learning || p.probing ? now_ns + kLearnLookNs : INT64_MAX;
}
