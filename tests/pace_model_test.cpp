// The line pacing policy against models of real drivers: a pseudo-terminal, a
// 16550 UART under the 8250 driver, and USB adapters, each on a line that runs at
// its nominal rate, 3 % fast or 3 % slow. A small port layer, shaped like the
// Linux one, runs ten simulated minutes of writes on each, then a switch and a
// quit, and the true state of the modelled line is measured throughout.
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
    int64_t hidden;           // bytes held where the queue count does not see them
    bool load_when_empty;     // the hidden FIFO is loaded only once it has run empty
    bool counts_queue;        // the queue count is the driver's own queue (a pty says 0)
    bool reports_empty;       // "transmitter empty" is answered
    bool flush_drops_hidden;  // a flush also empties the hidden buffer
    int64_t capacity;         // bytes the kernel takes before a write has to wait
    int64_t beyond_empty = 0; // bytes still held when "transmitter empty" is reported
};

const Driver kPty = {"pty", 16384, false, false, false, false, 16384};
const Driver k16550 = {"16550", 16, true, true, true, false, 4096 + 16};
const Driver kUsbFtdi = {"usb256_empty", 256, false, true, true, false, 4096 + 256};
const Driver kUsbSilent = {"usb640_silent", 640, false, true, false, true, 4096 + 640};
const Driver kUsbSilentKeeps = {"usb256_silent", 256, false, true, false, false, 4096 + 256};
// An emulated 16550 that says "empty" while a socket behind it still holds bytes.
const Driver kBridged = {"16550_bridged", 16 + 6, true, true, true, false, 4096 + 22, 6};

// The modelled line: everything taken goes out back to back at the real frame
// time, so the bytes still to send follow from when the last one will be out.
struct Line {
    Driver d;
    int64_t frame;                        // real frame time
    int64_t end = 0;                      // when the last byte taken will have left the pin
    int64_t taken = 0;                    // bytes ever taken
    int64_t fifo_base = 0, fifo_load = 0; // the 16550's current FIFO load
    int64_t idle_ns = 0, idle_stretches = 0;
    int64_t last_idle_at = -1;

    int64_t left(int64_t t) const { return end > t ? (end - t + frame - 1) / frame : 0; }
    int64_t hidden_now(int64_t t) {
        const int64_t rest = left(t);
        if (!d.load_when_empty) {
            return std::min(rest, d.hidden);
        }
        const int64_t sent = taken - rest;
        while (sent >= fifo_base + fifo_load && taken > fifo_base + fifo_load) {
            fifo_base += fifo_load;
            fifo_load = std::min(d.hidden, taken - fifo_base);
        }
        return std::clamp<int64_t>(fifo_base + fifo_load - sent, 0, rest);
    }
    int64_t queue(int64_t t) { return left(t) - hidden_now(t); }

    int64_t take(int64_t t, int64_t n, bool measure) {
        n = std::min(n, d.capacity - left(t));
        if (n <= 0) {
            return 0;
        }
        if (end <= t) {
            if (measure && taken > 0) {
                idle_ns += t - end;
                ++idle_stretches;
                last_idle_at = t;
            }
            end = t;
            fifo_base = taken;
            fifo_load = std::min(d.hidden, n);
        }
        end += n * frame;
        taken += n;
        return n;
    }
    void flush(int64_t t) {
        const int64_t drop = d.flush_drops_hidden ? left(t) : queue(t);
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
};

int64_t nominal_frame(const RateEntry& row) {
    return static_cast<int64_t>(frame_bits(row)) * kSec / row.baud;
}

int64_t write_ns(const RateEntry& row) {
    return write_length(row) * nominal_frame(row);
}

// The port layer: hands a write in as the kernel takes it, looks at the driver at
// every wake, and completes the write when the policy says so.
struct Port {
    Line line;
    LinePace pace{};
    int64_t t = 0;
    int64_t length = 0, handed = 0;
    double rate; // real rate / nominal
    bool measure = true;

    void look() {
        LineReport r;
        r.queued_bytes = line.d.counts_queue ? line.queue(t) : 0;
        r.transmitter_empty =
            line.d.reports_empty ? (line.left(t) <= line.d.beyond_empty ? 1 : 0) : -1;
        pace_report(pace, t, r);
    }
    void hand_in() {
        const int64_t n = line.take(t, length - handed, measure);
        if (n > 0) {
            pace_sent(pace, t, n);
            handed += n;
        }
    }
    void start(int64_t bytes) {
        length = bytes;
        handed = 0;
        hand_in();
    }
    // Runs until the write completes; returns false if `until` comes first.
    bool wait(int64_t until) {
        for (;;) {
            hand_in();
            look();
            if (handed == length && t >= pace_complete_at(pace, length)) {
                return true;
            }
            int64_t wake = handed < length ? t + 5 * kMs : pace_complete_at(pace, length);
            wake = std::min(wake, pace_next_look(pace, t));
            if (wake > until) {
                t = until;
                return false;
            }
            t = std::max(t + 1000, wake);
        }
    }
    // The switch: discard, hold the new rate back while old bytes settle, apply.
    void apply(const RateEntry& row) {
        const int64_t f = nominal_frame(row);
        const int64_t until = pace_settle_until(pace, t, f);
        while (t < until) {
            look();
            if (line.d.reports_empty && line.left(t) <= line.d.beyond_empty) {
                break;
            }
            t = std::min(until, t + kMs);
        }
        line.set_frame(t, static_cast<int64_t>(f / rate));
        pace_set_frame(pace, f, t);
        look();
    }
    void cancel() {
        const int64_t before = line.d.counts_queue ? line.queue(t) : 0;
        line.flush(t);
        const int64_t after = line.d.counts_queue ? line.queue(t) : 0;
        pace_discarded(pace, t, before - after);
        handed = length;
    }
};

struct Result {
    int64_t lead_min = INT64_MAX, lead_max = 0; // true lead, in ns
    int64_t idle_ns = 0, stretches = 0, last_idle_at = -1;
    int64_t old_after_switch = 0, quit_exit = 0, quit_stop = 0;
};

// Ten minutes at `row`, then a switch to `next` and, two seconds later, a quit
// key that comes 37 ms into a write.
Result run(const Driver& d, double rate, int row_index, int next_index) {
    const RateEntry& row = rate_table[row_index];
    const RateEntry& next = rate_table[next_index];
    Port p;
    p.rate = rate;
    p.line.d = d;
    p.line.frame = static_cast<int64_t>(nominal_frame(row) / rate);
    pace_start(p.pace, nominal_frame(row), 0);
    p.look();
    Result r;
    const int64_t len = write_length(row);
    p.start(len);
    const int64_t settle = 2 * kSec;
    bool learned = false;
    while (p.t < 10 * 60 * kSec) {
        p.wait(INT64_MAX);
        const int64_t lead = p.line.end - p.t;
        // The completion at which the line was seen dry ends the learning.
        if (p.t > settle && learned) {
            r.lead_min = std::min(r.lead_min, lead);
        }
        learned = !p.pace.learning;
        p.start(len);
        r.lead_max = std::max(r.lead_max, p.line.end - p.t);
    }
    r.idle_ns = p.line.idle_ns;
    r.stretches = p.line.idle_stretches;
    r.last_idle_at = p.line.last_idle_at;

    // A switch in the middle of a write: old bytes last until the new row's first
    // byte goes out.
    p.measure = false;
    p.wait(p.t + write_ns(row) / 2);
    const int64_t key = p.t;
    p.cancel();
    p.apply(next);
    const int64_t old_bytes = p.line.left(p.t);
    r.old_after_switch = p.t - key + old_bytes * p.line.frame;
    // Two seconds on the new row, then a quit key 37 ms into a write.
    const int64_t quit_key = p.t + 2 * kSec + 37 * kMs;
    do {
        p.start(write_length(next));
    } while (p.wait(quit_key));
    p.wait(INT64_MAX); // the write in progress completes
    r.quit_exit = p.t - quit_key;
    p.cancel();
    // Closing sends what the hardware still holds at 115200 bit/s 8N1, then puts
    // the settings found at start back.
    r.quit_stop = p.t - quit_key + p.line.left(p.t) * (10 * kSec / 115200);
    return r;
}

struct Case {
    const Driver* d;
    int row, next;
};

// Every model, rows 0, 13, 28 and 29, each at -3 %, nominal and +3 %.
TEST(LinePace, DriverModelsKeepTheLineFedAndTheBacklogShort) {
    const Driver* drivers[] = {&kPty, &k16550, &kUsbFtdi, &kUsbSilent, &kUsbSilentKeeps, &kBridged};
    const int rows[][2] = {{0, 1}, {13, 12}, {28, 27}, {29, 28}};
    const double rates[] = {0.97, 1.0, 1.03};
    std::printf("%-14s %4s %5s %9s %9s %6s %8s %8s %8s\n", "model", "row", "rate", "lead min",
                "lead max", "idle", "switch", "quit", "stopped");
    for (const Driver* d : drivers) {
        for (const auto& rn : rows) {
            for (double rate : rates) {
                const Result r = run(*d, rate, rn[0], rn[1]);
                const RateEntry& row = rate_table[rn[0]];
                const int64_t w = write_ns(row);
                const int64_t w_next = write_ns(rate_table[rn[1]]);
                std::printf(
                    "%-14s %4d %5.2f %7.0fms %7.0fms %4lld/%lldms %6.0fms %6.0fms %6.0fms\n",
                    d->name, rn[0], rate, r.lead_min / 1e6, r.lead_max / 1e6,
                    static_cast<long long>(r.stretches), static_cast<long long>(r.idle_ns / kMs),
                    r.old_after_switch / 1e6, r.quit_exit / 1e6, r.quit_stop / 1e6);
                SCOPED_TRACE(std::string(d->name) + " row " + std::to_string(rn[0]) + " rate " +
                             std::to_string(rate));
                // A quit waits for the write in progress, one write at most (a little
                // more at the line's pace where a slow line without reports has
                // filled the kernel); a line that discards on a flush falls silent
                // soon after.
                const bool informed = (d->reports_empty && d != &kBridged) || rate == 1.0;
                EXPECT_LE(r.quit_exit, (informed ? w : w * 21 / 20) + 10 * kMs);
                if (d != &kPty) {
                    EXPECT_LE(r.quit_stop, 500 * kMs);
                }
                if (!informed) {
                    // Nothing tells a fast line from a slow one here: the fast one
                    // leaves gaps of its 3 % excess, the slow one gathers a backlog.
                    EXPECT_LE(r.idle_ns, 600 * kSec * 35 / 1000);
                    // Where the driver counts its queue, the backlog stops growing
                    // once its hidden buffer is full.
                    if (d->counts_queue) {
                        const int64_t hidden = d->hidden * nominal_frame(row);
                        EXPECT_LE(r.lead_max, (2 * w + hidden) * 21 / 20);
                    }
                } else {
                    // Old bytes after a switch last no longer than about two writes.
                    EXPECT_LE(r.old_after_switch, std::max(w, w_next) * 2 + 20 * kMs);
                    // At most one short stretch of idle line while the rate is
                    // learned, none in steady running, and never more than about
                    // two writes ahead of the pin.
                    EXPECT_LE(r.stretches, 1);
                    EXPECT_LE(r.idle_ns, 5 * kMs);
                    EXPECT_GE(r.lead_min, w / 2);
                    EXPECT_LE(r.lead_max, 2 * w + w / 4);
                }
            }
        }
    }
}

// The real frame time comes from the line running dry: the bytes sent since it
// was last seen empty, over the time until it was seen empty again (the middle
// between the last look that saw it busy and the first that saw it empty).
TEST(LinePace, LearnsTheRealFrameFromTheLineRunningDry) {
    LinePace p{};
    pace_start(p, 1000000, 0);
    pace_report(p, 0, {0, 1});
    ASSERT_TRUE(p.learning);
    EXPECT_GT(p.frame_ns, 1030000); // starts slower than any real line
    pace_sent(p, 0, 100);
    pace_report(p, 96000000, {0, 0});
    pace_report(p, 98000000, {0, 1}); // 100 frames ran out at about 97 ms
    EXPECT_FALSE(p.learning);
    EXPECT_EQ(p.frame_ns, 970000);
    EXPECT_EQ(pace_queued_ns(p, 98000000), 0);
    pace_sent(p, 98000000, 10);
    pace_report(p, 106000000, {0, 0});
    pace_report(p, 110000000, {0, 1}); // a shorter stretch measures less closely
    EXPECT_EQ(p.frame_ns, 970000);
}

} // namespace
