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
#include <time.h>
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
bool g_lsr_answers = true;      // the driver answers TIOCSERGETLSR (a pty does not)
uint32_t g_lowest_baud = 0;     // the driver makes no rate below this (0: no limit known)
int64_t g_status_age_ns = 0;    // how old the driver's "transmitter empty" may be
bool g_pseudo_terminal = false; // no line: only the rate of a row can be kept

// Pause before writing again when the device said it was ready but took nothing.
constexpr int64_t kRetryNs = 10000000;
// Least pause before looking at the driver again, so that a queue that keeps
// moving the next top-up a little later costs at most a thousand looks a second.
constexpr int64_t kLookFloorNs = 1000000;
// Longest wait for the pin to fall idle at a switch and at the end: far longer
// than the lead, so only a line held back (flow control) reaches it.
constexpr int64_t kIdleWaitMaxNs = 150000000;
// The close is cut short after this, and again at each tick: the kernel would
// wait up to 30 s for output a held-back line never sends, and some drivers add
// a drain delay of their own.
constexpr int64_t kCloseTickNs = 10000000;

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

// Hands the kernel as many of the write's bytes as the pace has room for and the
// kernel takes. Returns true when it took any.
bool hand_in(int fd, WriteRecord& write, int64_t now) {
    bool progress = false;
    while (write.sent < write.length) {
        const int64_t room = std::min<int64_t>(pace_room(g_pace, now), write.length - write.sent);
        if (room <= 0) {
            break;
        }
        const ssize_t n = ::write(fd, write.data + write.sent, static_cast<size_t>(room));
        if (n > 0) {
            write.blocked = false;
            write.sent += static_cast<uint32_t>(n);
            pace_sent(g_pace, now, n);
            progress = true;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            // EAGAIN: the kernel is full for now. Anything else (EIO from an
            // unplugged adapter or a closed far end) ends this write for good.
            write.blocked = n < 0 && errno == EAGAIN;
            write.failed = !write.blocked;
            return progress;
        }
    }
    return progress;
}

// Moves the write on: looks at the driver, tops the line up from the write, and
// completes the write once all of it is in and the lead has fallen to its floor.
bool advance(int fd, WriteRecord& write, int64_t now) {
    if (!write.pending || write.failed) {
        return false;
    }
    pace_report(g_pace, now, look(fd));
    const bool progress = hand_in(fd, write, now);
    if (write.sent == write.length && now >= pace_feed_at(g_pace)) {
        write.pending = false;
        write.completed = true;
    }
    return progress;
}

// When the write in flight needs the port looked at again: the next top-up or
// the completion, sooner while the pace learns the line.
int64_t next_look(const WriteRecord& write, int64_t now) {
    if (write.blocked && write.retry_ns > now) {
        return write.retry_ns;
    }
    const int64_t at = std::min(pace_feed_at(g_pace), pace_next_look(g_pace, now));
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

// Waits until the pin is idle: the driver says so in a way that can be trusted,
// or, where it cannot tell, the clock's account of what is ahead has run out.
// Returns false when the line is still busy after the longest wait (held back).
bool wait_idle(int fd) {
    int64_t now = monotonic_ns();
    const int64_t give_up = now + kIdleWaitMaxNs;
    for (;;) {
        if (pace_report(g_pace, now, look(fd))) {
            return true;
        }
        const int64_t idle_at = pace_idle_at(g_pace);
        // The clock decides only where the driver can say nothing more.
        if (now >= idle_at && (!g_lsr_answers || g_pace.empty_misleads) && output_queue(fd) <= 0) {
            return true;
        }
        if (now >= give_up) {
            return false;
        }
        const int64_t next = g_lsr_answers && !g_pace.empty_misleads
                                 ? now + kLookFloorNs
                                 : std::max(idle_at, now + kLookFloorNs);
        pause_until(std::min(next, give_up));
        now = monotonic_ns();
    }
}

void on_close_tick(int) {}

// Closes the port without sitting in the kernel's drain: a timer signal ends any
// wait inside the close (the wait gives way to a pending signal). The handler
// stays in place, so a tick still pending after the timer is gone is harmless.
void close_promptly(int fd) {
    struct sigaction tick = {};
    tick.sa_handler = on_close_tick; // no SA_RESTART: the wait must end
    sigemptyset(&tick.sa_mask);
    sigevent event = {};
    event.sigev_notify = SIGEV_SIGNAL;
    event.sigev_signo = SIGRTMIN;
    timer_t timer;
    const bool timed = sigaction(SIGRTMIN, &tick, nullptr) == 0 &&
                       timer_create(CLOCK_MONOTONIC, &event, &timer) == 0;
    if (timed) {
        const itimerspec every = {to_timespec(kCloseTickNs), to_timespec(kCloseTickNs)};
        timer_settime(timer, 0, &every, nullptr);
    }
    close(fd);
    if (timed) {
        timer_delete(timer);
    }
}

// Gives the port up as found: the settings found at open put back, exclusive use
// released. Only system calls that are safe in a signal handler.
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
    const NodeFacts facts = node_facts(node, proc, judged);
    const NodeVerdict verdict = judge_node(facts);
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
    g_status_age_ns = device_status_age_ns(judged);
    g_pseudo_terminal = is_pseudo_terminal(facts);
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
    pace_start(g_pace, line_frame_ns(settings), g_status_age_ns, now);
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
    // Nothing handed in can be taken back: the old bytes leave under the settings
    // they were sent for before the new ones are applied.
    wait_idle(port);
    const bool written = line_write(port, settings);
    PortSettings applied;
    if (!line_read(port, applied)) {
        return false;
    }
    // Pace by the rate the driver reads back, also when it did not take the row.
    const int64_t now = monotonic_ns();
    pace_set_frame(g_pace, line_frame_ns(applied), now);
    pace_report(g_pace, now, look(port));
    return written && line_matches(settings, applied, !g_pseudo_terminal);
}

void port_start_write(PortHandle port, CompletionSignal, WriteRecord& write,
                      const unsigned char* data, uint32_t length) {
    write.completed = false;
    write.data = data;
    write.length = length;
    write.sent = 0;
    write.pending = true;
    write.failed = false;
    write.blocked = false;
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
        if (port_woke && !progress && write.pending && write.blocked) {
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
            if (write.blocked && now >= write.retry_ns) {
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
    // No more of the write goes in. What is in is short, and leaves under the
    // settings it was sent for: a USB adapter's driver discards nothing on a
    // flush. Where the kernel can drop its queue (a UART's buffer, a far end
    // that reads nothing), it does, so a line held back ends sooner.
    tcflush(port, TCOFLUSH);
    if (write.pending) {
        write.pending = false;
        write.completed = true;
    }
}

void port_close_signal(CompletionSignal) {}

void port_close(PortHandle port) {
    // The wave ends under its own settings: the settings found at open go back
    // only once the pin is idle. A line held back (flow control) keeps what its
    // hardware holds; the kernel's queue is dropped where the driver can.
    if (g_have_found && !wait_idle(port)) {
        tcflush(port, TCOFLUSH);
    }
    give_back(port);
    close_promptly(port);
    g_port_fd = -1; // the signal handlers put the port back until it is closed
}
