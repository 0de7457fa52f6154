// Drives the Win32 port layer directly, run under Wine by wine_test.cpp. The
// argument names a COM port linked to a pseudo-terminal that its other side has
// stopped with XOFF, so a write stays pending, as on a port held back by flow
// control. Prints one line per failed check; the exit status counts them.
#include <cstdio>
#include <cstring>

#include "line_pace.h"
#include "port.h"

namespace {

int failures = 0;

void check(bool ok, const char* what) {
    if (!ok) {
        std::printf("FAIL: %s\n", what);
        ++failures;
    }
}

// Milliseconds of the performance counter, the clock the port's waits keep to
// (GetTickCount64 moves in steps of up to 16 ms, under Wine too).
double now_ms() {
    LARGE_INTEGER frequency, count;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&count);
    return static_cast<double>(count.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

double elapsed_since(double start) {
    return now_ms() - start;
}

void check_paths() {
    char buf[16];
    check(port_make_path("12", buf, sizeof buf) && std::strcmp(buf, "\\\\.\\COM12") == 0,
          "COM12 gets the device-namespace path");
    // 7 characters of prefix, 4 of designation and the terminating zero fill 12 bytes.
    std::memset(buf, '#', sizeof buf);
    check(port_make_path("1234", buf, 12) && buf[11] == '\0', "a path that just fits is built");
    std::memset(buf, '#', sizeof buf);
    check(!port_make_path("12345", buf, 12), "a path one byte too long is refused");
    check(std::memcmp(buf + 12, "####", 4) == 0, "nothing is written past the buffer");
}

// The longest write, 200 ms at 115200 bit/s.
unsigned char wave[2304];

// Starts a write on the held-back line: it must stay pending beyond the time the
// line pace alone would hold it (Wine counts no queue there: the pieces it holds
// must). Its bytes go in a short lead at a time: at most 92 ms of line time
// (1059 bytes at 115200 bit/s) from an idle line.
bool back_up_line(PortHandle port, CompletionSignal signal, WriteRecord& write) {
    std::memset(wave, 0x55, sizeof wave);
    port_start_write(port, signal, write, wave, sizeof wave);
    check(write.sent > 0 && write.sent <= 1060, "a write goes in a short lead at a time");
    return !port_wait(port, signal, write, 300, false);
}

void check_pending_write(const char* designation) {
    char path[64];
    PortHandle port{};
    CompletionSignal signal{};
    WriteRecord write{};
    PortSettings settings{};
    if (!port_make_path(designation, path, sizeof path) || !port_open(path, port) ||
        !port_create_signal(signal) || !port_read_settings(port, settings)) {
        check(false, "the port opens and its settings can be read");
        return;
    }
    port_init_write(write, signal);
    port_set_line(settings, 115200, 8, 0, 0);
    port_apply_settings(port, settings);

    if (!back_up_line(port, signal, write)) {
        check(false, "a write stays pending on the held-back line");
        return;
    }
    double start = now_ms();
    check(!port_wait(port, signal, write, 200, false) && elapsed_since(start) >= 190,
          "a wait on a pending write takes its full time");
    start = now_ms();
    check(!port_wait(port, signal, write, 200, true) && elapsed_since(start) >= 190,
          "watching for keys without a key press does not end the wait early");
    start = now_ms();
    check(!port_wait(port, nullptr, write, 200, false) && elapsed_since(start) >= 190,
          "a failing wait still takes its full time");

    // A switch on the held line: the pieces behind the first cannot leave, so the
    // wait for the idle pin gives up (kIdleSlackNs past the clock's end of the
    // line) and nothing is applied; the running settings put back are taken at
    // once.
    PortSettings other = settings;
    port_set_line(other, 4800, 8, 0, 0);
    start = now_ms();
    const double slack_ms = static_cast<double>(kIdleSlackNs) / 1e6;
    check(!port_apply_settings(port, other) && elapsed_since(start) >= slack_ms &&
              elapsed_since(start) < slack_ms + 200,
          "a switch on a held line gives up after its bound");
    PortSettings applied{};
    check(GetCommState(port, &applied) && applied.BaudRate == 115200,
          "a refused switch applies nothing");
    start = now_ms();
    check(port_apply_settings(port, settings) && elapsed_since(start) < 20,
          "the running settings put back are taken at once");

    for (int round = 0; round < 2; ++round) { // the second round reuses the record
        port_cancel(port, write);
        start = now_ms();
        check(port_wait(port, signal, write, 1000, false) && elapsed_since(start) < 500,
              "the cancelled write's completion reaches the next wait");
        port_start_write(port, signal, write, wave, sizeof wave);
        check(!port_wait(port, signal, write, 200, false),
              "a write started after the cancel is pending on the held-back line");
    }
    // A switch: the new settings wait until the bytes handed in have had their
    // line time under the old ones (the floor and a quarter of the write: 82 ms,
    // and a margin from the hand-in), and not much longer. The cancel ended
    // Wine's pieces, so the clock alone decides.
    port_cancel(port, write);
    port_wait(port, signal, write, 1000, false);
    Sleep(200); // the clock's end of the line passes: the next write starts on an idle line
    start = now_ms();
    port_start_write(port, signal, write, wave, sizeof wave);
    port_cancel(port, write);
    port_set_line(settings, 4800, 8, 0, 0);
    port_apply_settings(port, settings);
    check(elapsed_since(start) >= 80 && elapsed_since(start) < 250,
          "a switch waits for the bytes handed in, and not much longer");
    check(port_wait(port, signal, write, 1000, false), "the last cancelled write completes");
    port_cancel(port, write);
    check(!port_wait(port, signal, write, 100, false),
          "a cancel with nothing in flight signals no completion");

    port_close_signal(signal);
    port_close(port);
}

} // namespace

int main(int argc, char** argv) {
    check_paths();
    if (argc == 2) {
        check_pending_write(argv[1]);
    }
    std::printf("%d failed\n", failures);
    return failures;
}
