// The engine on the simulated serial line: wave shape per row, start-up and
// failure paths, key commands and switching, quitting, allocation.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "keyboard/key_check.h"
#include "sim/sim_line.h"
#include "wave/rate_table.h"
#include "wave/run_state.h"

using sim::Event;
using sim::Key;
using sim::Op;

namespace {

const std::string kStartText = "\n    Kelvor by Varnholm\n       (freq:arrows, quit:space)\n\n";

std::string frequency_line(int row) {
    return std::string("\t") + rate_table[row].label + " Hz\n";
}

// n presses of one code, spaced so that each is taken as it arrives.
std::vector<Key> presses(int64_t first_ms, int code, int n, int64_t spacing_ms = 250) {
    std::vector<Key> keys;
    for (int i = 0; i < n; ++i) {
        keys.push_back({first_ms + i * spacing_ms, code});
    }
    return keys;
}

std::vector<Key> join(std::vector<Key> a, const std::vector<Key>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<Event> of(Op op) {
    std::vector<Event> out;
    for (const Event& e : sim::events()) {
        if (e.op == op) {
            out.push_back(e);
        }
    }
    return out;
}

uint32_t line_code(const RateEntry& row) {
    return static_cast<uint32_t>(row.parity << 16 | row.stop_bits << 8 | 8);
}

sim::Run run(const sim::Config& config, std::vector<Key> keys) {
    sim::reset(config, std::move(keys));
    sim::Run r = sim::run_kelvor({"7"});
    EXPECT_FALSE(sim::trace_overflowed());
    return r;
}

// The frequency a row's label names; row 0's label rounds 18.33 Hz down.
double label_hz(int row) {
    return row == 0 ? 110.0 / 6.0 : std::atof(rate_table[row].label);
}

} // namespace

TEST(RateTable, RowsAreSortedWithFiveCharacterLabelsAndFitTheBuffer) {
    double previous = 0;
    for (int row = 0; row < kRateCount; ++row) {
        const RateEntry& r = rate_table[row];
        EXPECT_EQ(std::string(r.label).size(), 5u) << row;
        EXPECT_GT(label_hz(row), previous) << row;
        previous = label_hz(row);
        EXPECT_LE(write_length(r), kPulseBufferSize) << row;
        EXPECT_EQ(r.fill >> 8, 0) << row;
    }
    EXPECT_EQ(write_length(rate_table[28]), kPulseBufferSize);
    EXPECT_EQ(write_length(rate_table[0]), 2u);
    EXPECT_EQ(std::string(rate_table[kStartIndex].label), "  800");
}

// Every row, reached by stepping from the start row, puts its label's frequency
// on the line with a 50 % duty cycle and the line never idles between writes.
TEST(Wave, EveryRowHasItsFrequencyHalfDutyAndNoIdleGap) {
    std::printf("row  expected Hz  measured Hz  duty    longest idle\n");
    for (int row = 0; row < kRateCount; ++row) {
        const int steps = row - kStartIndex;
        const int64_t settled_ms = 300 + 250 * std::abs(steps) + 500;
        const int64_t quit_ms = settled_ms + 2000;
        auto keys = join(presses(300, steps > 0 ? '+' : '-', std::abs(steps)), {{quit_ms, 'q'}});
        sim::Run r = run({}, keys);
        ASSERT_EQ(r.status, 0) << row;
        ASSERT_EQ(r.out.substr(r.out.size() - frequency_line(row).size()), frequency_line(row));

        sim::Wave w = sim::analyse(settled_ms * sim::kNsPerMs, quit_ms * sim::kNsPerMs);
        std::printf("%3d  %11.2f  %11.3f  %.4f  %lld ns\n", row, label_hz(row), w.frequency_hz,
                    w.duty, static_cast<long long>(w.longest_idle_ns));
        EXPECT_NEAR(w.frequency_hz, label_hz(row), label_hz(row) * 0.001) << row;
        EXPECT_NEAR(w.duty, 0.5, 0.001) << row;
        EXPECT_EQ(w.longest_idle_ns, 0) << row;
        EXPECT_GE(w.rising_edges, 30u) << row;
    }
}

TEST(StartUp, RunsInOrderAndShutsDownInReverse) {
    sim::Run r = run({}, {{1000, ' '}});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kStartText + "\t  800 Hz\n");
    EXPECT_STREQ(sim::opened_path(), "SIM7");

    std::vector<Op> ops;
    for (const Event& e : sim::events()) {
        if (ops.empty() || e.op != Op::write || ops.back() != Op::write) {
            ops.push_back(e.op);
        }
    }
    const std::vector<Op> expected = {
        Op::open,  Op::create_signal, Op::read_settings,  Op::apply,        Op::keyboard_open,
        Op::write, Op::cancel,        Op::keyboard_close, Op::close_signal, Op::close};
    EXPECT_EQ(ops, expected);
    const Event apply = of(Op::apply).front();
    EXPECT_EQ(apply.a, 4800u);
    EXPECT_EQ(apply.b, line_code(rate_table[13]));
    const Event write = of(Op::write).front();
    EXPECT_EQ(write.a, 96u);
    EXPECT_EQ(write.b, 0x1Cu);
    EXPECT_EQ(sim::applied_flow_control(), 0xC0FFEEu) << "fields beyond the line settings kept";
    EXPECT_FALSE(sim::port_is_open());
}

TEST(StartUp, FailuresEndWithTheirStatusAndOnlyTheBanner) {
    const std::string banner = "\n    Kelvor by Varnholm\n";
    const std::string usage = banner + "     usage: kelvor com_port_number\n\n";
    for (auto args : {std::vector<std::string>{}, std::vector<std::string>{"1", "2"}}) {
        sim::reset({}, {});
        sim::Run r = sim::run_kelvor(args);
        EXPECT_EQ(r.status, -1);
        EXPECT_EQ(r.out, usage);
        EXPECT_TRUE(sim::events().empty()) << "nothing is opened";
    }

    sim::Config open_fails;
    open_fails.open_fails = true;
    sim::Config signal_fails;
    signal_fails.signal_fails = true;
    sim::Config settings_fail;
    settings_fail.read_settings_fails = true;
    struct Case {
        sim::Config config;
        int status;
        Op last;
    };
    for (const Case& c : {Case{open_fails, -2, Op::open}, Case{signal_fails, -3, Op::create_signal},
                          Case{settings_fail, -4, Op::close}}) {
        sim::Run r = run(c.config, {});
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, banner);
        EXPECT_EQ(sim::events().back().op, c.last) << c.status;
        EXPECT_TRUE(of(Op::write).empty());
    }
    EXPECT_FALSE(sim::port_is_open()) << "a settings-read failure closes the port";

    // A designation too long for the path buffer never reaches the open.
    sim::reset({}, {});
    sim::Run r = sim::run_kelvor({std::string(3000, '9')});
    EXPECT_EQ(r.status, -2);
    EXPECT_TRUE(sim::events().empty());
}

// Up from 800 Hz: cancel, 9600 8N1, 192 bytes of 0xF0, "  960", and the next
// write carries the new pattern from the cancelled write's frame boundary on.
TEST(Switching, UpFromTheStartRowGoesTo960) {
    sim::Run r = run({}, {{100, 0xE0}, {100, 0x48}, {1000, ' '}});
    EXPECT_EQ(r.out, kStartText + "\t  800 Hz\n\t  960 Hz\n");

    const auto& ev = sim::events();
    size_t i = 0;
    while (ev[i].op != Op::cancel) {
        ++i;
    }
    EXPECT_EQ(ev[i].time_ns, 100 * sim::kNsPerMs);
    ASSERT_EQ(ev[i + 1].op, Op::apply);
    EXPECT_EQ(ev[i + 1].a, 9600u);
    EXPECT_EQ(ev[i + 1].b, line_code(rate_table[14]));
    ASSERT_EQ(ev[i + 2].op, Op::write);
    EXPECT_EQ(ev[i + 2].a, 192u);
    EXPECT_EQ(ev[i + 2].b, 0xF0u);
    EXPECT_TRUE(of(Op::beep).empty());

    // The 4800 bit/s frame in progress (2.5 ms) ends, then 960 Hz follows at once.
    sim::Wave w = sim::analyse(100 * sim::kNsPerMs, 900 * sim::kNsPerMs);
    EXPECT_EQ(w.longest_idle_ns, 0);
    sim::Wave after = sim::analyse(110 * sim::kNsPerMs, 900 * sim::kNsPerMs);
    EXPECT_NEAR(after.frequency_hz, 960, 1);
}

// Down to row 0, once more at the bottom, up through every row to 29, once more
// at the top: a line per real step, nothing for the clamped keys.
TEST(Switching, StepsOneRowAtATimeAndClampsAtBothEnds) {
    const int down = kStartIndex + 1, up = kTopIndex + 1;
    auto keys = join(presses(100, '-', down), presses(100 + 250 * down, '+', up));
    keys.push_back({100 + 250 * (down + up) + 500, 'Q'});
    sim::Run r = run({}, keys);
    EXPECT_EQ(r.status, 0);

    std::string expected = kStartText;
    for (int row = kStartIndex; row >= 0; --row) {
        expected += frequency_line(row);
    }
    for (int row = 1; row <= kTopIndex; ++row) {
        expected += frequency_line(row);
    }
    EXPECT_EQ(r.out, expected);
    const auto applies = of(Op::apply);
    ASSERT_EQ(applies.size(), 1u + kStartIndex + kTopIndex);
    EXPECT_EQ(of(Op::cancel).size(), applies.size()) << "clamped keys leave the port alone";
    for (size_t i = 1; i < applies.size(); ++i) {
        const int row = i <= kStartIndex ? kStartIndex - static_cast<int>(i)
                                         : static_cast<int>(i) - kStartIndex;
        EXPECT_EQ(applies[i].a, rate_table[row].baud) << i;
        EXPECT_EQ(applies[i].b, line_code(rate_table[row])) << i;
    }
}

// key_check on its own: each code of the key table, one key per check.
TEST(Keys, EachCodeHasItsCommand) {
    struct Case {
        std::vector<int> codes;
        int index_after;
        int quit;
        size_t left;
    };
    const Case cases[] = {
        {{' '}, 13, 1, 0},        {{'Q'}, 13, 1, 0},        {{'q'}, 13, 1, 0},
        {{'+'}, 14, 0, 0},        {{'='}, 14, 0, 0},        {{'-'}, 12, 0, 0},
        {{'_'}, 12, 0, 0},        {{0xE0, 0x48}, 14, 0, 0}, {{0xE0, 0x50}, 12, 0, 0},
        {{0xE0, 0x4B}, 12, 0, 0}, {{0xE0, 0x4D}, 12, 0, 0}, {{0xE0, 0x8D}, 12, 0, 0},
        {{0xE0, 0x86}, 12, 0, 0}, {{0xE0}, 13, 0, 0},       {{0x00, 0x3D}, 13, 0, 1},
        {{0x00, 0x48}, 13, 0, 1}, {{'a'}, 13, 0, 0},        {{0x03}, 13, 0, 0},
        {{0x1B}, 13, 0, 0},
    };
    for (const Case& c : cases) {
        std::vector<Key> keys;
        for (int code : c.codes) {
            keys.push_back({0, code});
        }
        sim::reset({}, keys);
        RunState state;
        testing::internal::CaptureStdout();
        key_check(state);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(state.index, c.index_after) << c.codes[0] << " " << c.codes.size();
        EXPECT_EQ(state.quit, c.quit) << c.codes[0];
        EXPECT_EQ(sim::keys_left(), c.left) << c.codes[0];
    }
}

// F3 arrives as 0x00 then 0x3D: the prefix does nothing, the 0x3D raises at a
// later check. A lone 0xE0 (a typed character) does not hold the wave up.
TEST(Keys, PrefixesNeverStallTheLoop) {
    sim::Run r = run({}, {{100, 0x00}, {100, 0x3D}, {1000, 0xE0}, {1500, ' '}});
    EXPECT_EQ(r.out, kStartText + "\t  800 Hz\n\t  960 Hz\n");
    const auto applies = of(Op::apply);
    ASSERT_EQ(applies.size(), 2u);
    EXPECT_EQ(applies[1].time_ns, 300 * sim::kNsPerMs) << "the 0x3D is a key of its own";
    EXPECT_LT(sim::now_ns(), 1800 * sim::kNsPerMs);
    EXPECT_EQ(sim::analyse(1000 * sim::kNsPerMs, 1500 * sim::kNsPerMs).longest_idle_ns, 0);
}

// Keys typed in a burst are taken one per 200 ms even though the writes keep
// completing inside their slices, and a key after a quiet spell is taken at once.
TEST(Keys, TakenOncePerSliceButNeverHeldBehindCompletions) {
    auto keys = join(presses(100, '+', 5, 0), {{2000, '-'}, {3000, ' '}});
    sim::Run r = run({}, keys);
    const auto applies = of(Op::apply);
    ASSERT_EQ(applies.size(), 7u);
    for (size_t i = 1; i <= 5; ++i) {
        EXPECT_EQ(applies[i].time_ns, (100 + 200 * (i - 1)) * sim::kNsPerMs) << i;
    }
    EXPECT_EQ(applies[6].time_ns, 2000 * sim::kNsPerMs);
    EXPECT_EQ(sim::analyse(1000 * sim::kNsPerMs, 2000 * sim::kNsPerMs).longest_idle_ns, 0);
    EXPECT_LT(sim::waits(), 100u);
}

// A row the port refuses at a switch beeps and leaves the previous row running:
// its settings put back (the port had taken the new rate), its fill and write
// length, no frequency line; the next key steps from the previous row.
TEST(Switching, ARefusedRowBeepsAndLeavesThePreviousRowRunning) {
    sim::Config config;
    config.refused_rows = {14};
    config.refusal_takes_rate = true;
    sim::Run r = run(config, {{100, '+'}, {1000, '+'}, {1500, ' '}});
    EXPECT_EQ(r.out, kStartText + "\t  800 Hz\n" + frequency_line(15));
    const auto beeps = of(Op::beep);
    ASSERT_EQ(beeps.size(), 1u);
    EXPECT_EQ(beeps[0].a, 800u);
    EXPECT_EQ(beeps[0].b, 200u);
    EXPECT_EQ(sim::beep_moment().out_bytes,
              static_cast<int64_t>((kStartText + "\t  800 Hz\n").size()));

    const auto applies = of(Op::apply);
    ASSERT_EQ(applies.size(), 4u);
    EXPECT_FALSE(applies[1].ok);
    EXPECT_EQ(applies[1].a, 9600u);
    EXPECT_EQ(applies[2].a, 4800u) << "the previous row's settings put back";
    EXPECT_EQ(applies[2].b, line_code(rate_table[13]));
    EXPECT_EQ(applies[3].a, rate_table[15].baud) << "a refused row is no wall";
    const auto writes = of(Op::write);
    EXPECT_EQ(writes[1].a, 96u);
    EXPECT_EQ(writes[1].b, 0x1Cu);
    EXPECT_EQ(writes[1].time_ns, 100 * sim::kNsPerMs) << "the wave goes on while the tone sounds";
    EXPECT_NEAR(sim::analyse(110 * sim::kNsPerMs, 1000 * sim::kNsPerMs).frequency_hz, 800, 1);

    // Back the other way from the refused row: onto the row that runs, so nothing
    // changes, and the next key steps from there. A quit tries no row.
    r = run(config, {{100, '+'}, {1000, '-'}, {1500, '-'}, {2000, '+'}, {2500, ' '}});
    EXPECT_EQ(r.out, kStartText + "\t  800 Hz\n" + frequency_line(12) + frequency_line(13));
    EXPECT_EQ(of(Op::apply).size(), 5u);
    r = run(config, {{100, '+'}, {1000, ' '}});
    EXPECT_EQ(of(Op::beep).size(), 1u);
    EXPECT_EQ(of(Op::apply).size(), 3u);

    // Refused at start-up: not examined, no beep, the row is current.
    config.refused_rows = {13};
    r = run(config, {{500, ' '}});
    EXPECT_EQ(r.out, kStartText + "\t  800 Hz\n");
    EXPECT_TRUE(of(Op::beep).empty());
    EXPECT_EQ(of(Op::apply).size(), 1u);
    EXPECT_EQ(of(Op::write)[0].b, 0x1Cu);
}

TEST(Quit, EndsAtTheCompletionOfTheWriteInProgress) {
    sim::Run r = run({}, {{10, ' '}});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(of(Op::write).size(), 1u);
    EXPECT_EQ(sim::now_ns(), 240 * sim::kNsPerMs) << "one 96-byte write at 4800 8E2";

    // A raise taken after the quit key and before the completion is still done.
    r = run({}, {{5, ' '}, {210, '+'}});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kStartText + "\t  800 Hz\n\t  960 Hz\n");
    EXPECT_EQ(of(Op::write).size(), 1u);
    EXPECT_EQ(sim::now_ns(), 210 * sim::kNsPerMs) << "the cancel completes the write at once";
}

TEST(Quit, AStalledPortStillQuitsWithoutSpinning) {
    sim::Config config;
    config.never_completes = true;
    sim::Run r = run(config, {{2000, ' '}});
    EXPECT_EQ(r.status, 0);
    EXPECT_LE(sim::now_ns(), 2264 * sim::kNsPerMs) << "a tenth more than one 240 ms write";
    EXPECT_LE(sim::waits(), 13u) << "about one wait per 200 ms slice";
    EXPECT_EQ(of(Op::cancel).size(), 2u) << "the stuck write, then shutdown";
}

TEST(Allocation, NoneBetweenTheFirstWriteAndTheEnd) {
    auto keys = join(presses(100, '+', 10), presses(3000, '-', 20));
    keys.push_back({9000, ' '});
    sim::Config config;
    config.refused_rows = {20};
    sim::Run r = run(config, keys);
    EXPECT_EQ(r.status, 0);
    // Row 20 is refused on the way up and on the way down (each refusal puts the
    // row that runs back), and stepped past each time.
    EXPECT_EQ(of(Op::apply).size(), 1u + (6 + 2 + 3) + (2 + 2 + 17));
    EXPECT_EQ(sim::allocations_while_running(), 0u);
}
