// The serial port on Linux: a terminal device written without blocking, paced by
// the line so that the loop sees one completion per write's worth of line time.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "../keyboard/keyboard.h"
#include "device_linux.h"
#include "line_pace.h"
#include "line_settings_linux.h"
#include "platform_linux.h"
#include "port.h"

namespace {

// The open port, for the signal handlers.
volatile sig_atomic_t g_port_fd = -1;

// The port's settings as found at open, put back when kelvor lets the port go.
PortSettings g_found;
volatile sig_atomic_t g_have_found = 0;

// The line as paced: what was handed in, and what the driver said about it.
LinePace g_pace;
bool g_lsr_answers = true;  // the driver answers TIOCSERGETLSR (a pty does not)
uint32_t g_lowest_baud = 0; // the driver makes no rate below this (0: no limit known)

// Pause before writing again when the device said it was ready but took nothing.
constexpr int64_t kRetryNs = 10000000;
// At the end, how long the hardware's last bytes may take at the top speed (a
// 16-byte FIFO: 1.4 ms), and how often to look whether they have gone.
constexpr int64_t kDrainFastNs = 3000000;
constexpr int64_t kDrainLookNs = 250000;
// Least pause before looking at the driver again, so that a queue that keeps
// moving the completion a little later costs at most a thousand looks a second.
constexpr int64_t kLookFloorNs = 1000000;

bool all_digits(const char* text) {
    if (*text == '\0') {
        return false;
    }
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') {
            return false;
        }
    }
    return true;
}

// True when fd is the terminal that kelvor itself runs on: its controlling terminal
// or the terminal of one of its standard streams.
bool is_own_terminal(int fd) {
    if (!isatty(fd)) {
        return false;
    }
    const pid_t owner = tcgetsid(fd);
    if (owner != -1 && owner == getsid(0)) {
        return true;
    }
    struct stat port;
    if (fstat(fd, &port) != 0) {
        return false;
    }
    for (int stream = 0; stream < 3; ++stream) {
        struct stat st;
        if (isatty(stream) && fstat(stream, &st) == 0 && st.st_rdev == port.st_rdev) {
            return true;
        }
    }
    return false;
}

int output_queue(int fd) {
    int outq = 0;
    return ioctl(fd, TIOCOUTQ, &outq) == 0 ? outq : -1;
}

// What the driver says about the line: its queue, and whether the transmitter
// has run empty where it can tell.
LineReport look(int fd) {
    LineReport report = {output_queue(fd), -1};
    if (g_lsr_answers) {
        unsigned int lsr = 0;
        if (ioctl(fd, TIOCSERGETLSR, &lsr) == 0) {
            report.transmitter_empty = (lsr & TIOCSER_TEMT) != 0 ? 1 : 0;
        } else {
            g_lsr_answers = false;
        }
    }
    return report;
}

// Hands as many of the write's bytes to the kernel as it takes. Returns true when
// it took any.
bool hand_in(int fd, WriteRecord& write, int64_t now) {
    bool progress = false;
    while (write.sent < write.length) {
        const ssize_t n = ::write(fd, write.data + write.sent, write.length - write.sent);
        if (n > 0) {
            write.sent += static_cast<uint32_t>(n);
            pace_sent(g_pace, now, n);
            progress = true;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            // EAGAIN: the kernel is full for now. Anything else (EIO from an
            // unplugged adapter or a closed far end) ends this write for good.
            write.failed = !(n < 0 && errno == EAGAIN);
            break;
        }
    }
    return progress;
}

// Moves the write on: hands in bytes, and completes it once all are in the kernel
// and the pacing says that little enough line time is still ahead.
bool advance(int fd, WriteRecord& write, int64_t now) {
    if (!write.pending || write.failed) {
        return false;
    }
    bool progress = false;
    if (write.sent < write.length) {
        progress = hand_in(fd, write, now);
        if (write.sent < write.length) {
            return progress;
        }
    }
    pace_report(g_pace, now, look(fd));
    if (now >= pace_complete_at(g_pace, write.length)) {
        write.pending = false;
        write.completed = true;
    }
    return progress;
}

// When the write in flight needs the port looked at again.
int64_t next_look(const WriteRecord& write, int64_t now) {
    if (write.sent < write.length) {
        return write.retry_ns;
    }
    const int64_t at =
        std::min(pace_complete_at(g_pace, write.length), pace_next_look(g_pace, now));
    return std::max(at, now + kLookFloorNs);
}

timespec to_timespec(int64_t ns) {
    ns = std::max<int64_t>(0, ns);
    timespec ts;
    ts.tv_sec = static_cast<time_t>(ns / 1000000000);
    ts.tv_nsec = static_cast<long>(ns % 1000000000);
    return ts;
}

void pause_until(int64_t at) {
    const timespec until = to_timespec(at);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

// Gives the port up as found, once its queued output is discarded: the settings
// found at open put back, exclusive use released. Only system calls that are safe
// in a signal handler.
void give_back(int fd) {
    if (g_have_found) {
        line_write(fd, g_found);
    }
    ioctl(fd, TIOCNXCL);
}

} // namespace

void port_discard_and_release() {
    const int fd = g_port_fd;
    if (fd >= 0) {
        tcflush(fd, TCOFLUSH);
        give_back(fd);
    }
}

bool port_make_path(const char* designation, char* buf, size_t size) {
    if (size == 0) {
        return false;
    }
    buf[0] = '\0';
    const char* prefix = "/dev/";
    if (std::strchr(designation, '/') != nullptr) {
        prefix = "";
    } else if (all_digits(designation)) {
        prefix = "/dev/ttyS";
    }
    const size_t prefix_len = std::strlen(prefix);
    const size_t len = std::strlen(designation);
    if (prefix_len + len + 1 > size) {
        return false;
    }
    std::memcpy(buf, prefix, prefix_len);
    std::memcpy(buf + prefix_len, designation, len + 1);
    return true;
}

bool port_open(const char* path, PortHandle& port) {
    // Opening a device can act on it (a watchdog arms on open): only serial ports
    // and pseudo-terminals that no session uses are opened. The node is held by a
    // handle that opens nothing, judged, and opened through that handle, so a node
    // swapped in at the path meanwhile is never opened.
    const int node = node_handle(path);
    const int proc = proc_folder();
    struct stat judged;
    const NodeVerdict verdict = judge_node(node_facts(node, proc, judged));
    const int fd = verdict == NodeVerdict::open_it ? open_node(node, proc) : -1;
    for (const int held : {node, proc}) {
        if (held >= 0) {
            close(held);
        }
    }
    switch (verdict) {
    case NodeVerdict::cannot_open:
        return false;
    case NodeVerdict::not_a_port:
        // Nothing is opened: the settings read on no descriptor fails next, so
        // the run ends as for any device that is not a serial port.
        port = -1;
        return true;
    case NodeVerdict::open_it:
        break;
    }
    if (fd < 0) {
        return false;
    }
    // One kelvor per port, even as root; flock also keeps out other tools that lock.
    if (!is_judged_node(fd, judged) || flock(fd, LOCK_EX | LOCK_NB) != 0 || is_own_terminal(fd)) {
        close(fd);
        return false;
    }
    ioctl(fd, TIOCEXCL); // further opens fail (except for root); not a terminal: -4 follows
    g_have_found = 0;
    g_lsr_answers = true;
    g_lowest_baud = device_lowest_rate(judged);
    port = fd;
    g_port_fd = fd;
    catch_signals();
    return true;
}

bool port_create_signal(CompletionSignal& signal) {
    signal = 0;
    return true;
}

void port_init_write(WriteRecord& write, CompletionSignal) {
    std::memset(&write, 0, sizeof write);
}

bool port_read_settings(PortHandle port, PortSettings& settings) {
    if (!line_read(port, settings)) {
        return false;
    }
    g_found = settings;
    g_have_found = 1;
    // Echo would send received bytes into the wave, a received XOFF would stop it,
    // output processing could change the fill byte: a raw line, once, for the run.
    line_make_raw(settings);
    line_write(port, settings);
    const int64_t now = monotonic_ns();
    pace_start(g_pace, line_frame_ns(settings), now);
    pace_report(g_pace, now, look(port));
    return true;
}

void port_set_line(PortSettings& settings, uint32_t baud, uint8_t data_bits, uint8_t parity,
                   uint8_t stop_bits) {
    line_set(settings, baud, data_bits, parity, stop_bits);
}

bool port_apply_settings(PortHandle port, PortSettings& settings) {
    // A rate the adapter cannot make, though its driver would read it back as set.
    if (line_frame(settings).baud < g_lowest_baud) {
        return false;
    }
    // Old bytes that the driver hides (a FIFO, a USB chip's buffer) would go out
    // at the new rate: stretched at a slower one. Let them go at the old rate
    // first, to the end where the driver tells when the line is empty.
    int64_t now = monotonic_ns();
    const int64_t settle = pace_settle_until(g_pace, now, line_frame_ns(settings));
    while (now < settle) {
        const LineReport report = look(port);
        pace_report(g_pace, now, report);
        if (report.transmitter_empty == 1) {
            break;
        }
        pause_until(std::min(settle, now + kLookFloorNs));
        now = monotonic_ns();
    }
    const bool written = line_write(port, settings);
    PortSettings applied;
    if (!line_read(port, applied)) {
        return false;
    }
    // Pace by what the line really does, also when it did not take the row.
    now = monotonic_ns();
    pace_set_frame(g_pace, line_frame_ns(applied), now);
    pace_report(g_pace, now, look(port));
    return written && line_matches(settings, applied);
}

void port_start_write(PortHandle port, CompletionSignal, WriteRecord& write,
                      const unsigned char* data, uint32_t length) {
    write.completed = false;
    write.data = data;
    write.length = length;
    write.sent = 0;
    write.pending = true;
    write.failed = false;
    write.retry_ns = 0;
    advance(port, write, monotonic_ns());
}

bool port_wait(PortHandle port, CompletionSignal, WriteRecord& write, uint32_t timeout_ms,
               bool watch_keys) {
    int64_t now = monotonic_ns();
    const int64_t deadline = now + static_cast<int64_t>(timeout_ms) * 1000000;
    bool port_woke = false;
    for (;;) {
        const bool progress = advance(port, write, now);
        if (port_woke && !progress && write.pending && write.sent < write.length) {
            write.retry_ns = now + kRetryNs;
        }
        if (write.completed) {
            write.completed = false;
            return true;
        }
        if (watch_keys && key_waiting()) {
            return false;
        }
        if (now >= deadline) {
            return false;
        }

        int64_t wake = deadline;
        pollfd fds[2];
        nfds_t count = 0;
        int port_slot = -1;
        if (write.pending && !write.failed) {
            if (write.sent < write.length && now >= write.retry_ns) {
                fds[count] = {port, POLLOUT, 0};
                port_slot = static_cast<int>(count++);
            } else {
                wake = std::min(wake, next_look(write, now));
            }
        }
        if (watch_keys) {
            int64_t resolve_at = kNever;
            const int key_fd = keyboard_watch_fd(resolve_at);
            if (key_fd >= 0) {
                fds[count++] = {key_fd, POLLIN, 0};
            }
            wake = std::min(wake, resolve_at);
        }
        const timespec timeout = to_timespec(wake - now);
        const int ready = ppoll(fds, count, &timeout, nullptr);
        if (ready < 0 && errno != EINTR) {
            pause_until(wake); // a wait that fails must still take its time, or the loop would spin
        }
        port_woke = ready > 0 && port_slot >= 0 && fds[port_slot].revents != 0;
        now = monotonic_ns();
    }
}

void port_cancel(PortHandle port, WriteRecord& write) {
    // What the driver discards is gone from the line; what it hides stays.
    const int before = output_queue(port);
    tcflush(port, TCOFLUSH);
    const int after = output_queue(port);
    pace_discarded(g_pace, monotonic_ns(), before >= 0 && after >= 0 ? before - after : -1);
    if (write.pending) {
        write.pending = false;
        write.completed = true;
    }
}

void port_close_signal(CompletionSignal) {}

void port_close(PortHandle port) {
    g_port_fd = -1;
    // Discard first: close would otherwise wait for output a stalled line never
    // sends, or a slow one sends for seconds. What the UART's FIFO still holds
    // goes out at the top speed, so the wave stops within about a millisecond
    // and the close does not wait for it at a slow rate.
    tcflush(port, TCOFLUSH);
    if (g_have_found) {
        PortSettings fast = g_found;
        line_set(fast, 115200, 8, 0, 0);
        line_write(port, fast);
        const int64_t until = monotonic_ns() + kDrainFastNs;
        while (g_lsr_answers && look(port).transmitter_empty == 0 && monotonic_ns() < until) {
            pause_until(monotonic_ns() + kDrainLookNs);
        }
    }
    give_back(port);
    close(port);
}
