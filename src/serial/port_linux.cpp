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

// The line as paced, and the settings it runs under now (zero: not known, after
// a row the driver took only in part).
LinePace g_pace;
PortSettings g_running;
uint32_t g_lowest_baud = 0;     // the driver makes no rate below this (0: no limit known)
bool g_drains_to_pin = false;   // the driver's drain returns only once the pin is idle
bool g_pseudo_terminal = false; // no line: only the rate of a row can be kept
bool g_gone = false;            // the device went away (an adapter pulled out)

// Pause before writing again when the device said it was ready but took nothing.
constexpr int64_t kRetryNs = 10000000;
// Least pause before looking at the driver again.
constexpr int64_t kLookFloorNs = 1000000;
// The longest wait for the pin at the end: a quit on a line held back still ends
// within half a second of the key (the engine waits up to 264 ms for the write).
constexpr int64_t kCloseWaitMaxNs = 150000000;
// A wait in the kernel is cut short by a timer signal at its bound and at every
// tick after it (a tick that comes just before the wait begins is not lost).
constexpr int64_t kTickNs = 10000000;

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

// Errors of a device that is gone: an adapter pulled out, its driver unbound, a
// pseudo-terminal whose far end closed.
bool gone_error(int error) {
    return error == EIO || error == ENODEV || error == ENXIO;
}

// The bytes the driver still holds (-1: it does not say).
int output_queue(int fd) {
    int outq = 0;
    if (ioctl(fd, TIOCOUTQ, &outq) == 0) {
        return outq;
    }
    g_gone = g_gone || gone_error(errno);
    return -1;
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

void on_tick(int) {}

// A timer signal that ends a wait in the kernel (such waits give way to a
// pending signal): first after first_ns, then every kTickNs. The signal's
// previous handler and mask are put back at the end.
struct KernelBound {
    bool armed;
    timer_t timer;
    struct sigaction old_action;
    sigset_t old_mask;
};

sigset_t tick_set() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGRTMIN);
    return set;
}

void bound_end(KernelBound& b) {
    if (!b.armed) {
        return;
    }
    b.armed = false;
    const sigset_t ticks = tick_set();
    sigprocmask(SIG_BLOCK, &ticks, nullptr);
    timer_delete(b.timer);
    // A tick still pending is taken here, not by the handler put back.
    const timespec none = {0, 0};
    while (sigtimedwait(&ticks, nullptr, &none) > 0) {
    }
    sigaction(SIGRTMIN, &b.old_action, nullptr);
    sigprocmask(SIG_SETMASK, &b.old_mask, nullptr);
}

bool bound_begin(KernelBound& b, int64_t first_ns) {
    b.armed = false;
    struct sigaction tick = {};
    tick.sa_handler = on_tick; // no SA_RESTART: the wait must end
    sigemptyset(&tick.sa_mask);
    if (sigaction(SIGRTMIN, &tick, &b.old_action) != 0) {
        return false;
    }
    sigevent event = {};
    event.sigev_notify = SIGEV_SIGNAL;
    event.sigev_signo = SIGRTMIN;
    const sigset_t ticks = tick_set();
    sigprocmask(SIG_UNBLOCK, &ticks, &b.old_mask);
    const itimerspec when = {to_timespec(kTickNs), to_timespec(std::max<int64_t>(first_ns, 1))};
    if (timer_create(CLOCK_MONOTONIC, &event, &b.timer) != 0) {
        sigprocmask(SIG_SETMASK, &b.old_mask, nullptr);
        sigaction(SIGRTMIN, &b.old_action, nullptr);
        return false;
    }
    b.armed = true;
    if (timer_settime(b.timer, 0, &when, nullptr) != 0) {
        bound_end(b);
        return false;
    }
    return true;
}

enum class Drain { done, held, gone };

// Without a timer to bound the drain: the driver's queue and the clock must do.
Drain wait_for_queue(int fd, int64_t give_up_at) {
    for (;;) {
        const int queued = output_queue(fd);
        if (g_gone) {
            return Drain::gone;
        }
        if (queued <= 0) {
            return Drain::done;
        }
        const int64_t now = monotonic_ns();
        if (now >= give_up_at) {
            return Drain::held;
        }
        pause_until(std::min(now + kLookFloorNs, give_up_at));
    }
}

// Waits in the driver until what was handed in has left: up to the pin where the
// driver can tell, else out of its queue. Gives up at give_up_at (a held line).
Drain drain(int fd, int64_t give_up_at) {
    KernelBound bound;
    if (!bound_begin(bound, give_up_at - monotonic_ns())) {
        return wait_for_queue(fd, give_up_at);
    }
    Drain result = Drain::done;
    // tcdrain() itself, called here so that the port's tests can stand in for
    // the driver.
    while (ioctl(fd, TCSBRK, 1) != 0) {
        if (errno != EINTR) {
            result = gone_error(errno) ? Drain::gone : Drain::done;
            break;
        }
        if (monotonic_ns() >= give_up_at) {
            result = Drain::held;
            break;
        }
    }
    bound_end(bound);
    g_gone = g_gone || result == Drain::gone;
    return result;
}

// Waits until the pin is idle: the driver's drain, then the clock's end of the
// line (the clock alone knows what a chip without a drain of its own still holds).
Drain wait_idle(int fd, int64_t give_up_at) {
    const Drain result = drain(fd, give_up_at);
    if (result == Drain::done) {
        pause_until(std::min(pace_idle_at(g_pace), give_up_at));
    }
    return result;
}

// Hands the kernel as many of the write's bytes as the pace has room for and the
// kernel takes. Returns true when it took any.
bool hand_in(int fd, WriteRecord& write, int64_t now) {
    bool progress = false;
    while (write.sent < write.length) {
        const int64_t room = pace_room(g_pace, now, write.length - write.sent);
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
            // EAGAIN: the kernel is full for now. Anything else ends this write
            // for good; a device that is gone ends the run.
            write.blocked = n < 0 && errno == EAGAIN;
            write.failed = !write.blocked;
            g_gone = g_gone || (n < 0 && gone_error(errno));
            return progress;
        }
    }
    return progress;
}

// Moves the write on when a top-up is due: the driver's queue corrects the clock,
// a stretch due to end runs dry and is drained, and the line is topped up. The
// write completes once all of it is in and the lead has fallen to its floor: at
// a top-up, which the next write then makes; a quit, which waits for the write
// in progress, comes within one write time and the floor.
bool advance(int fd, WriteRecord& write, int64_t now) {
    if (!write.pending || write.failed) {
        return false;
    }
    bool progress = false;
    // A write whose bytes are all in only waits for its completion; the next
    // write's top-up looks at the driver.
    if ((now >= pace_feed_at(g_pace) || write.blocked) && write.sent < write.length) {
        const int queued = output_queue(fd);
        if (queued > 0) {
            pace_queue(g_pace, now, queued);
        }
        if (pace_measure_due(g_pace, now)) {
            const Drain result = drain(fd, pace_give_up_at(g_pace, now, false));
            now = monotonic_ns();
            pace_drained(g_pace, now, result == Drain::done);
        }
        if (g_gone) {
            write.failed = true;
            return false;
        }
        progress = hand_in(fd, write, now);
    }
    if (write.sent == write.length && now >= pace_feed_at(g_pace)) {
        write.pending = false;
        write.completed = true;
    }
    return progress;
}

// When the write in flight needs the port again: the next top-up or completion.
int64_t next_look(const WriteRecord& write, int64_t now) {
    if (write.blocked && write.retry_ns > now) {
        return write.retry_ns;
    }
    return std::max(pace_feed_at(g_pace), now + kLookFloorNs);
}

// Closes the port without sitting in the kernel's drain: the timer ends any wait
// inside the close.
void close_promptly(int fd) {
    KernelBound bound;
    const bool bounded = bound_begin(bound, kTickNs);
    close(fd);
    if (bounded) {
        bound_end(bound);
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
    g_gone = false;
    unsigned int lsr = 0;
    g_lowest_baud = device_lowest_rate(judged);
    g_drains_to_pin = device_drains_to_pin(judged, ioctl(fd, TIOCSERGETLSR, &lsr) == 0);
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
    g_running = settings;
    pace_start(g_pace, line_frame_ns(settings), g_drains_to_pin, kLeadFloorNs, monotonic_ns());
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
    // The line runs under these already (a row put back after a refusal).
    if (std::memcmp(&settings, &g_running, sizeof settings) == 0) {
        return true;
    }
    // Nothing handed in can be taken back: the old bytes leave under the settings
    // they were sent for before the new ones are applied. A line held back keeps
    // them, so the row is refused and the running one stays.
    const int64_t now = monotonic_ns();
    if (wait_idle(port, pace_give_up_at(g_pace, now, true)) != Drain::done) {
        return false;
    }
    const bool written = line_write(port, settings);
    PortSettings applied;
    if (!line_read(port, applied)) {
        g_running = PortSettings{};
        return false;
    }
    // Pace by the rate the driver reads back, also when it did not take the row.
    pace_set_frame(g_pace, line_frame_ns(applied), monotonic_ns());
    const bool taken = written && line_matches(settings, applied, !g_pseudo_terminal);
    g_running = taken ? settings : PortSettings{};
    return taken;
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
        now = monotonic_ns(); // a drain may have taken a while
        if (port_woke && !progress && write.pending && write.blocked) {
            write.retry_ns = now + kRetryNs;
        }
        if (write.completed) {
            write.completed = false;
            return true;
        }
        if (g_gone || (watch_keys && key_waiting()) || now >= deadline) {
            return false;
        }

        // Asleep until the next top-up, a key, or the deadline.
        int64_t wake = deadline;
        pollfd fds[1 + kKeySourcesMax];
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
        const nfds_t key_slot = count;
        int keys = 0;
        if (watch_keys) {
            int64_t resolve_at = kNever;
            keys = keyboard_watch(fds + key_slot, resolve_at);
            count += static_cast<nfds_t>(keys);
            wake = std::min(wake, resolve_at);
        }
        const timespec timeout = to_timespec(wake - now);
        const int ready = ppoll(fds, count, &timeout, nullptr);
        if (ready < 0 && errno != EINTR) {
            pause_until(wake); // a wait that fails must still take its time, or the loop would spin
        }
        if (ready > 0) {
            keyboard_seen(fds + key_slot, keys);
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
    if (g_have_found && !g_gone) {
        const int64_t now = monotonic_ns();
        const int64_t give_up =
            std::min(pace_give_up_at(g_pace, now, false), now + kCloseWaitMaxNs);
        if (wait_idle(port, give_up) == Drain::held) {
            tcflush(port, TCOFLUSH);
        }
    }
    give_back(port);
    close_promptly(port);
    g_port_fd = -1; // the signal handlers put the port back until it is closed
}

bool port_lost(PortHandle) {
    return g_gone;
}
