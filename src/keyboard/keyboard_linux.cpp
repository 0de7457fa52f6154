// Keys, beep and signals on Linux. Keys come from the controlling terminal, while
// kelvor is its foreground job, and from standard input where that is a pipe or a
// file; the terminal's modes are given back on every way out. Neither is read
// until the port's wait has seen input on it or a signal came (the terminal may
// have changed hands): the running wave wakes kelvor as seldom as possible.
#include <errno.h>
#include <fcntl.h>
#include <linux/kd.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "../serial/platform_linux.h"
#include "key_decoder.h"
#include "keyboard.h"

namespace {

volatile sig_atomic_t g_tty = -1;     // the controlling terminal, or -1
volatile sig_atomic_t g_raw = 0;      // kelvor's modes are in effect on it
volatile sig_atomic_t g_sounding = 0; // a console tone is on
volatile sig_atomic_t g_have_saved = 0;
volatile sig_atomic_t g_recheck = 1; // whether kelvor has the terminal must be looked at again
termios g_saved;                     // the modes found when kelvor first had the terminal
bool g_console = false;  // the terminal is a Linux virtual console (it can sound a tone)
bool g_tty_keys = false; // kelvor is the terminal's foreground job, in its own modes

// A place keys come from: bytes read that are not decoded yet, and the codes of
// keys decoded but not taken yet.
struct KeySource {
    int fd = -1;        // -1: not read (none, or standard input has ended)
    bool ready = false; // the wait saw input (or an end) on fd: a read will not block
    uint8_t input[64];
    size_t input_len = 0;
    int64_t input_since = 0;
    uint8_t codes[64];
    size_t code_head = 0;
    size_t code_count = 0;
};

// The controlling terminal, and standard input where it is not a terminal.
KeySource g_sources[2];
KeySource& g_term = g_sources[0];
KeySource& g_stdin = g_sources[1];
KeySource* g_taking = nullptr; // the source of the key being taken (both codes of a pair)

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
    g_recheck = 1;
    set_handler(SIGTSTP, on_stop_signal);
    errno = saved_errno;
}

// After a stop, or a move into or out of the foreground (each comes with SIGCONT),
// the shell may have put its own modes back: take the terminal again.
void on_continue_signal(int) {
    g_raw = 0;
    g_recheck = 1;
}

// Puts kelvor's modes on the terminal once it is kelvor's: keys without Enter
// and without echo, the signal keys kept. Returns false while no key can be read.
// Looked at again only after a signal or when reading the terminal failed; a
// terminal that has hung up fails tcgetpgrp, so it is never watched again.
bool sync_terminal() {
    if (!g_recheck) {
        return g_tty_keys;
    }
    g_recheck = 0;
    g_tty_keys = false;
    if (g_tty < 0 || !foreground()) {
        return false;
    }
    g_tty_keys = true;
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

// A source whose keys may be taken now: the terminal only while it is kelvor's.
bool usable(const KeySource& source) {
    return &source != &g_term || sync_terminal();
}

// Reads what the wait saw on the source: one read, which does not block.
void read_source(KeySource& src, int64_t now) {
    if (!src.ready || src.fd < 0 || src.input_len == sizeof src.input) {
        return;
    }
    src.ready = false;
    ssize_t n;
    do {
        n = read(src.fd, src.input + src.input_len, sizeof src.input - src.input_len);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        if (src.input_len == 0) {
            src.input_since = now;
        }
        src.input_len += static_cast<size_t>(n);
    } else if (&src == &g_stdin) {
        // The end of the input (or a read that fails): kelvor runs on until a
        // key from the terminal or a signal ends it.
        if (n == 0 || errno != EAGAIN) {
            src.fd = -1;
        }
    } else if (n == 0 || errno != EAGAIN) {
        // Moved to the background, or the terminal hung up: look again.
        g_recheck = 1;
    }
}

void decode_source(KeySource& src, int64_t now) {
    while (src.input_len > 0 && src.code_count + 2 <= sizeof src.codes) {
        const bool more = src.fd >= 0 && src.input_len < sizeof src.input &&
                          now - src.input_since < kSequenceWaitNs;
        const DecodedKey key = key_decode(src.input, src.input_len, more);
        if (key.consumed == 0) {
            return;
        }
        for (int i = 0; i < key.count; ++i) {
            src.codes[(src.code_head + src.code_count++) % sizeof src.codes] = key.codes[i];
        }
        src.input_len -= key.consumed;
        std::memmove(src.input, src.input + key.consumed, src.input_len);
    }
}

} // namespace

int keyboard_watch(pollfd* fds, int64_t& resolve_at) {
    // A partial escape sequence is decided on at resolve_at. Not outside the
    // foreground (or after a hang-up), where it cannot be: a time already passed
    // would make every wait return at once.
    resolve_at = kNever;
    int count = 0;
    for (KeySource& src : g_sources) {
        if (src.fd < 0 || !usable(src)) {
            continue;
        }
        if (src.input_len > 0 && src.code_count == 0) {
            resolve_at = std::min(resolve_at, src.input_since + kSequenceWaitNs);
        }
        // A source with no room for more input is not watched: it would say
        // "ready" at once, again and again.
        if (src.input_len < sizeof src.input && src.code_count + 2 <= sizeof src.codes) {
            fds[count++] = {src.fd, POLLIN, 0};
        }
    }
    return count;
}

void keyboard_seen(const pollfd* fds, int count) {
    for (int i = 0; i < count; ++i) {
        if (fds[i].revents == 0) {
            continue;
        }
        for (KeySource& src : g_sources) {
            if (src.fd == fds[i].fd) {
                src.ready = true;
            }
        }
    }
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
    g_term.fd = g_tty;
    if (g_tty >= 0) {
        int type = 0;
        g_console = ioctl(g_tty, KDGKBTYPE, &type) == 0;
        sync_terminal();
    }
    // A pipe or a file on standard input gives keys too, so that a script can
    // step and quit. A terminal there is the controlling terminal, or another
    // session's, which is not kelvor's to read.
    g_stdin.fd = !isatty(STDIN_FILENO) && fcntl(STDIN_FILENO, F_GETFL) >= 0 ? STDIN_FILENO : -1;
}

void keyboard_close() {
    g_stdin.fd = -1;
    g_term.fd = -1;
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
    // The second code of a pair comes from where the first came from.
    if (g_taking != nullptr && g_taking->code_count > 0 && usable(*g_taking)) {
        return true;
    }
    const int64_t now = monotonic_ns();
    g_taking = nullptr;
    for (KeySource& src : g_sources) {
        // Keys decoded before a Ctrl+Z wait until kelvor is in the foreground again.
        if (!usable(src)) {
            continue;
        }
        // A partial sequence left from before a stop or a move to the background is
        // decided on by itself first, so that it does not join the next key typed
        // (ESC then q would read as Alt+Q).
        decode_source(src, now);
        read_source(src, now);
        decode_source(src, now);
        if (src.code_count > 0) {
            g_taking = &src;
            return true;
        }
    }
    return false;
}

int key_read() {
    KeySource* src = g_taking;
    if (src == nullptr || src->code_count == 0) {
        return 0;
    }
    const int code = src->codes[src->code_head];
    src->code_head = (src->code_head + 1) % sizeof src->codes;
    --src->code_count;
    return code;
}

void console_beep(uint32_t hz, uint32_t ms) {
    // The tone runs by itself (the kernel ends it), and a terminal's bell is the
    // terminal's: the wave goes on meanwhile.
    const int tty = g_tty;
    const unsigned long tone =
        (static_cast<unsigned long>(ms) << 16) | (hz > 0 ? kTimerHz / hz : 0);
    if (tty >= 0 && g_console && hz > 0 && ioctl(tty, KDMKTONE, tone) == 0) {
        g_sounding = 1;
    } else if (tty >= 0) {
        const ssize_t ignored = write(tty, "\a", 1);
        (void)ignored;
    }
}
