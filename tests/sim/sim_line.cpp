#include "sim_line.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "keyboard/keyboard.h"
#include "serial/port.h"
#include "wave/clock.h"
#include "wave/rate_table.h"
#include "wave/run_state.h"

namespace sim {
namespace {

constexpr uint32_t kInitialFlowControl = 0xC0FFEE;

// Capacity is reserved at reset: the line must not allocate while the program runs.
constexpr size_t kEventCapacity = 1 << 16;
constexpr size_t kSegmentCapacity = 1 << 21;

// A run that goes on past these has hung (it never quits, or it spins without
// letting time pass): it is ended by unwinding out of the program.
constexpr int64_t kVirtualTimeLimitNs = 600LL * 1000 * kNsPerMs;
constexpr size_t kWaitLimit = 1000000;
struct RunAway {};

struct Line {
    Config config;
    std::vector<Key> keys;
    size_t next_key = 0;
    std::vector<Event> events;
    std::vector<Segment> segments;
    bool overflowed = false;
    int64_t now = 0;
    char path[kPulseBufferSize + 1] = {};
    bool open = false;
    PortSettings applied{};
    int64_t line_free = 0; // the line has sent everything queued by then
    bool in_flight = false;
    int64_t write_start = 0;
    int64_t write_end = 0;
    uint32_t write_frame_bits = 0;
    uint32_t write_baud = 1;
    bool signal = false;
    int64_t first_write = -1;
    size_t waits = 0;
    int64_t beep_out_bytes = -1; // output printed when the last beep began
    int beep_fill = -1;          // first byte of the buffer then
};

Line line;
bool counting_allocations = false;
size_t allocations = 0;

void record(Op op, uint32_t a = 0, uint32_t b = 0, bool ok = true) {
    if (line.events.size() == line.events.capacity()) {
        line.overflowed = true;
        return;
    }
    line.events.push_back({op, line.now, a, b, ok});
}

void add_segment(int64_t start, bool high, bool idle) {
    auto& s = line.segments;
    if (!s.empty() && s.back().high == high && s.back().idle == idle) {
        return;
    }
    if (s.size() == s.capacity()) {
        line.overflowed = true;
        return;
    }
    s.push_back({start, high, idle});
}

int64_t bit_time(int64_t start, uint64_t bits, uint32_t baud) {
    return start + static_cast<int64_t>((bits * 1000000000ull + baud / 2) / baud);
}

// A write in flight completes when its last stop bit has gone out.
void settle() {
    if (line.in_flight && !line.config.never_completes && line.now >= line.write_end) {
        line.in_flight = false;
        line.signal = true;
    }
}

bool refused(const PortSettings& s) {
    for (uint32_t row : line.config.refused_rows) {
        const RateEntry& r = rate_table[row];
        if (r.baud == s.baud && r.parity == s.parity && r.stop_bits == s.stop_bits) {
            return true;
        }
    }
    return false;
}

bool key_available() {
    return line.next_key < line.keys.size() &&
           line.keys[line.next_key].at_ms * kNsPerMs <= line.now;
}

} // namespace

void reset(const Config& config, std::vector<Key> keys) {
    std::vector<Event> events = std::move(line.events);
    std::vector<Segment> segments = std::move(line.segments);
    line = Line{};
    line.config = config;
    line.keys = std::move(keys);
    line.events = std::move(events);
    line.segments = std::move(segments);
    line.events.clear();
    line.segments.clear();
    line.events.reserve(kEventCapacity);
    line.segments.reserve(kSegmentCapacity);
}

int64_t now_ns() {
    return line.now;
}
const std::vector<Event>& events() {
    return line.events;
}
const std::vector<Segment>& segments() {
    return line.segments;
}
bool trace_overflowed() {
    return line.overflowed;
}
const char* opened_path() {
    return line.path;
}
uint32_t applied_flow_control() {
    return line.applied.flow_control;
}
bool port_is_open() {
    return line.open;
}
size_t keys_left() {
    return line.keys.size() - line.next_key;
}
int64_t first_write_ns() {
    return line.first_write;
}
size_t allocations_while_running() {
    return allocations;
}
size_t waits() {
    return line.waits;
}
BeepMoment beep_moment() {
    return {line.beep_out_bytes, line.beep_fill};
}

Run run_kelvor(const std::vector<std::string>& args) {
    std::vector<std::string> copies = args;
    copies.insert(copies.begin(), "kelvor");
    std::vector<char*> argv;
    for (auto& a : copies) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    allocations = 0;
    testing::internal::CaptureStdout();
    int status;
    try {
        status = kelvor_main(static_cast<int>(copies.size()), argv.data());
    } catch (const RunAway&) {
        ADD_FAILURE() << "the run did not end (virtual time " << line.now / kNsPerMs << " ms, "
                      << line.waits << " waits)";
        status = 1;
    }
    counting_allocations = false;
    return {status, testing::internal::GetCapturedStdout()};
}

Wave analyse(int64_t from, int64_t to) {
    Wave w{0, 0, 0, 0};
    const auto& s = line.segments;
    int64_t first_rise = -1, last_rise = -1, high_ns = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        int64_t start = std::max(s[i].start_ns, from);
        int64_t end = std::min(i + 1 < s.size() ? s[i + 1].start_ns : line.now, to);
        if (s[i].idle && end > start) {
            w.longest_idle_ns = std::max(w.longest_idle_ns, end - start);
        }
        bool rise = i > 0 && s[i].high && !s[i - 1].high;
        if (rise && s[i].start_ns >= from && s[i].start_ns <= to) {
            if (first_rise < 0) {
                first_rise = s[i].start_ns;
            }
            last_rise = s[i].start_ns;
            ++w.rising_edges;
        }
    }
    if (w.rising_edges < 2) {
        return w;
    }
    for (size_t i = 0; i < s.size(); ++i) {
        int64_t start = std::max(s[i].start_ns, first_rise);
        int64_t end = std::min(i + 1 < s.size() ? s[i + 1].start_ns : line.now, last_rise);
        if (s[i].high && end > start) {
            high_ns += end - start;
        }
    }
    w.frequency_hz = (w.rising_edges - 1) * 1e9 / static_cast<double>(last_rise - first_rise);
    w.duty = static_cast<double>(high_ns) / static_cast<double>(last_rise - first_rise);
    return w;
}

} // namespace sim

using sim::line;

// ---- The platform functions, simulated ----

uint64_t clock_ms() {
    return static_cast<uint64_t>(line.now / sim::kNsPerMs);
}

bool port_make_path(const char* designation, char* buf, size_t size) {
    int n = std::snprintf(buf, size, "SIM%s", designation);
    return n >= 0 && static_cast<size_t>(n) < size;
}

bool port_open(const char* path, PortHandle& port) {
    sim::record(sim::Op::open, 0, 0, !line.config.open_fails);
    if (line.config.open_fails) {
        return false;
    }
    std::strncpy(line.path, path, sizeof line.path - 1);
    line.open = true;
    port = 1;
    return true;
}

bool port_create_signal(CompletionSignal& signal) {
    sim::record(sim::Op::create_signal, 0, 0, !line.config.signal_fails);
    signal = 2;
    return !line.config.signal_fails;
}

void port_init_write(WriteRecord& write, CompletionSignal signal) {
    write.signal = signal;
}

bool port_read_settings(PortHandle, PortSettings& settings) {
    sim::record(sim::Op::read_settings, 0, 0, !line.config.read_settings_fails);
    if (line.config.read_settings_fails) {
        return false;
    }
    settings = {9600, 7, 1, 0, sim::kInitialFlowControl};
    line.applied = settings;
    return true;
}

void port_set_line(PortSettings& s, uint32_t baud, uint8_t data_bits, uint8_t parity,
                   uint8_t stop_bits) {
    s.baud = baud;
    s.data_bits = data_bits;
    s.parity = parity;
    s.stop_bits = stop_bits;
}

bool port_apply_settings(PortHandle, PortSettings& s) {
    bool ok = !sim::refused(s);
    sim::record(sim::Op::apply, s.baud,
                static_cast<uint32_t>(s.parity << 16 | s.stop_bits << 8 | s.data_bits), ok);
    if (ok) {
        line.applied = s;
    } else if (line.config.refusal_takes_rate) {
        line.applied.baud = s.baud;
    }
    return ok;
}

void port_start_write(PortHandle, CompletionSignal, WriteRecord&, const unsigned char* data,
                      uint32_t length) {
    sim::settle();
    sim::record(sim::Op::write, length, length ? data[0] : 0);
    if (line.first_write < 0) {
        line.first_write = line.now;
        sim::counting_allocations = true;
    }
    line.signal = false;
    line.in_flight = true;
    if (line.config.never_completes) {
        return;
    }
    const PortSettings& s = line.applied;
    int64_t start = std::max(line.now, line.line_free);
    if (start > line.line_free && !line.segments.empty()) {
        sim::add_segment(line.line_free, true, true);
    }
    const uint32_t fb =
        1 + s.data_bits + (s.parity == kEvenParity ? 1 : 0) + (s.stop_bits == kTwoStopBits ? 2 : 1);
    uint64_t bit = 0;
    for (uint32_t i = 0; i < length; ++i) {
        const unsigned byte = data[i];
        int ones = 0;
        for (uint32_t k = 0; k < fb; ++k, ++bit) {
            bool level;
            if (k == 0) {
                level = false;
            } else if (k <= s.data_bits) {
                level = (byte >> (k - 1)) & 1;
                ones += level;
            } else if (k == s.data_bits + 1u && s.parity == kEvenParity) {
                level = ones & 1;
            } else {
                level = true;
            }
            sim::add_segment(sim::bit_time(start, bit, s.baud), level, false);
        }
    }
    line.write_start = start;
    line.write_end = sim::bit_time(start, bit, s.baud);
    line.write_frame_bits = fb;
    line.write_baud = s.baud;
    line.line_free = line.write_end;
}

bool port_wait(PortHandle, CompletionSignal, WriteRecord&, uint32_t timeout_ms, bool watch_keys) {
    if (++line.waits > sim::kWaitLimit || line.now > sim::kVirtualTimeLimitNs) {
        throw sim::RunAway{};
    }
    sim::settle();
    if (!line.signal) {
        if (watch_keys && sim::key_available()) {
            return false;
        }
        int64_t wake = line.now + timeout_ms * sim::kNsPerMs;
        if (line.in_flight && !line.config.never_completes) {
            wake = std::min(wake, line.write_end);
        }
        if (watch_keys && line.next_key < line.keys.size()) {
            wake = std::min(wake, line.keys[line.next_key].at_ms * sim::kNsPerMs);
        }
        line.now = std::max(line.now, wake);
        sim::settle();
    }
    if (line.signal) {
        line.signal = false; // the signal resets itself once waited on
        return true;
    }
    return false;
}

void port_cancel(PortHandle, WriteRecord&) {
    sim::settle();
    sim::record(sim::Op::cancel);
    if (!line.in_flight) {
        return;
    }
    line.in_flight = false;
    line.signal = true;
    if (line.config.never_completes) {
        return;
    }
    // The frame on the wire is finished; nothing after it goes out.
    const uint64_t frame_ns = static_cast<uint64_t>(line.write_frame_bits) * 1000000000ull;
    const uint64_t elapsed = static_cast<uint64_t>(line.now - line.write_start) * line.write_baud;
    const uint64_t frames = (elapsed + frame_ns - 1) / frame_ns;
    const int64_t boundary =
        sim::bit_time(line.write_start, frames * line.write_frame_bits, line.write_baud);
    while (!line.segments.empty() && line.segments.back().start_ns >= boundary) {
        line.segments.pop_back();
    }
    line.write_end = boundary;
    line.line_free = boundary;
}

bool port_lost(PortHandle) {
    return false;
}

void port_close_signal(CompletionSignal) {
    sim::record(sim::Op::close_signal);
}

void port_close(PortHandle) {
    sim::record(sim::Op::close);
    line.open = false;
}

void keyboard_open() {
    sim::record(sim::Op::keyboard_open);
}
void keyboard_close() {
    sim::record(sim::Op::keyboard_close);
}
bool key_waiting() {
    return sim::key_available();
}
int key_read() {
    return line.keys[line.next_key++].code;
}

void console_beep(uint32_t hz, uint32_t ms) {
    sim::record(sim::Op::beep, hz, ms);
    // What the program had printed and put in the buffer when the beep began.
    std::fflush(stdout);
    line.beep_out_bytes = static_cast<int64_t>(lseek(STDOUT_FILENO, 0, SEEK_CUR));
    line.beep_fill = pulse_buffer[0];
    // The tone runs by itself, as the Linux console's does: the wave goes on.
}

// ---- Allocation counting: every global allocation form, so that the pairs match ----

namespace {
void* counted(size_t n) {
    if (sim::counting_allocations) {
        ++sim::allocations;
    }
    if (void* p = std::malloc(n ? n : 1)) {
        return p;
    }
    throw std::bad_alloc();
}
} // namespace

void* operator new(size_t n) {
    return counted(n);
}
void* operator new[](size_t n) {
    return counted(n);
}
void* operator new(size_t n, const std::nothrow_t&) noexcept {
    try {
        return counted(n);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](size_t n, const std::nothrow_t& t) noexcept {
    return operator new(n, t);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
