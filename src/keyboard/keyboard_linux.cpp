// Keys, beep and signals on Linux. Keys come from the controlling terminal, not
// from standard input, and only while kelvor is its foreground job; the terminal's
// modes are given back on every way out.
#include <errno.h>
#include <fcntl.h>
#include <linux/kd.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>

#include "../serial/platform_linux.h"
#include "key_decoder.h"
#include "keyboard.h"

namespace {

volatile sig_atomic_t g_tty = -1;     // the controlling terminal, or -1
volatile sig_atomic_t g_raw = 0;      // kelvor's modes are in effect on it
volatile sig_atomic_t g_sounding = 0; // a console tone is on
volatile sig_atomic_t g_have_saved = 0;
termios g_saved;        // the modes found when kelvor first had the terminal
bool g_console = false; // the terminal is a Linux virtual console (it can sound a tone)

// Bytes read from the terminal that are not decoded yet, and the codes of keys
// decoded but not taken yet.
uint8_t g_input[64];
size_t g_input_len = 0;
int64_t g_input_since = 0;
uint8_t g_codes[64];
size_t g_code_head = 0;
size_t g_code_count = 0;

// How long the rest of an escape sequence may take to arrive before the bytes so
// far are decided on (a lone ESC, or an unknown sequence).
constexpr int64_t kSequenceWaitNs = 50000000;

// PC timer clock that KIOCSOUND divides to set the tone.
constexpr uint32_t kTimerHz = 1193180;

// Signals whose default action ends the process: each gives the terminal and the
// port back first, then ends kelvor by the same signal.
const int kEndSignals[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT,   SIGPIPE, SIGUSR1,
                           SIGUSR2, SIGALRM, SIGPROF, SIGVTALRM, SIGXCPU, SIGXFSZ};
// Signals of a fault in kelvor itself. Their handler runs once: the default action
// is back in place before it starts, so a fault inside it ends the process at once.
const int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

bool foreground() {
    const int tty = g_tty;
    return tty >= 0 && tcgetpgrp(tty) == getpgrp();
}

// Safe in a signal handler.
void restore_terminal() {
    if (g_have_saved && foreground()) {
        tcsetattr(g_tty, TCSANOW, &g_saved);
    }
    g_raw = 0;
}

void sound_off() {
    if (g_sounding) {
        ioctl(g_tty, KIOCSOUND, 0);
        g_sounding = 0;
    }
}

sigset_t handled_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kEndSignals) {
        sigaddset(&set, sig);
    }
    for (int sig : kCrashSignals) {
        sigaddset(&set, sig);
    }
    sigaddset(&set, SIGTSTP);
    sigaddset(&set, SIGCONT);
    return set;
}

void set_handler(int sig, void (*handler)(int), int flags = SA_RESTART) {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = handler;
    sa.sa_mask = handled_signals();
    sa.sa_flags = flags;
    sigaction(sig, &sa, nullptr);
}

void unblock(int sig) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

// An ending or crash signal: leave the terminal and the port as found, then end by
// the same signal so that the exit status says so. Only async-signal-safe calls.
void on_end_signal(int sig) {
    sound_off();
    restore_terminal();
    port_discard_and_release();
    set_handler(sig, SIG_DFL);
    unblock(sig);
    raise(sig);
}

// Ctrl+Z: give the terminal back, stop, and take it back once in the foreground.
void on_stop_signal(int) {
    const int saved_errno = errno;
    sound_off();
    restore_terminal();
    set_handler(SIGTSTP, SIG_DFL);
    unblock(SIGTSTP);
    raise(SIGTSTP);
    // Continued (or the stop was dropped because no shell could continue the job).
    set_handler(SIGTSTP, on_stop_signal);
    errno = saved_errno;
}

// After a stop the shell may have put its own modes back: take the terminal again.
void on_continue_signal(int) {
    g_raw = 0;
}

// Puts kelvor's modes on the terminal: keys without Enter and without echo, the
// signal keys kept. Returns false while no key can be read.
// A terminal that has hung up fails tcgetpgrp, so it counts as not in the
// foreground and is never watched again.
bool sync_terminal() {
    if (g_tty < 0 || !foreground()) {
        return false;
    }
    if (g_raw) {
        return true;
    }
    sigset_t handled = handled_signals(), old;
    sigprocmask(SIG_BLOCK, &handled, &old);
    if (!g_have_saved && tcgetattr(g_tty, &g_saved) == 0) {
        g_have_saved = 1;
    }
    if (g_have_saved) {
        termios raw = g_saved;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL);
        // Ctrl+S would stop the terminal's output, and a frequency line printed
        // to it would then block the whole loop, quit keys included.
        raw.c_iflag &= ~static_cast<tcflag_t>(IXON);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        g_raw = tcsetattr(g_tty, TCSANOW, &raw) == 0;
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return true;
}

void read_terminal(int64_t now) {
    while (g_input_len < sizeof g_input) {
        const ssize_t n = read(g_tty, g_input + g_input_len, sizeof g_input - g_input_len);
        if (n > 0) {
            if (g_input_len == 0) {
                g_input_since = now;
            }
            g_input_len += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        // EAGAIN: nothing more for now. Anything else means kelvor was moved to
        // the background or the terminal hung up; sync_terminal then stops
        // watching it.
        return;
    }
}

void decode_input(int64_t now) {
    while (g_input_len > 0 && g_code_count + 2 <= sizeof g_codes) {
        const bool more = g_input_len < sizeof g_input && now - g_input_since < kSequenceWaitNs;
        const DecodedKey key = key_decode(g_input, g_input_len, more);
        if (key.consumed == 0) {
            return;
        }
        for (int i = 0; i < key.count; ++i) {
            g_codes[(g_code_head + g_code_count++) % sizeof g_codes] = key.codes[i];
        }
        g_input_len -= key.consumed;
        std::memmove(g_input, g_input + key.consumed, g_input_len);
    }
}

void pause_until(int64_t end_ns) {
    const timespec until = {static_cast<time_t>(end_ns / 1000000000),
                            static_cast<long>(end_ns % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

} // namespace

int keyboard_watch_fd(int64_t& resolve_at) {
    // Outside the foreground (or after a hang-up) a partial escape sequence cannot
    // be decided on, so it must not set a wake-up time: a time already passed
    // would make every wait return at once.
    resolve_at = kNever;
    if (!sync_terminal()) {
        return -1;
    }
    if (g_input_len > 0 && g_code_count == 0) {
        resolve_at = g_input_since + kSequenceWaitNs;
    }
    return g_tty;
}

void catch_signals() {
    for (int sig : kEndSignals) {
        struct sigaction old;
        // A signal ignored from the start (nohup, a background job of a plain shell)
        // stays ignored.
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) {
            set_handler(sig, on_end_signal);
        }
    }
    // SA_RESETHAND: the default action is back before the handler runs, so the
    // handler runs at most once. A fault inside it cannot loop either: the signal
    // is blocked there (it is in the handler's mask, so SA_NODEFER would change
    // nothing), and the kernel delivers a blocked fault signal with its default
    // action, which ends the process.
    for (int sig : kCrashSignals) {
        set_handler(sig, on_end_signal, SA_RESETHAND);
    }
    set_handler(SIGTSTP, on_stop_signal);
    set_handler(SIGCONT, on_continue_signal);
    signal(SIGTTIN, SIG_IGN); // a read from the background fails instead of stopping kelvor
}

void keyboard_open() {
    g_tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (g_tty >= 0) {
        int type = 0;
        g_console = ioctl(g_tty, KDGKBTYPE, &type) == 0;
        sync_terminal();
    }
}

void keyboard_close() {
    if (g_tty < 0) {
        return;
    }
    sigset_t handled = handled_signals(), old;
    sigprocmask(SIG_BLOCK, &handled, &old);
    sound_off();
    if (g_raw && foreground()) {
        tcflush(g_tty, TCIFLUSH); // keys typed for kelvor are not the shell's
    }
    restore_terminal();
    const int tty = g_tty;
    g_tty = -1;
    close(tty);
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

bool key_waiting() {
    // Keys decoded before a Ctrl+Z wait until kelvor is in the foreground again.
    if (!sync_terminal()) {
        return false;
    }
    if (g_code_count > 0) {
        return true;
    }
    const int64_t now = monotonic_ns();
    // A partial sequence left from before a stop or a move to the background is
    // decided on by itself first, so that it does not join the next key typed
    // (ESC then q would read as Alt+Q).
    decode_input(now);
    read_terminal(now);
    decode_input(now);
    return g_code_count > 0;
}

int key_read() {
    if (g_code_count == 0) {
        return 0;
    }
    const int code = g_codes[g_code_head];
    g_code_head = (g_code_head + 1) % sizeof g_codes;
    --g_code_count;
    return code;
}

void console_beep(uint32_t hz, uint32_t ms) {
    const int64_t end = monotonic_ns() + static_cast<int64_t>(ms) * 1000000;
    const int tty = g_tty;
    if (tty >= 0 && g_console && hz > 0 && ioctl(tty, KIOCSOUND, kTimerHz / hz) == 0) {
        g_sounding = 1;
    } else if (tty >= 0) {
        const ssize_t ignored = write(tty, "\a", 1);
        (void)ignored;
    }
    pause_until(end);
    sound_off();
}
