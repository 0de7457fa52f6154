// Host side of the QEMU test: boots a guest whose init (init.sh) runs the real kelvor
// on the guest's second 16550 (ttyS1, I/O base 0x2f8) under the kernel's 8250 driver,
// and checks from outside what the UART was programmed with and what left it.
//
// ttyS0 (commands, kelvor's keys and messages) and ttyS1 (the line) are socket pairs
// handed to QEMU, ttyS2 (the kernel's log) a file. QEMU's serial_write trace events, on
// its standard error, show every register write of the guest's UARTs: the line's
// divisor and LCR come from them. QEMU's UART sends as fast as its socket takes bytes,
// so this program plays the line: it takes one byte per frame time of the programmed
// rate, and the socket's send buffer is kept small, so the guest's queue fills as on a
// real line. Times are taken here, on the host: a quit from writing the key into
// ttyS0's socket until the guest's "@EXIT" arrives, so they include the guest
// shell's round trip (printed first) and QEMU's delays.
//
// Usage: kelvor_qemu KERNEL INITRD WORKDIR (QEMU binary from $QEMU, default
// qemu-system-x86_64). Prints the figures; exits 1 if a check fails or a step times out.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "wave/rate_table.h"

namespace {

constexpr int64_t kMs = 1000000;
constexpr uint8_t kConsoleLcr = 0x0E; // 7 data bits, odd parity, 2 stop bits (init.sh)

// Limits the checks hold kelvor to. A quit waits for the write in progress, one
// write time at most (200 ms, 218 ms at row 0, 240 ms at the 8E2 rows); the
// shutdown, the guest's shell and the emulation may add this much on top.
constexpr int64_t kQuitAllowanceNs = 40 * kMs;
constexpr int64_t kStalledQuitLimitNs = 500 * kMs;

int64_t write_ns(int row) {
    const RateEntry& r = rate_table[row];
    return int64_t{write_length(r)} * frame_bits(r) * 1000 * kMs / r.baud;
}

int64_t quit_limit_ns(int row, bool stalled) {
    return stalled ? kStalledQuitLimitNs : write_ns(row) + kQuitAllowanceNs;
}
constexpr int64_t kOldWaveLimitNs = 500 * kMs;
constexpr double kPaceTolerance = 0.03;

// Line time QEMU's socket for the line may hold (it holds at least 6 one-byte writes,
// its smallest buffer). Less than about 20 ms leaves the fast rows short of bytes
// between this program's wake-ups and the guest's refills of the UART's FIFO.
constexpr int64_t kSocketNs = 20 * kMs;

int64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// The line's UART settings as the guest last wrote them.
struct LineSetting {
    int64_t at_ns;
    unsigned divisor;
    unsigned lcr;
};

// A byte as the modelled line played it.
struct Played {
    int64_t start_ns;
    int64_t end_ns;
    uint8_t value;
};

struct Gap {
    int64_t from_ns;
    int64_t to_ns;
};

struct Line {
    int fd = -1;      // our end of ttyS1's socket pair
    int qemu_fd = -1; // QEMU's end, kept to size its send buffer
    bool stalled = false;
    bool dry = true;      // the socket was empty: the next byte starts when it arrives
    int64_t frame_ns = 0; // from the decoded divisor and LCR; 0 before the first
    int64_t free_at = 0;  // when the last byte taken has left the line
    // Bytes QEMU had put in the socket under the previous setting, and its frame time.
    int64_t old_left = 0;
    int64_t old_frame_ns = 0;
    std::vector<Played> played;
    std::vector<Gap> gaps; // idle stretches between bytes
};

struct Trace {
    int fd = -1;
    std::string partial;
    bool dlab_line = false; // the line's UART has DLAB set: offsets 0 and 1 are DLL, DLM
    unsigned divisor = 0;
    std::vector<LineSetting> settings;
    std::string tail; // last lines that were not trace events (QEMU's own messages)
};

struct Guest {
    pid_t pid = -1;
    int console = -1;
    std::string text; // everything ttyS0 printed
    Line line;
    Trace trace;
    std::string log_path;
};

Guest g;
bool g_failed = false;

int64_t frame_ns_of(unsigned divisor, unsigned lcr) {
    const int data = 5 + static_cast<int>(lcr & 3);
    const int bits = 1 + data + ((lcr & 0x08) ? 1 : 0) + ((lcr & 0x04) ? 2 : 1);
    return static_cast<int64_t>(bits) * divisor * 1000000000 / 115200;
}

unsigned expected_divisor(const RateEntry& row) {
    return (115200 + row.baud / 2) / row.baud;
}

// LCR as the 8250 driver writes it: it sets the even-parity bit whenever odd parity is
// not asked for, also with parity off (where the bit has no effect), so 8N1 is 0x13.
unsigned expected_lcr(const RateEntry& row) {
    unsigned lcr = 0x13; // 8 data bits
    if (row.stop_bits == kTwoStopBits) {
        lcr |= 0x04;
    }
    if (row.parity == kEvenParity) {
        lcr |= 0x08;
    }
    return lcr;
}

// Sizes QEMU's socket for the current line rate. A unix stream socket counts about
// 768 bytes of buffer per one-byte write.
void size_socket(Line& line) {
    const int64_t bytes = std::max<int64_t>(6, kSocketNs / line.frame_ns);
    const int sndbuf = static_cast<int>(bytes * 384); // the kernel doubles it; ~768 per byte
    setsockopt(line.qemu_fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
}

// The line's UART got a new setting. QEMU sends a byte into the socket as soon as the
// guest writes it, so what the socket holds has left the UART under the old setting
// and keeps the old rate; what the emulated FIFO still holds takes the new one, as on
// a real UART. The socket's leading bytes equal to the last byte played are the old
// ones (none are told apart where the old and new row send the same byte).
void set_line_frame(int64_t frame_ns) {
    Line& l = g.line;
    if (frame_ns == l.frame_ns) {
        return;
    }
    l.old_left = 0;
    if (!l.played.empty() && l.frame_ns != 0) {
        uint8_t buf[4096];
        const ssize_t n = recv(l.fd, buf, sizeof buf, MSG_PEEK | MSG_DONTWAIT);
        while (l.old_left < n && buf[l.old_left] == l.played.back().value) {
            ++l.old_left;
        }
        l.old_frame_ns = l.frame_ns;
    }
    l.frame_ns = frame_ns;
    size_socket(l);
}

// One serial_write event. The guest has one CPU and the 8250 driver writes LCR|DLAB,
// DLL, DLM, LCR under the port's lock, so the divisor bytes belong to the UART that
// set DLAB; the console UART is known by its LCR.
void trace_write(unsigned addr, unsigned value, int64_t t) {
    Trace& tr = g.trace;
    if (addr == 3) {
        const bool console = (value & 0x7F) == kConsoleLcr;
        tr.dlab_line = !console && (value & 0x80) != 0;
        if (!console && (value & 0x80) == 0 && tr.divisor != 0) {
            tr.settings.push_back({t, tr.divisor, value});
            set_line_frame(frame_ns_of(tr.divisor, value));
        }
    } else if (tr.dlab_line && addr == 0) {
        tr.divisor = (tr.divisor & 0xFF00) | value;
    } else if (tr.dlab_line && addr == 1) {
        tr.divisor = (tr.divisor & 0x00FF) | (value << 8);
    }
}

void read_trace(int64_t t) {
    char buf[65536];
    const ssize_t n = read(g.trace.fd, buf, sizeof buf);
    if (n <= 0) {
        return;
    }
    std::string& p = g.trace.partial;
    p.append(buf, static_cast<size_t>(n));
    size_t start = 0;
    for (size_t nl; (nl = p.find('\n', start)) != std::string::npos; start = nl + 1) {
        const std::string l = p.substr(start, nl - start);
        const size_t at = l.find("serial_write ");
        unsigned addr = 0;
        unsigned value = 0;
        if (at != std::string::npos &&
            std::sscanf(l.c_str() + at, "serial_write write addr 0x%x val 0x%x", &addr, &value) ==
                2) {
            trace_write(addr, value, t);
        } else {
            g.trace.tail = (g.trace.tail + l + "\n").substr(0, 2000);
        }
    }
    p.erase(0, start);
}

// Takes the bytes the line has had time for since it last looked.
void take_line_bytes(int64_t now) {
    Line& l = g.line;
    if (l.stalled || l.frame_ns == 0) {
        return;
    }
    while (l.dry || l.free_at <= now) {
        const int64_t frame = l.old_left > 0 ? l.old_frame_ns : l.frame_ns;
        int64_t want = l.dry ? 1 : std::min<int64_t>(512, (now - l.free_at) / frame + 1);
        if (l.old_left > 0) {
            want = std::min(want, l.old_left);
        }
        uint8_t buf[512];
        const ssize_t n = recv(l.fd, buf, static_cast<size_t>(want), MSG_DONTWAIT);
        if (n <= 0) {
            l.dry = true;
            return;
        }
        if (l.dry) {
            if (!l.played.empty() && l.free_at < now) {
                l.gaps.push_back({l.free_at, now});
            }
            l.free_at = std::max(l.free_at, now);
            l.dry = false;
        }
        for (ssize_t i = 0; i < n; ++i) {
            int64_t frame = l.frame_ns;
            if (l.old_left > 0) {
                --l.old_left;
                frame = l.old_frame_ns;
            }
            l.played.push_back({l.free_at, l.free_at + frame, buf[i]});
            l.free_at += frame;
        }
    }
}

// Runs the event loop until `until` or the first event, whichever comes first.
void pump(int64_t until) {
    int64_t now = now_ns();
    take_line_bytes(now);
    int64_t wake = until;
    pollfd fds[3] = {{g.console, POLLIN, 0}, {g.trace.fd, POLLIN, 0}, {-1, POLLIN, 0}};
    Line& l = g.line;
    if (!l.stalled && l.frame_ns != 0) {
        if (l.dry) {
            fds[2].fd = l.fd;
        } else {
            wake = std::min(wake, std::max(l.free_at, now + kMs));
        }
    }
    const int64_t wait = std::max<int64_t>(0, wake - now);
    const timespec ts = {static_cast<time_t>(wait / 1000000000),
                         static_cast<long>(wait % 1000000000)};
    if (ppoll(fds, 3, &ts, nullptr) <= 0) {
        return;
    }
    now = now_ns();
    if (fds[1].revents != 0) {
        read_trace(now); // before the line: a new rate applies to the bytes that follow it
    }
    if (fds[0].revents != 0) {
        char buf[4096];
        const ssize_t n = read(g.console, buf, sizeof buf);
        if (n > 0) {
            g.text.append(buf, static_cast<size_t>(n));
        }
    }
    take_line_bytes(now);
}

void pump_for(int64_t ns) {
    const int64_t until = now_ns() + ns;
    while (now_ns() < until) {
        pump(until);
    }
}

std::string tail_of(const std::string& s, size_t n) {
    return s.size() > n ? s.substr(s.size() - n) : s;
}

[[noreturn]] void give_up(const char* what) {
    std::printf("FAIL: timeout waiting for %s\n--- guest console (end) ---\n%s\n", what,
                tail_of(g.text, 600).c_str());
    std::printf("--- QEMU messages ---\n%s", g.trace.tail.c_str());
    std::string cmd = "tail -n 15 '" + g.log_path + "'";
    std::printf("--- guest kernel log (end) ---\n");
    std::fflush(stdout);
    if (std::system(cmd.c_str()) != 0) {
        std::printf("(no log)\n");
    }
    kill(g.pid, SIGKILL);
    std::exit(1);
}

// Waits until the console has printed `text` at or after `from`; returns where it ends
// and when it was seen.
size_t wait_text(const std::string& text, size_t from, int64_t timeout_ns,
                 int64_t* seen = nullptr) {
    const int64_t deadline = now_ns() + timeout_ns;
    for (;;) {
        const size_t at = g.text.find(text, from);
        if (at != std::string::npos) {
            if (seen != nullptr) {
                *seen = now_ns();
            }
            return at + text.size();
        }
        if (now_ns() >= deadline) {
            give_up(text.c_str());
        }
        pump(deadline);
    }
}

int64_t send(const std::string& s) {
    const int64_t t = now_ns();
    if (write(g.console, s.data(), s.size()) != static_cast<ssize_t>(s.size())) {
        give_up("the console to take input");
    }
    return t;
}

void check(bool ok, const char* what) {
    if (!ok) {
        std::printf("FAIL: %s\n", what);
        g_failed = true;
    }
}

// Waits until a byte `value` is played at index >= from; returns its index.
size_t wait_byte(uint8_t value, size_t from, int64_t timeout_ns) {
    const int64_t deadline = now_ns() + timeout_ns;
    for (;;) {
        for (size_t i = from; i < g.line.played.size(); ++i) {
            if (g.line.played[i].value == value) {
                return i;
            }
        }
        if (now_ns() >= deadline) {
            give_up("a fill byte on the line");
        }
        pump(deadline);
    }
}

// ---- the checks

struct Switch {
    int from;
    int to;
    int old_bytes;
    int64_t old_ns;        // old wave after the key
    bool same_fill;        // old and new bytes cannot be told apart
    int in_socket;         // bytes in QEMU's socket at the key: sent, for the guest
    int64_t socket_ns = 0; // their line time
};

struct PaceFigure {
    int row;
    double bytes_per_s;
    double line_bytes_per_s;
    double idle_ms_per_s;
};

struct QuitFigure {
    int row;
    bool stalled;
    int64_t ns;
    int status;
    int bytes_after; // bytes the line played after the key
};

std::vector<Switch> g_switches;
size_t g_row_from = 0; // first byte of the current row on the line
std::vector<PaceFigure> g_pace;
std::vector<QuitFigure> g_quits;
std::vector<LineSetting> g_row_settings(kRateCount, LineSetting{0, 0, 0});

PaceFigure measure_pace(int row, int64_t window_ns) {
    const int64_t from = now_ns();
    pump_for(window_ns);
    const int64_t to = now_ns();
    const Line& l = g.line;
    size_t first = l.played.size();
    size_t last = 0;
    for (size_t i = 0; i < l.played.size(); ++i) {
        if (l.played[i].start_ns >= from && l.played[i].start_ns < to) {
            first = std::min(first, i);
            last = i;
        }
    }
    int64_t idle = 0;
    for (const Gap& gap : l.gaps) {
        idle += std::max<int64_t>(0, std::min(gap.to_ns, to) - std::max(gap.from_ns, from));
    }
    PaceFigure f{row, 0, 1e9 / static_cast<double>(l.frame_ns),
                 1000.0 * static_cast<double>(idle) / static_cast<double>(to - from)};
    if (first < last) {
        f.bytes_per_s = 1e9 * static_cast<double>(last - first) /
                        static_cast<double>(l.played[last].start_ns - l.played[first].start_ns);
    }
    g_pace.push_back(f);
    check(first < last && f.bytes_per_s >= f.line_bytes_per_s * (1 - kPaceTolerance),
          "pace below the line rate");
    return f;
}

// Presses a key that moves from row `from` to row `to` and follows the switch until
// the new row's bytes are on the line.
void switch_row(int from, int to, char key) {
    const RateEntry& old_row = rate_table[from];
    const RateEntry& new_row = rate_table[to];
    const size_t text_from = g.text.size();
    const size_t k0 = g.line.played.size();
    bool only_fill = true;
    for (size_t i = g_row_from; i < k0; ++i) {
        only_fill = only_fill && g.line.played[i].value == (old_row.fill & 0xFF);
    }
    check(only_fill, "only the row's fill byte");
    const int64_t t = send(std::string(1, key));
    int in_socket = 0;
    ioctl(g.line.fd, FIONREAD, &in_socket);
    Switch s{from, to, 0, 0, (old_row.fill & 0xFF) == (new_row.fill & 0xFF), in_socket, 0};
    wait_text(std::string("\t") + new_row.label + " Hz\n", text_from, 3000 * kMs);
    size_t first_new;
    if (s.same_fill) {
        // Wait for the new setting, then for a byte after it.
        const int64_t deadline = now_ns() + 3000 * kMs;
        while (g.trace.settings.empty() || g.trace.settings.back().at_ns < t) {
            if (now_ns() >= deadline) {
                give_up("the new row's settings");
            }
            pump(deadline);
        }
        first_new = wait_byte(new_row.fill & 0xFF, g.line.played.size(), 3000 * kMs);
    } else {
        first_new = wait_byte(new_row.fill & 0xFF, k0, 5000 * kMs);
        for (size_t i = k0; i < first_new; ++i) {
            only_fill = only_fill && g.line.played[i].value == (old_row.fill & 0xFF);
            s.old_bytes++;
            s.old_ns = g.line.played[i].end_ns - t;
            if (s.old_bytes <= in_socket) {
                s.socket_ns += g.line.played[i].end_ns - g.line.played[i].start_ns;
            }
        }
    }
    check(only_fill, "only the old row's fill byte before the new row's");
    g_row_settings[static_cast<size_t>(to)] = g.trace.settings.back();
    g_switches.push_back(s);
    g_row_from = first_new;
    // kelvor takes one key per 200 ms.
    const int64_t next = std::max(t + 260 * kMs, now_ns() + 40 * kMs);
    pump_for(next - now_ns());
}

// Starts kelvor and waits until its first row plays.
void start_kelvor(size_t* text_end) {
    const size_t from = g.text.size();
    send("run\n");
    const size_t end =
        wait_text(std::string("\t") + rate_table[kStartIndex].label + " Hz\n", from, 10000 * kMs);
    g_row_from = wait_byte(rate_table[kStartIndex].fill & 0xFF, g.line.played.size(), 5000 * kMs);
    if (text_end != nullptr) {
        const std::string start = g.text.substr(from, end - from);
        check(start.find("    Kelvor by Varnholm\n") != std::string::npos &&
                  start.find("       (freq:arrows, quit:space)\n") != std::string::npos,
              "start text");
        *text_end = end;
    }
}

int walk(int from, int to) {
    while (from != to) {
        const int next = from < to ? from + 1 : from - 1;
        switch_row(from, next, from < to ? '+' : '-');
        from = next;
    }
    return to;
}

void quit(int row, bool stalled, char key) {
    const size_t from = g.text.size();
    const size_t k0 = g.line.played.size();
    const int64_t t = send(std::string(1, key));
    int64_t seen = 0;
    const size_t end = wait_text("@EXIT ", from, 10000 * kMs, &seen);
    wait_text("\n", end, 2000 * kMs);
    QuitFigure q{row, stalled, seen - t, std::atoi(g.text.c_str() + end), 0};
    if (stalled) {
        g.line.stalled = false;
        g.line.dry = true;
        g.line.free_at = now_ns();
    }
    pump_for(300 * kMs);
    for (size_t i = k0; i < g.line.played.size(); ++i) {
        q.bytes_after += g.line.played[i].start_ns >= t && !stalled;
    }
    g_quits.push_back(q);
    check(q.status == 0, "exit status after a quit key");
    check(q.ns <= quit_limit_ns(row, stalled), "quit latency");
}

void run_scenario() {
    // A round trip through the guest's shell: the floor under every host-side time.
    std::vector<int64_t> rtt;
    for (int i = 0; i < 3; ++i) {
        int64_t seen = 0;
        const int64_t t = send("ping\n");
        wait_text("@PONG", g.text.size(), 5000 * kMs, &seen);
        rtt.push_back(seen - t);
        pump_for(20 * kMs);
    }
    std::sort(rtt.begin(), rtt.end());
    std::printf("guest shell round trip (host side): %.1f ms median of 3\n",
                static_cast<double>(rtt[1]) / 1e6);

    // The walk: start text, pace at 13, down to 0, pace, up to 29 with pace at 28 and
    // 29, back to 28 and quit there.
    size_t text_end = 0;
    start_kelvor(&text_end);
    g_row_settings[kStartIndex] = g.trace.settings.back();
    pump_for(400 * kMs);
    measure_pace(kStartIndex, 2000 * kMs);
    walk(kStartIndex, 0);
    pump_for(500 * kMs);
    measure_pace(0, 4000 * kMs);
    walk(0, 28);
    pump_for(300 * kMs);
    measure_pace(28, 1500 * kMs);
    walk(28, 29);
    pump_for(300 * kMs);
    measure_pace(29, 1500 * kMs);
    walk(29, 28);
    pump_for(300 * kMs);
    quit(28, false, 'q');

    // Each quit key comes at another point of the write in progress.
    for (int i = 0; i < 4; ++i) {
        start_kelvor(nullptr);
        pump_for((600 + 61 * i) * kMs);
        quit(kStartIndex, false, " qQq"[i]);
    }
    for (int i = 0; i < 3; ++i) {
        start_kelvor(nullptr);
        walk(kStartIndex, 0);
        pump_for((700 + 73 * i) * kMs);
        quit(0, false, 'q');
    }
    // Stalled line: the host stops taking bytes, the guest's queue fills, then a quit.
    start_kelvor(nullptr);
    pump_for(300 * kMs);
    g.line.stalled = true;
    pump_for(1200 * kMs);
    quit(kStartIndex, true, 'q');
    start_kelvor(nullptr);
    walk(kStartIndex, 0);
    pump_for(300 * kMs);
    g.line.stalled = true;
    pump_for(1500 * kMs);
    quit(0, true, 'q');

    const size_t from = g.text.size();
    send("second\n");
    const size_t end = wait_text("@SECOND ", from, 10000 * kMs);
    wait_text("\n", end, 2000 * kMs);
    int second = -1;
    int first = -1;
    std::sscanf(g.text.c_str() + end, "%d %d", &second, &first);
    std::printf("second kelvor on the held port: exit %d (the first, ended by SIGTERM: %d)\n",
                second, first);
    check(second == 254, "a second kelvor on the same port is refused with 254");
    check(first == 143, "the first kelvor ends by SIGTERM with 143");
}

double ms(int64_t ns) {
    return static_cast<double>(ns) / 1e6;
}

double median_ms(std::vector<int64_t> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : ms(v[v.size() / 2]);
}

void report() {
    std::printf("\n row     Hz   bit/s frame  divisor (want)  LCR (want)\n");
    for (int r = 0; r < kRateCount; ++r) {
        const RateEntry& row = rate_table[r];
        const LineSetting& s = g_row_settings[static_cast<size_t>(r)];
        const bool ok = s.divisor == expected_divisor(row) && s.lcr == expected_lcr(row);
        std::printf(" %3d  %s  %6u  8%c%c  %5u (%4u)   0x%02X (0x%02X)  %s\n", r, row.label,
                    row.baud, row.parity == kEvenParity ? 'E' : 'N',
                    row.stop_bits == kTwoStopBits ? '2' : '1', s.divisor, expected_divisor(row),
                    s.lcr, expected_lcr(row), ok ? "ok" : "WRONG");
        check(ok, "divisor and LCR of a row");
    }
    // Each switch as often as the scenario made it: medians, and the largest old wave.
    // QEMU's socket holds at least 6 bytes that the guest counts as sent (its UART
    // reports them gone); their line time is not kelvor's, so the limit applies to the
    // old wave beyond them.
    std::printf(
        "\n switch  runs  old bytes  in socket  old wave ms (max)  beyond socket ms (max)\n");
    std::vector<bool> done(g_switches.size(), false);
    for (size_t i = 0; i < g_switches.size(); ++i) {
        if (done[i]) {
            continue;
        }
        std::vector<int64_t> old_bytes;
        std::vector<int64_t> socket;
        std::vector<int64_t> old_ns;
        std::vector<int64_t> beyond_ns;
        for (size_t j = i; j < g_switches.size(); ++j) {
            const Switch& s = g_switches[j];
            if (s.from == g_switches[i].from && s.to == g_switches[i].to) {
                done[j] = true;
                old_bytes.push_back(s.old_bytes);
                socket.push_back(s.in_socket);
                old_ns.push_back(s.old_ns);
                beyond_ns.push_back(s.old_ns - s.socket_ns);
            }
        }
        if (g_switches[i].same_fill) {
            std::printf(" %2d->%2d  %4zu    (same fill byte)\n", g_switches[i].from,
                        g_switches[i].to, old_ns.size());
            continue;
        }
        const int64_t worst = *std::max_element(beyond_ns.begin(), beyond_ns.end());
        std::sort(old_bytes.begin(), old_bytes.end());
        std::sort(socket.begin(), socket.end());
        std::printf(" %2d->%2d  %4zu  %9lld  %9lld  %8.1f (%6.1f)  %13.1f (%6.1f)%s\n",
                    g_switches[i].from, g_switches[i].to, old_ns.size(),
                    static_cast<long long>(old_bytes[old_bytes.size() / 2]),
                    static_cast<long long>(socket[socket.size() / 2]), median_ms(old_ns),
                    ms(*std::max_element(old_ns.begin(), old_ns.end())), median_ms(beyond_ns),
                    ms(worst), worst > kOldWaveLimitNs ? "  OVER" : "");
        check(worst <= kOldWaveLimitNs, "old wave after a switch");
    }
    std::printf("\n row  bytes/s  line bytes/s   pace  idle ms/s\n");
    for (const PaceFigure& p : g_pace) {
        std::printf(" %3d  %7.2f  %12.2f  %5.3f  %9.1f\n", p.row, p.bytes_per_s, p.line_bytes_per_s,
                    p.bytes_per_s / p.line_bytes_per_s, p.idle_ms_per_s);
    }
    std::printf(
        "\n quit at row  line     runs  ms each (median)            exit  bytes after key\n");
    for (int stalled = 0; stalled < 2; ++stalled) {
        for (int row : {0, kStartIndex, 28}) {
            std::vector<int64_t> each;
            std::string list;
            std::string statuses;
            std::string after;
            for (const QuitFigure& q : g_quits) {
                if (q.row == row && q.stalled == (stalled != 0)) {
                    each.push_back(q.ns);
                    char buf[32];
                    std::snprintf(buf, sizeof buf, "%s%.0f", list.empty() ? "" : " ", ms(q.ns));
                    list += buf;
                    statuses += (statuses.empty() ? "" : " ") + std::to_string(q.status);
                    after += (after.empty() ? "" : " ") +
                             (q.stalled ? std::string("-") : std::to_string(q.bytes_after));
                }
            }
            if (each.empty()) {
                continue;
            }
            const int64_t worst = *std::max_element(each.begin(), each.end());
            const int64_t limit = quit_limit_ns(row, stalled != 0);
            std::printf(" %11d  %-7s  %4zu  %-18s (%6.1f)  %-4s  %s%s\n", row,
                        stalled != 0 ? "stalled" : "moving", each.size(), list.c_str(),
                        median_ms(each), statuses.c_str(), after.c_str(),
                        worst > limit ? "  OVER" : "");
        }
    }
}

// Starts QEMU with ttyS0 and ttyS1 on socket pairs and the trace on a pipe.
void start_qemu(const char* kernel, const char* initrd, const std::string& dir) {
    int con[2];
    int line[2];
    int err[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, con) != 0 ||
        socketpair(AF_UNIX, SOCK_STREAM, 0, line) != 0 || pipe(err) != 0) {
        std::perror("socketpair");
        std::exit(1);
    }
    g.console = con[0];
    g.line.fd = line[0];
    g.line.qemu_fd = line[1];
    g.line.frame_ns = 2500 * 1000; // until the first setting is decoded
    size_socket(g.line);
    g.line.frame_ns = 0;
    g.trace.fd = err[0];
    g.log_path = dir + "/guest-kernel.log";
    const std::string qemu = getenv("QEMU") != nullptr ? getenv("QEMU") : "qemu-system-x86_64";
    const std::string c0 = "socket,id=c0,fd=" + std::to_string(con[1]);
    const std::string c1 = "socket,id=c1,fd=" + std::to_string(line[1]);
    const std::string c2 = "file,id=c2,path=" + g.log_path;
    const char* argv[] = {qemu.c_str(),
                          "-accel",
                          "tcg",
                          "-smp",
                          "1",
                          "-m",
                          "256",
                          "-nodefaults",
                          "-display",
                          "none",
                          "-monitor",
                          "none",
                          "-no-reboot",
                          "-kernel",
                          kernel,
                          "-initrd",
                          initrd,
                          "-append",
                          "console=ttyS2 loglevel=4 panic=-1 rdinit=/init",
                          "-chardev",
                          c0.c_str(),
                          "-serial",
                          "chardev:c0",
                          "-chardev",
                          c1.c_str(),
                          "-serial",
                          "chardev:c1",
                          "-chardev",
                          c2.c_str(),
                          "-serial",
                          "chardev:c2",
                          "-trace",
                          "enable=serial_write",
                          nullptr};
    g.pid = fork();
    if (g.pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL); // QEMU ends with this program
        dup2(err[1], 2);
        close(con[0]);
        close(line[0]);
        execvp(argv[0], const_cast<char* const*>(argv));
        _exit(127);
    }
    close(con[1]);
    close(err[1]);
    fcntl(g.console, F_SETFL, O_NONBLOCK);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: kelvor_qemu KERNEL INITRD WORKDIR\n");
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const int64_t t0 = now_ns();
    start_qemu(argv[1], argv[2], argv[3]);
    wait_text("@READY", 0, 90000 * kMs);
    std::printf("guest booted in %.1f s\n", static_cast<double>(now_ns() - t0) / 1e9);
    run_scenario();
    report();
    send("off\n");
    const int64_t deadline = now_ns() + 10000 * kMs;
    int status = 0;
    while (waitpid(g.pid, &status, WNOHANG) == 0) {
        if (now_ns() >= deadline) {
            kill(g.pid, SIGKILL);
            waitpid(g.pid, &status, 0);
            break;
        }
        pump_for(50 * kMs);
    }
    std::printf("\nscenario took %.1f s; %s\n", static_cast<double>(now_ns() - t0) / 1e9,
                g_failed ? "FAILED" : "all checks passed");
    return g_failed ? 1 : 0;
}
