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
#include "line_settings_linux.h"
#include "platform_linux.h"
#include "port.h"

namespace {

// The open port, for the signal handlers.
volatile sig_atomic_t g_port_fd = -1;

// The line as last applied, and when the bytes handed to the kernel will have
// gone out at its pace. A pseudo-terminal (and some drivers) report no output
// queue; there this clock stands in for one.
struct LineClock {
    int64_t frame_ns;
    int64_t free_at_ns;
    bool queue_reported; // the driver has reported queued output (TIOCOUTQ) at least once
};
LineClock g_line = {1000000, 0, false};

// Least time between two looks at a queue that the driver reports, so that a line
// held by flow control costs no more than a few wake-ups per second.
constexpr int64_t kRecheckNs = 5000000;
// Pause before writing again when the device said it was ready but took nothing.
constexpr int64_t kRetryNs = 10000000;

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

// Line time still queued in the kernel.
int64_t queued_ns(int fd, int64_t now) {
    int outq = 0;
    if (ioctl(fd, TIOCOUTQ, &outq) == 0 && outq > 0) {
        g_line.queue_reported = true;
    }
    if (g_line.queue_reported) {
        return static_cast<int64_t>(outq) * g_line.frame_ns;
    }
    return std::max<int64_t>(0, g_line.free_at_ns - now);
}

// Hands as many of the write's bytes to the kernel as it takes. Returns true when
// it took any.
bool hand_in(int fd, WriteRecord& write, int64_t now) {
    bool progress = false;
    while (write.sent < write.length) {
        const ssize_t n = ::write(fd, write.data + write.sent, write.length - write.sent);
        if (n > 0) {
            write.sent += static_cast<uint32_t>(n);
            g_line.free_at_ns = std::max(g_line.free_at_ns, now) + n * g_line.frame_ns;
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
// and no more than its own line time is still queued, so that the next write goes
// in before the line runs dry and at most about two writes are ever queued.
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
        write.due_ns = 0;
    }
    if (now >= write.due_ns) {
        const int64_t write_ns = static_cast<int64_t>(write.length) * g_line.frame_ns;
        const int64_t queued = queued_ns(fd, now);
        if (queued <= write_ns) {
            write.pending = false;
            write.completed = true;
        } else {
            const int64_t least = g_line.queue_reported ? kRecheckNs : 0;
            write.due_ns = now + std::max(queued - write_ns, least);
        }
    }
    return progress;
}

timespec to_timespec(int64_t ns) {
    ns = std::max<int64_t>(0, ns);
    timespec ts;
    ts.tv_sec = static_cast<time_t>(ns / 1000000000);
    ts.tv_nsec = static_cast<long>(ns % 1000000000);
    return ts;
}

} // namespace

void port_discard_and_release() {
    const int fd = g_port_fd;
    if (fd >= 0) {
        tcflush(fd, TCOFLUSH);
        ioctl(fd, TIOCNXCL);
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
    // Opening a device can act on it (a watchdog arms on open): only terminals
    // that no other session uses are opened.
    struct stat judged;
    switch (judge_node(node_facts(path, judged))) {
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
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    // One kelvor per port, even as root; flock also keeps out other tools that lock.
    if (!is_judged_node(fd, judged) || flock(fd, LOCK_EX | LOCK_NB) != 0 || is_own_terminal(fd)) {
        close(fd);
        return false;
    }
    ioctl(fd, TIOCEXCL); // further opens fail (except for root); not a terminal: -4 follows
    g_line = LineClock{1000000, 0, false};
    port = fd;
    g_port_fd = fd;
    catch_signals();
    return true;
}

bool port_create_signal(CompletionSignal& signal) {
    signal = 0;
    return true;
}

void port_init_write(WriteRecord& write, CompletionSignal signal) {
    std::memset(&write, 0, sizeof write);
    write.signal = signal;
}

bool port_read_settings(PortHandle port, PortSettings& settings) {
    if (!line_read(port, settings)) {
        return false;
    }
    // Echo would send received bytes into the wave, a received XOFF would stop it,
    // output processing could change the fill byte: a raw line, once, for the run.
    line_make_raw(settings);
    line_write(port, settings);
    g_line.frame_ns = line_frame_ns(settings);
    return true;
}

void port_set_line(PortSettings& settings, uint32_t baud, uint8_t data_bits, uint8_t parity,
                   uint8_t stop_bits) {
    line_set(settings, baud, data_bits, parity, stop_bits);
}

bool port_apply_settings(PortHandle port, PortSettings& settings) {
    const bool written = line_write(port, settings);
    PortSettings applied;
    if (!line_read(port, applied)) {
        return false;
    }
    // Pace by what the line really does, also when it did not take the row.
    g_line.frame_ns = line_frame_ns(applied);
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
    write.due_ns = 0;
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
                wake = std::min(wake, write.sent < write.length ? write.retry_ns : write.due_ns);
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
            // A wait that fails must still take its time, or the loop would spin.
            const timespec until = to_timespec(wake);
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
        }
        port_woke = ready > 0 && port_slot >= 0 && fds[port_slot].revents != 0;
        now = monotonic_ns();
    }
}

void port_cancel(PortHandle port, WriteRecord& write) {
    tcflush(port, TCOFLUSH);
    if (g_line.queue_reported) {
        g_line.free_at_ns = monotonic_ns(); // the driver's queue is gone
    }
    if (write.pending) {
        write.pending = false;
        write.completed = true;
    }
}

void port_close_signal(CompletionSignal) {}

void port_close(PortHandle port) {
    g_port_fd = -1;
    // Discard first: close would otherwise wait for output a stalled line never sends.
    tcflush(port, TCOFLUSH);
    ioctl(port, TIOCNXCL);
    close(port);
}
