#include <cstdio>
#include <cstring>

#include "../keyboard/key_check.h"
#include "../keyboard/keyboard.h"
#include "clock.h"
#include "run_state.h"

unsigned char pulse_buffer[kPulseBufferSize];

namespace {

const char kBanner[] = "\n    Kelvor by Varnholm";
const char kUsage[] = "     usage: kelvor com_port_number\n";
const char kHelp[] = "       (freq:arrows, quit:space)\n";
const char kFrequencyFormat[] = "\t%s Hz\n";

constexpr uint32_t kBeepHz = 800;
constexpr uint32_t kBeepMs = 200;

// Each message goes out whole and at once, so a redirected output keeps every
// line even when the run is ended from outside.
void print_line(const char* text) {
    std::fputs(text, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// Line time of one write of the current row, in milliseconds.
uint64_t write_ms(const RunState& run) {
    const RateEntry& row = rate_table[run.index];
    return uint64_t{run.write_length} * frame_bits(row) * 1000 / row.baud;
}

constexpr uint64_t kNoDeadline = UINT64_MAX;

// Longest wait while the keyboard is watched: a key ends the wait itself, so the
// wait need not wake up to look.
constexpr uint64_t kWatchedWaitMs = 60000;

// Keeps the port busy, one write after the other, and takes keys between
// completions. Returns true when the user has quit, false when the port is lost.
bool pulse_loop(RunState& run) {
    uint64_t next_key_ms = 0; // no key is taken before this time
    while (!run.quit) {
        port_start_write(run.port, run.signal, run.write, pulse_buffer, run.write_length);
        uint64_t quit_deadline = kNoDeadline;
        for (;;) {
            if (port_lost(run.port)) {
                return false;
            }
            uint64_t now = clock_ms();
            if (now >= next_key_ms && key_waiting()) {
                key_check(run);
                now = clock_ms();
                next_key_ms = now + kSliceMs;
                // At its nominal pace the port completes the write in progress
                // within one write time; if it has not a tenth later, it is held
                // back, and the run ends without waiting for it.
                if (run.quit && quit_deadline == kNoDeadline) {
                    quit_deadline = now + write_ms(run) + write_ms(run) / 10;
                }
            }
            if (now >= quit_deadline) {
                port_cancel(run.port, run.write);
                return true;
            }
            const bool watch_keys = now >= next_key_ms;
            uint64_t until = watch_keys ? now + kWatchedWaitMs : next_key_ms;
            until = until < quit_deadline ? until : quit_deadline;
            if (port_wait(run.port, run.signal, run.write, static_cast<uint32_t>(until - now),
                          watch_keys)) {
                break;
            }
        }
    }
    return true;
}

} // namespace

void apply_row(RunState& run, int index, bool switching) {
    const RateEntry& row = rate_table[index];
    run.step_from = index;
    port_set_line(run.settings, row.baud, 8, row.parity, row.stop_bits);
    if (!port_apply_settings(run.port, run.settings) && switching) {
        if (port_lost(run.port)) {
            return; // the run ends; nothing more is shown
        }
        console_beep(kBeepHz, kBeepMs);
        // The port did not take the row, or took only part of it: the previous
        // row goes back on the line and stays current, with its fill and write
        // length, so the frequency last printed is still what the line carries.
        const RateEntry& previous = rate_table[run.index];
        port_set_line(run.settings, previous.baud, 8, previous.parity, previous.stop_bits);
        port_apply_settings(run.port, run.settings);
        return;
    }
    run.index = index;
    run.write_length = write_length(row);
    std::memset(pulse_buffer, row.fill & 0xFF, run.write_length);
    std::printf(kFrequencyFormat, row.label);
    std::fflush(stdout);
}

int kelvor_main(int argc, char** argv) {
    print_line(kBanner);
    if (argc != 2) {
        print_line(kUsage);
        return -1;
    }

    RunState run;
    char* path = reinterpret_cast<char*>(pulse_buffer);
    if (!port_make_path(argv[1], path, sizeof pulse_buffer) || !port_open(path, run.port)) {
        return -2;
    }
    if (!port_create_signal(run.signal)) {
        return -3;
    }
    port_init_write(run.write, run.signal);
    if (!port_read_settings(run.port, run.settings)) {
        port_close(run.port);
        return -4;
    }
    print_line(kHelp);
    apply_row(run, kStartIndex, false);

    keyboard_open();
    run.quit = 0;
    const bool quit = pulse_loop(run);

    port_cancel(run.port, run.write);
    keyboard_close();
    port_close_signal(run.signal);
    port_close(run.port);
    // A port that went away ends the run as one that could not be opened.
    return quit ? 0 : -2;
}
