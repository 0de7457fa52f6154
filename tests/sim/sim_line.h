// A simulated serial line, keyboard, beep and clock for running the engine in
// tests. Time is virtual: it moves only when the engine waits or beeps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

constexpr int64_t kNsPerMs = 1000000;

// What the program did to the outside world, in order.
enum class Op {
    open,
    create_signal,
    read_settings,
    apply,
    write,
    cancel,
    close_signal,
    close,
    keyboard_open,
    keyboard_close,
    beep
};

struct Event {
    Op op;
    int64_t time_ns;
    uint32_t a; // apply: baud; write: length; beep: hz
    uint32_t b; // apply: parity << 16 | stop_bits << 8 | data_bits; write: first byte
    bool ok;    // apply: the port took the settings
};

// One stretch of the line: its level from start_ns until the next segment starts.
struct Segment {
    int64_t start_ns;
    bool high;
    bool idle; // the line rests between writes
};

struct Config {
    bool open_fails = false;
    bool signal_fails = false;
    bool read_settings_fails = false;
    bool never_completes = false;       // writes are held back for ever (flow control)
    std::vector<uint32_t> refused_rows; // rows whose settings the port refuses
    bool refusal_takes_rate = false;    // a refused row's rate is taken all the same
};

struct Key {
    int64_t at_ms; // becomes available at this virtual time
    int code;
};

// Resets the line and the clock and prepares a run; keys are scripted codes.
void reset(const Config& config, std::vector<Key> keys);

int64_t now_ns();
const std::vector<Event>& events();
const std::vector<Segment>& segments();
bool trace_overflowed();
const char* opened_path();
uint32_t applied_flow_control(); // a settings field the program must not change
bool port_is_open();
size_t keys_left();
int64_t first_write_ns();           // -1 before the first write
size_t waits();                     // calls of the platform wait
size_t allocations_while_running(); // heap allocations from the first write to the end

// The moment the last beep began: bytes of output printed so far and the first
// byte of the fill buffer (-1 for both when nothing beeped).
struct BeepMoment {
    int64_t out_bytes;
    int fill;
};
BeepMoment beep_moment();

// Run the program on the simulated line, capturing standard output.
struct Run {
    int status;
    std::string out;
};
Run run_kelvor(const std::vector<std::string>& args);

// The wave between two times: frequency from the rising edges, duty cycle over
// whole periods, and the longest stretch during which the line rested idle.
struct Wave {
    double frequency_hz;
    double duty;
    int64_t longest_idle_ns;
    size_t rising_edges;
};
Wave analyse(int64_t from_ns, int64_t to_ns);

} // namespace sim
