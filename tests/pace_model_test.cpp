// The line pacing policy against models of real drivers, from one table of what
// each driver does: a pseudo-terminal, a 16550 UART under the 8250 driver, FTDI,
// Silicon Labs, WCH and Prolific USB adapters, each on a line that runs at its
// nominal rate, 2 % fast or 2 % slow. A small port layer, shaped like the Linux
// one, runs half a minute of writes on each, then a switch, a quit, a switch and
// a quit on a line held back, and the true state of the modelled line is
// measured throughout.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "serial/line_pace.h"
#include "wave/rate_table.h"

namespace {

constexpr int64_t kMs = 1000000;
constexpr int64_t kSec = 1000 * kMs;

struct Driver {
    const char* name;
    int64_t hidden;         // bytes held where the queue count does not see them
    bool drain_to_pin;      // the drain waits for the pin, not only for the driver's queue
    bool flush_drops_queue; // a flush drops the driver's queue (never what the chip holds)
    int64_t capacity;       // bytes the kernel takes before a write has to wait
};

// What the drivers do (Linux 6.1). A drain (tcdrain) first waits for the driver's
// queue; then the 8250's polls the UART, ftdi_sio's and cp210x's ask the chip
// (TEMT; the chip's queue count) every character time, a timer tick at least;
// ch341 and pl2303 have none, and a pty's returns at once. A usb-serial driver
// discards nothing on a flush; the 8250 drops its queue.
const Driver kPty = {"pty", 1 << 30, false, false, 16384};
const Driver k16550 = {"16550", 16, true, true, 4096 + 16};
const Driver kFt232r = {"ft232r", 128, true, false, 4096 + 128 + 512};
const Driver kFt2232h = {"ft2232h", 4096, true, false, 4096 + 4096};
const Driver kCp2102 = {"cp2102", 640, true, false, 4096 + 640 + 512};
const Driver kCh340 = {"ch340", 256, false, false, 4096 + 256 + 512};
const Driver kPl2303 = {"pl2303", 256, false, false, 4096 + 256 + 512};

constexpr int64_t kTickNs = 4 * kMs; // a jiffy at HZ=250

// The modelled line: everything taken goes out back to back at the real frame
// time, so the bytes still to send follow from when the last one will be out. A
// line held back (flow control) keeps what it held when it stopped.
struct Line {
    Driver d;
    int64_t frame;        // real frame time
    int64_t end = 0;      // when the last byte taken will have left the pin
    int64_t taken = 0;    // bytes ever taken
    int64_t held_at = -1; // the line stopped sending here
    int64_t idle_ns = 0, idle_stretches = 0, gap_max = 0, watch_from = INT64_MAX;

    int64_t at(int64_t t) const { return held_at >= 0 ? std::min(t, held_at) : t; }
    int64_t left(int64_t t) const { return end > at(t) ? (end - at(t) + frame - 1) / frame : 0; }
    int64_t queue(int64_t t) const { return left(t) - std::min(left(t), d.hidden); }

    int64_t take(int64_t t, int64_t n) {
        n = std::min(n, d.capacity - left(t));
        if (n <= 0) {
            return 0;
        }
        if (end <= t) {
            if (taken > 0 && t - end > frame * 3 / 2 && t >= watch_from) {
                idle_ns += t - end;
                ++idle_stretches;
                gap_max = std::max(gap_max, t - end);
            }
            end = t;
        }
        end += n * frame;
        taken += n;
        return n;
    }
    void flush(int64_t t) {
        const int64_t drop = d.flush_drops_queue ? queue(t) : 0;
        end -= drop * frame;
        taken -= drop;
    }
    void set_frame(int64_t t, int64_t f) {
        const int64_t rest = left(t);
        frame = f;
        if (rest > 0) {
            end = t + rest * f;
        }
    }
    // When a drain begun at t returns, or -1 when that is after give_up (held).
    int64_t drain(int64_t t, int64_t give_up) const {
        const int64_t done = d.drain_to_pin ? end : end - d.hidden * frame;
        if (held_at >= 0 && held_at < done) {
            return -1;
        }
        // A drain that reaches the pin looks at the line once a character time.
        const int64_t poll = std::max(kTickNs, frame);
        const int64_t back = d.drain_to_pin
                                 ? t + std::max<int64_t>(0, (done - t + poll - 1) / poll) * poll
                                 : std::max(t, done);
        return back + kMs <= give_up ? back + kMs : -1; // a round trip to the chip
    }
};

int64_t nominal_frame(const RateEntry& row) {
    return static_cast<int64_t>(frame_bits(row)) * kSec / row.baud;
}

int64_t write_ns(const RateEntry& row) {
    return write_length(row) * nominal_frame(row);
}

// The port layer, as on Linux: at each top-up the driver's queue corrects the
// clock, a stretch due to end is drained, and the line is topped up; a write
// completes once all of it is in and the lead has fallen to its floor. A switch or the end waits
// for the drain, then for the clock, and gives up on a line held back.
struct Port {
    Line line;
    LinePace pace{};
    int64_t t = 0;
    int64_t length = 0, handed = 0;
    double rate; // real rate / nominal

    // The drain, bounded; true when it did not give up.
    bool drain(int64_t give_up) {
        const int64_t back = line.drain(t, give_up);
        t = back >= 0 ? back : give_up;
        return back >= 0;
    }
    void top_up() {
        pace_queue(pace, t, line.queue(t));
        if (pace_measure_due(pace, t)) {
            const bool drained = drain(pace_give_up_at(pace, t, false));
            pace_drained(pace, t, drained);
        }
        const int64_t n = line.take(t, pace_room(pace, t, length - handed));
        pace_sent(pace, t, n);
        handed += n;
    }
    void start(int64_t bytes) {
        length = bytes;
        handed = 0;
        if (t >= pace_feed_at(pace)) {
            top_up();
        }
    }
    // Runs until the write completes; returns false if `until` comes first.
    bool wait(int64_t until) {
        while (handed < length || t < pace_feed_at(pace)) {
            const int64_t wake = std::max(pace_feed_at(pace), t + kMs);
            if (wake > until) {
                t = until;
                return false;
            }
            t = wake;
            top_up();
        }
        return true;
    }
    bool wait_idle(int64_t give_up) {
        if (!drain(give_up)) {
            return false;
        }
        t = std::max(t, std::min(pace_idle_at(pace), give_up));
        return true;
    }
    void cancel() {
        line.flush(t);
        handed = length;
    }
    // The switch: the old bytes left to go out under the new settings, or -1 when
    // the row is refused (the line is held back).
    int64_t apply(const RateEntry& row) {
        if (!wait_idle(pace_give_up_at(pace, t, true))) {
            return -1;
        }
        const int64_t old = line.left(t);
        line.set_frame(t, static_cast<int64_t>(nominal_frame(row) / rate));
        pace_set_frame(pace, nominal_frame(row), t);
        return old;
    }
};

struct Result {
    int64_t lead_max = 0; // true lead at any top-up after the first two stretches
    int64_t idle_ns = 0, stretches = 0, gap_max = 0;
    int64_t old_wave = 0, old_under_new = 0, switch_idle = 0;
    int64_t quit_idle = 0, quit_exit = 0, quit_other = 0;
    int64_t held_switch = 0, held_exit = 0;
};

Port make_port(const Driver& d, double rate, const RateEntry& row) {
    Port p;
    p.rate = rate;
    p.line.d = d;
    p.line.frame = static_cast<int64_t>(nominal_frame(row) / rate);
    pace_start(p.pace, nominal_frame(row), d.drain_to_pin, kLeadFloorNs, 0);
    return p;
}

// Runs writes of `row` until `until`, or until a write is in progress at it.
void run_until(Port& p, const RateEntry& row, int64_t until, Result* r) {
    do {
        p.start(write_length(row));
        if (r != nullptr && p.t > 3 * kSec) {
            r->lead_max = std::max(r->lead_max, p.line.end - p.t);
        }
    } while (p.wait(until));
}

// The engine's quit: the write in progress completes (a tenth past one write
// time at most), the port stops feeding, waits for the pin (150 ms at most) and
// is put back.
void quit(Port& p, const RateEntry& row, int64_t key, Result& r, int64_t& exit) {
    p.wait(key + write_ns(row) + write_ns(row) / 10);
    p.cancel();
    p.wait_idle(std::min(pace_give_up_at(p.pace, p.t, false), p.t + 150 * kMs));
    r.quit_idle = std::min(p.line.end, p.t) - key;
    r.quit_other = p.line.left(p.t); // these go out at the settings put back
    exit = p.t - key;
}

// Half a minute at `row`, then a switch to `next` in the middle of a write and,
// two seconds later, a quit key 37 ms into a write; then a switch and a quit on
// a line held back for a second before the key.
Result run(const Driver& d, double rate, int row_index, int next_index) {
    const RateEntry& row = rate_table[row_index];
    const RateEntry& next = rate_table[next_index];
    Port p = make_port(d, rate, row);
    Result r;
    p.line.watch_from = 3 * kSec; // after the first two stretches
    run_until(p, row, 30 * kSec + write_ns(row) / 2, &r);
    r.idle_ns = p.line.idle_ns;
    r.stretches = p.line.idle_stretches;
    r.gap_max = p.line.gap_max;

    const int64_t key = p.t;
    p.cancel();
    r.old_under_new = p.apply(next);
    r.old_wave = p.t - key + r.old_under_new * p.line.frame;
    // Idle from the old wave's end for two seconds: a late first write shows here.
    p.line.idle_ns = 0;
    p.line.watch_from = 0;
    const int64_t quit_key = p.t + 2 * kSec + 37 * kMs;
    run_until(p, next, quit_key, nullptr);
    r.switch_idle = p.line.idle_ns;
    quit(p, next, quit_key, r, r.quit_exit);

    for (const bool switching : {true, false}) {
        Port h = make_port(d, rate, row);
        const int64_t held_key = 3 * kSec + 37 * kMs;
        h.line.held_at = held_key - kSec;
        run_until(h, row, held_key, nullptr);
        Result ignored;
        if (switching) {
            h.cancel();
            r.held_switch = h.apply(next);
        } else {
            quit(h, row, held_key, ignored, r.held_exit);
        }
    }
    return r;
}

// Every model at rows 0, 13, 28 and 29, each at -2 %, nominal and +2 %.
TEST(LinePace, DriverModelsKeepTheLeadShortAndNoByteUnderWrongSettings) {
    const Driver* drivers[] = {&kPty, &k16550, &kFt232r, &kFt2232h, &kCp2102, &kCh340, &kPl2303};
    const int rows[][2] = {{0, 1}, {13, 12}, {28, 27}, {29, 28}};
    const double rates[] = {0.98, 1.0, 1.02};
    std::printf("%-8s %3s %5s %8s %15s %8s %4s %7s %8s %8s %4s %5s %8s\n", "model", "row", "rate",
                "lead max", "gaps, max", "old wave", "old", "sw idle", "quit pin", "quit end",
                "oth", "held", "held end");
    for (const Driver* d : drivers) {
        for (const auto& rn : rows) {
            for (double rate : rates) {
                const Result r = run(*d, rate, rn[0], rn[1]);
                const RateEntry& row = rate_table[rn[0]];
                std::printf(
                    "%-8s %3d %5.2f %6.0fms %3lld/%4lldms,%3.0fms %6.0fms %4lld %5.0fms "
                    "%6.0fms %6.0fms %4lld %5lld %6.0fms\n",
                    d->name, rn[0], rate, r.lead_max / 1e6, static_cast<long long>(r.stretches),
                    static_cast<long long>(r.idle_ns / kMs), r.gap_max / 1e6, r.old_wave / 1e6,
                    static_cast<long long>(r.old_under_new), r.switch_idle / 1e6, r.quit_idle / 1e6,
                    r.quit_exit / 1e6, static_cast<long long>(r.quit_other),
                    static_cast<long long>(r.held_switch), r.held_exit / 1e6);
                SCOPED_TRACE(std::string(d->name) + " row " + std::to_string(rn[0]) + " rate " +
                             std::to_string(rate));
                // What the user may expect at every row: the wave ends within a
                // tenth of a second of a key from row 8 up, below within a write
                // and a frame; kelvor is gone 100 ms after the pin falls idle,
                // half a second after the key on a line held back.
                const auto bound = [](int index) {
                    const RateEntry& e = rate_table[index];
                    return index >= 8 ? 100 * kMs : write_ns(e) + nominal_frame(e);
                };
                EXPECT_LE(r.quit_exit - r.quit_idle, 100 * kMs);
                EXPECT_LE(r.held_exit, 500 * kMs);
                // Where the drain reaches the pin, a held line refuses the switch.
                if (d->drain_to_pin) {
                    EXPECT_EQ(r.held_switch, -1);
                }
                // Where the drain reaches the pin, or the line runs at its nominal
                // rate, the pace knows what is ahead of the pin: no byte under
                // other settings, a short lead.
                if (!d->drain_to_pin && rate != 1.0) {
                    continue;
                }
                EXPECT_EQ(r.old_under_new, 0);
                EXPECT_EQ(r.quit_other, 0);
                const int64_t frame = nominal_frame(row);
                // Below row 8 the stretches are long (16 frames and more), and a
                // line off its rate gathers a few frames before it is measured;
                // above, a measure is as close as a drain's look once a tick, and
                // the line drifts from the clock by a few ms before the next.
                if (rate == 1.0 || rn[0] >= 8) {
                    EXPECT_LE(r.lead_max, kLeadFloorNs + kLeadStepNs + frame + 10 * kMs);
                    EXPECT_LE(r.old_wave, bound(rn[0]));
                }
                EXPECT_LE(r.quit_idle, bound(rn[1]) + write_ns(rate_table[rn[1]]));
                // No gaps after the first two stretches but the drains that end
                // the next two, one frame and 5 ms at most; 20 ms idle at
                // most in the two seconds after a switch, its drains included
                // (and a frame more: the drain looks once a character time).
                EXPECT_LE(r.stretches, d->drain_to_pin ? 2 : 0);
                EXPECT_LE(r.gap_max, frame + 5 * kMs);
                EXPECT_LE(r.switch_idle, 20 * kMs + frame);
            }
        }
    }
}

// The frame time comes from two stretches that ran dry: the difference of their
// times over that of their bytes, so that the drain's own lateness cancels. A
// measure further off nominal than any line is left out; a drain that gives up
// (a line held back) measures nothing, and the next is a long while later. Each
// stretch is four times as long as the last.
TEST(LinePace, MeasuresTheFrameFromStretchesThatRanDry) {
    constexpr int64_t kFrame = 1000000, kLate = 3000000; // drains end 3 ms late
    LinePace p{};
    pace_start(p, kFrame, true, kLeadFloorNs, 0);
    pace_sent(p, 0, 500);
    EXPECT_FALSE(pace_measure_due(p, kFirstStretchNs - 1));
    ASSERT_TRUE(pace_measure_due(p, kFirstStretchNs));
    pace_drained(p, 495 * kFrame + kLate, true); // the first stretch: a base only
    EXPECT_EQ(p.frame_ns, kFrame);
    pace_sent(p, kSec, 2000);
    EXPECT_EQ(p.measure_at_ns, kSec + kStretchGrowth * kFirstStretchNs);
    pace_drained(p, p.measure_at_ns, false); // held: drained again a long while later
    const int64_t t = p.measure_at_ns;
    EXPECT_GE(t, kSec + (1 + kStretchGrowth) * kStretchGrowth * kFirstStretchNs);
    pace_drained(p, t, true); // when the line ran dry is not known: a start only
    pace_sent(p, t, 2000);
    pace_drained(p, t + 1980 * kFrame + kLate, true); // 1 % fast
    EXPECT_EQ(p.frame_ns, 990000);
    pace_sent(p, t + 2 * kSec, 8000);
    pace_drained(p, t + 2 * kSec + int64_t{8000} * 900000 + kLate, true); // far off: left out
    EXPECT_EQ(p.frame_ns, 990000);
    pace_sent(p, t + 20 * kSec, 1);
    EXPECT_EQ(p.measure_at_ns,
              t + 20 * kSec + kStretchGrowth * kStretchGrowth * kStretchGrowth * kFirstStretchNs);
}

} // namespace
