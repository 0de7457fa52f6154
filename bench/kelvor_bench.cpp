// Measures kelvor over pseudo-terminals: key latency, pace and idle line time per
// row, quit latency, CPU use (also after a hang-up and in the background with a
// partial escape sequence pending) and heap allocations while running. Prints
// figures; not a test. Built and run by bench/run.sh (KELVOR_BENCH_CPU_ONLY=1:
// only the hang-up and background figures).
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "../src/serial/line_settings_linux.h"
#include "../src/wave/rate_table.h"
#include "../tests/linux/pty_harness.h"

namespace {

std::string line(int row) {
    return std::string("\t") + rate_table[row].label + " Hz\n";
}

volatile unsigned long* g_allocs;

// Frame time of the bytes that arrive from a given time on: kelvor prints a row's
// frequency line before it writes the row's first byte.
std::vector<std::pair<int64_t, int64_t>> g_frames;

void note_frame(const Kelvor& k) {
    PortSettings s{};
    line_read(k.port.slave, s);
    g_frames.push_back({k.output_ns, line_frame_ns(s)});
}

int64_t frame_at(int64_t ns) {
    int64_t frame = g_frames.front().second;
    for (const auto& f : g_frames) {
        frame = f.first < ns ? f.second : frame;
    }
    return frame;
}

double ms(int64_t ns) {
    return ns / 1e6;
}

int64_t cpu_ns(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/schedstat");
    int64_t ns = 0;
    f >> ns;
    return ns;
}

void percentiles(const char* what, std::vector<double> v) {
    std::sort(v.begin(), v.end());
    std::printf("%-44s p50 %7.2f ms   max %7.2f ms   (n=%zu)\n", what, v[v.size() / 2], v.back(),
                v.size());
}

// Steps one row with a key and waits for its frequency line; returns the latency.
double step(Kelvor& k, std::string& expected, const char* key, int row) {
    press(k, key);
    const int64_t t0 = monotonic_ns();
    expected += line(row);
    if (!wait_output(k, expected, 3000)) {
        std::fprintf(stderr, "no line for row %d\n", row);
        std::exit(1);
    }
    const double latency = ms(monotonic_ns() - t0);
    note_frame(k);
    return latency;
}

// Pace, CPU, and the idle time of a UART that sends every byte from kelvor's
// start, at the frame time in force when it arrived, from the time it arrived.
void measure_row(Kelvor& k, int row) {
    pump(k, 700);
    const size_t first = k.arrivals.size();
    const int64_t cpu0 = cpu_ns(k.pid), t0 = monotonic_ns();
    pump(k, 4000);
    const int64_t cpu1 = cpu_ns(k.pid), t1 = monotonic_ns();
    int64_t line_free = 0, idle = 0;
    for (size_t i = 0; i < k.arrivals.size(); ++i) {
        const Arrival& a = k.arrivals[i];
        if (i >= first && a.ns > line_free) {
            idle += a.ns - line_free;
        }
        line_free = std::max(line_free, a.ns) + static_cast<int64_t>(a.bytes) * frame_at(a.ns);
    }
    Kelvor window;
    window.arrivals.assign(k.arrivals.begin() + static_cast<long>(first), k.arrivals.end());
    PortSettings s{};
    line_read(k.port.slave, s);
    const int64_t frame = line_frame_ns(s);
    std::printf("row %2d (%s Hz, %6u bit/s, %9lld ns/frame): pace %.4f   idle %5.2f ms/s   "
                "CPU %.3f %%\n",
                row, rate_table[row].label, line_frame(s).baud, static_cast<long long>(frame),
                port_byte_rate(window) * static_cast<double>(frame) / 1e9,
                ms(idle) / ((t1 - t0) / 1e9),
                100.0 * static_cast<double>(cpu1 - cpu0) / static_cast<double>(t1 - t0));
}

// Time from the quit key to the end of the process.
double quit_latency(bool stalled) {
    Kelvor k;
    k.port = open_pty();
    if (stalled) {
        k.drain_port = false;
        stall_far_end(k.port);
    }
    start(k, k.port.path);
    wait_output(k, line(13));
    pump(k, 300 + std::rand() % 300);
    press(k, "q");
    const int64_t t0 = monotonic_ns();
    wait_end(k, 3000);
    const double latency = ms(monotonic_ns() - t0);
    finish(k);
    return latency;
}

// CPU share over two seconds once a lone ESC is left pending by a hang-up of the
// terminal (SIGHUP ignored, as under nohup) or by Ctrl+Z and `bg`.
void idle_cpu() {
    for (const bool hang_up : {true, false}) {
        Kelvor k;
        k.port = open_pty();
        k.ignore_hangup = hang_up;
        start(k, k.port.path);
        wait_output(k, line(13));
        pump(k, 300);
        press(k, "\x1b");
        pump(k, 5);
        if (hang_up) {
            close(k.term.master);
            k.term.master = -1;
        } else {
            press(k, "\x1a");
            wait_stopped(k);
            continue_in_background(k);
        }
        pump(k, 300);
        const int64_t cpu0 = cpu_ns(k.pid), t0 = monotonic_ns();
        pump(k, 2000);
        const int64_t cpu1 = cpu_ns(k.pid), t1 = monotonic_ns();
        std::printf("CPU after %-40s %.3f %%\n",
                    hang_up ? "a hang-up with an ESC pending:"
                            : "Ctrl+Z and bg with an ESC pending:",
                    100.0 * static_cast<double>(cpu1 - cpu0) / static_cast<double>(t1 - t0));
        finish(k);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (std::getenv("KELVOR_BENCH_CPU_ONLY") != nullptr) {
        idle_cpu();
        return 0;
    }
    if (argc == 3) {
        // Count kelvor's heap allocations through the preloaded counter.
        const int fd = open(argv[2], O_RDWR);
        g_allocs = static_cast<volatile unsigned long*>(
            mmap(nullptr, sizeof(unsigned long), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
        setenv("KELVOR_ALLOC_COUNT", argv[2], 1);
        setenv("LD_PRELOAD", argv[1], 1);
    }
    Kelvor k;
    k.port = open_pty();
    start(k, k.port.path);
    std::string expected =
        "\n    Kelvor by Varnholm\n       (freq:arrows, quit:space)\n\n" + line(13);
    wait_output(k, expected);
    note_frame(k);
    pump(k, 500);
    const unsigned long allocs_started = g_allocs ? *g_allocs : 0;

    std::printf("kelvor on pseudo-terminals (a pseudo-terminal drops parity: 8E2 rows run 8N2)\n");
    measure_row(k, 13);

    // Key to frequency line, each key after a quiet 200 ms or more, between rows
    // 14 and 15 (both taken by the port, so no beep).
    step(k, expected, "\x1b[A", 14);
    std::vector<double> latency;
    for (int i = 0; i < 40; ++i) {
        pump(k, 250 + std::rand() % 100);
        latency.push_back(i % 2 == 0 ? step(k, expected, "\x1b[A", 15)
                                     : step(k, expected, "\x1b[B", 14));
    }
    percentiles("key to frequency line:", latency);

    for (int row = 15; row <= 28; ++row) {
        step(k, expected, "\x1b[A", row);
    }
    measure_row(k, 28);
    step(k, expected, "\x1b[A", 29);
    measure_row(k, 29);
    for (int row = 28; row >= 0; --row) {
        step(k, expected, "\x1b[B", row);
    }
    measure_row(k, 0);
    const unsigned long allocs_running = g_allocs ? *g_allocs - allocs_started : 0;
    press(k, "q");
    wait_end(k, 3000);
    finish(k);
    if (g_allocs) {
        std::printf("heap allocations after start-up:              %lu (%lu during start-up)\n",
                    allocs_running, allocs_started);
    }

    std::vector<double> nominal, stalled;
    for (int i = 0; i < 10; ++i) {
        nominal.push_back(quit_latency(false));
        stalled.push_back(quit_latency(true));
    }
    percentiles("quit at nominal pace (row 13):", nominal);
    percentiles("quit with a stalled port (row 13):", stalled);
    idle_cpu();
    return 0;
}
