#include "pty_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void nonblocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// Dies with its parent. False when the parent is already gone.
bool die_with_parent(pid_t parent) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    return getppid() == parent;
}

// The stand-in shell. Never returns. It ends kelvor and itself as soon as the test
// is gone: its control pipe then reads end-of-file (the helper keeps no other
// descriptor of the test, so nothing else holds the pipe open), and, should the
// helper be killed, kelvor dies with it.
[[noreturn]] void helper_main(const Kelvor& k, const std::string& arg, Job job, int control,
                              int events, int out, pid_t test) {
    if (!die_with_parent(test)) {
        _exit(1);
    }
    for (int fd = 3; fd < 1024; ++fd) {
        if (fd != control && fd != events && fd != out && fd != k.input) {
            close(fd);
        }
    }
    signal(SIGHUP, SIG_IGN); // outlives a hang-up of its terminal, to report on kelvor
    const pid_t helper = getpid();
    setsid();
    int tty = -1;
    if (job != Job::no_terminal) {
        tty = open(k.term.path.c_str(), O_RDWR | O_CLOEXEC); // becomes the controlling terminal
    }
    signal(SIGTTOU, SIG_IGN);
    const pid_t pid = fork();
    if (pid == 0) {
        if (!die_with_parent(helper)) {
            _exit(1);
        }
        setpgid(0, 0);
        if (job == Job::foreground) {
            tcsetpgrp(tty, getpid());
        }
        signal(SIGTTOU, SIG_DFL);
        signal(SIGHUP, k.ignore_hangup ? SIG_IGN : SIG_DFL);
        const rlimit no_core = {0, 0}; // tests end kelvor by fault signals too
        setrlimit(RLIMIT_CORE, &no_core);
        dup2(k.input >= 0 ? k.input : open("/dev/null", O_RDONLY), 0);
        dup2(out, 1);
        execl(KELVOR_BINARY, "kelvor", arg.c_str(), static_cast<char*>(nullptr));
        std::fprintf(stderr, "pty harness: cannot run %s: %s\n", KELVOR_BINARY,
                     std::strerror(errno));
        _exit(127);
    }
    setpgid(pid, pid);
    if (job == Job::foreground) {
        tcsetpgrp(tty, pid);
    }
    write(events, &pid, sizeof pid);
    for (;;) {
        pollfd p = {control, POLLIN, 0};
        if (poll(&p, 1, 10) > 0) {
            char c = 0;
            if (read(control, &c, 1) != 1) {
                kill(pid, SIGKILL); // the test is gone or done
                waitpid(pid, nullptr, 0);
                _exit(0);
            } else {
                if (c == 'f') {
                    tcsetpgrp(tty, pid); // fg; 'b' is bg
                }
                kill(-pid, SIGCONT);
            }
        }
        int status = 0;
        if (waitpid(pid, &status, WNOHANG | WUNTRACED) == pid) {
            write(events, &status, sizeof status);
            if (!WIFSTOPPED(status)) {
                _exit(0);
            }
            if (tty >= 0) {
                tcsetpgrp(tty, getpgrp()); // a shell takes its terminal back from a stopped job
            }
        }
    }
}

} // namespace

Pty open_pty() {
    Pty p;
    p.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    grantpt(p.master);
    unlockpt(p.master);
    p.path = ptsname(p.master);
    p.slave = open(p.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    nonblocking(p.master);
    return p;
}

void close_pty(Pty& pty) {
    for (int* fd : {&pty.master, &pty.slave}) {
        if (*fd >= 0) {
            close(*fd);
        }
        *fd = -1;
    }
}

void stall_far_end(const Pty& pty) {
    termios raw; // as kelvor will set it: output processing takes room of its own
    tcgetattr(pty.slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(pty.slave, TCSANOW, &raw);
    const std::string fill(4096, 'x');
    for (bool took = true; took; usleep(100000)) {
        took = false;
        for (size_t len = fill.size(); len > 0; len /= 2) {
            while (write(pty.slave, fill.data(), len) > 0) {
                took = true;
            }
        }
    }
}

void start(Kelvor& k, const std::string& arg, Job job) {
    if (k.port.master < 0) {
        k.port = open_pty();
    }
    if (k.term.master < 0) {
        k.term = open_pty();
    }
    int control[2], events[2], out[2];
    pipe2(control, O_CLOEXEC);
    pipe2(events, O_CLOEXEC);
    pipe2(out, O_CLOEXEC);
    fflush(nullptr);
    const pid_t test = getpid();
    k.helper = fork();
    if (k.helper == 0) {
        helper_main(k, arg, job, control[0], events[1], out[1], test);
    }
    close(control[0]);
    close(events[1]);
    close(out[1]);
    k.control = control[1];
    k.events = events[0];
    k.out = out[0];
    if (read(k.events, &k.pid, sizeof k.pid) != sizeof k.pid) {
        std::fprintf(stderr, "pty harness: the helper did not start kelvor\n");
        k.pid = -1;
        k.ended = true;
    }
    nonblocking(k.events);
    nonblocking(k.out);
}

void pump(Kelvor& k, int ms, bool early) {
    const int64_t end = monotonic_ns() + int64_t{ms} * 1000000;
    for (int64_t now = monotonic_ns(); now < end; now = monotonic_ns()) {
        pollfd fds[4] = {{k.out, POLLIN, 0},
                         {k.events, POLLIN, 0},
                         {k.term.master, POLLIN, 0},
                         {k.drain_port ? k.port.master : -1, POLLIN, 0}};
        if (poll(fds, 4, static_cast<int>((end - now) / 1000000) + 1) <= 0) {
            continue;
        }
        char buf[8192];
        ssize_t n;
        while ((n = read(k.out, buf, sizeof buf)) > 0) {
            k.output.append(buf, static_cast<size_t>(n));
            k.output_ns = monotonic_ns();
        }
        while ((n = read(k.term.master, buf, sizeof buf)) > 0) {
            k.terminal.append(buf, static_cast<size_t>(n));
        }
        int status;
        while (read(k.events, &status, sizeof status) == sizeof status) {
            k.stopped = WIFSTOPPED(status);
            k.ended = !k.stopped;
            k.status = status;
        }
        while (k.drain_port && (n = read(k.port.master, buf, sizeof buf)) > 0) {
            k.arrivals.push_back({monotonic_ns(), static_cast<size_t>(n)});
            for (ssize_t i = 0; i < n; ++i) {
                ++k.byte_counts[static_cast<unsigned char>(buf[i])];
            }
        }
        if (early) {
            return;
        }
    }
}

bool wait_output(Kelvor& k, const std::string& text, int timeout_ms) {
    const int64_t end = monotonic_ns() + int64_t{timeout_ms} * 1000000;
    while (k.output.find(text) == std::string::npos && !k.ended && monotonic_ns() < end) {
        pump(k, 10, true);
    }
    if (k.ended) {
        pump(k, 10); // what it printed before it ended
    }
    return k.output.find(text) != std::string::npos;
}

namespace {
bool wait_for(Kelvor& k, const bool& flag, int timeout_ms) {
    const int64_t end = monotonic_ns() + int64_t{timeout_ms} * 1000000;
    while (!flag && monotonic_ns() < end) {
        pump(k, 10, true);
    }
    return flag;
}
} // namespace

bool wait_end(Kelvor& k, int timeout_ms) {
    return wait_for(k, k.ended, timeout_ms);
}

bool wait_stopped(Kelvor& k, int timeout_ms) {
    return wait_for(k, k.stopped, timeout_ms);
}

void press(Kelvor& k, const std::string& bytes) {
    write(k.term.master, bytes.data(), bytes.size());
}

void bring_to_foreground(Kelvor& k) {
    write(k.control, "f", 1);
    k.stopped = false;
}

void continue_in_background(Kelvor& k) {
    write(k.control, "b", 1);
    k.stopped = false;
}

void clear_port_stats(Kelvor& k) {
    k.arrivals.clear();
    k.byte_counts.fill(0);
}

double port_byte_rate(const Kelvor& k) {
    // The bytes read before the last read, over the time from the first to it.
    size_t bytes = 0;
    for (size_t i = 0; i + 1 < k.arrivals.size(); ++i) {
        bytes += k.arrivals[i].bytes;
    }
    const int64_t span = k.arrivals.size() > 1 ? k.arrivals.back().ns - k.arrivals[0].ns : 0;
    return span > 0 ? bytes * 1e9 / static_cast<double>(span) : 0;
}

void finish(Kelvor& k) {
    if (!k.ended && k.pid > 0) {
        kill(k.pid, SIGKILL);
        wait_end(k, 2000);
    }
    for (int* fd : {&k.control, &k.events, &k.out}) {
        if (*fd >= 0) {
            close(*fd); // the helper reads end-of-file on control and ends
        }
        *fd = -1;
    }
    if (k.helper > 0) {
        int64_t give_up = monotonic_ns() + 2000000000;
        while (waitpid(k.helper, nullptr, WNOHANG) == 0) {
            if (monotonic_ns() > give_up) {
                kill(k.helper, SIGKILL); // kelvor dies with it
                give_up = INT64_MAX;
            }
            usleep(1000);
        }
        k.helper = -1;
    }
    k.pid = -1;
    close_pty(k.term);
    close_pty(k.port);
}

Kelvor::~Kelvor() {
    finish(*this);
}
