#include "pty_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

void nonblocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// The stand-in shell. Never returns.
[[noreturn]] void helper_main(const Kelvor& k, const std::string& arg, Job job, int control,
                              int events, int out) {
    setsid();
    int tty = -1;
    if (job != Job::no_terminal) {
        tty = open(k.term.path.c_str(), O_RDWR | O_CLOEXEC); // becomes the controlling terminal
    }
    signal(SIGTTOU, SIG_IGN);
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        if (job == Job::foreground) {
            tcsetpgrp(tty, getpid());
        }
        signal(SIGTTOU, SIG_DFL);
        dup2(open("/dev/null", O_RDONLY), 0);
        dup2(out, 1);
        execl(KELVOR_BINARY, "kelvor", arg.c_str(), static_cast<char*>(nullptr));
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
                kill(pid, SIGKILL); // the test is gone
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

int64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

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
    k.helper = fork();
    if (k.helper == 0) {
        helper_main(k, arg, job, control[0], events[1], out[1]);
    }
    close(control[0]);
    close(events[1]);
    close(out[1]);
    k.control = control[1];
    k.events = events[0];
    k.out = out[0];
    read(k.events, &k.pid, sizeof k.pid);
    nonblocking(k.events);
    nonblocking(k.out);
}

void pump(Kelvor& k, int ms, bool early) {
    const int64_t end = now_ns() + int64_t{ms} * 1000000;
    for (int64_t now = now_ns(); now < end; now = now_ns()) {
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
            k.output_ns = now_ns();
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
            k.arrivals.push_back({now_ns(), static_cast<size_t>(n)});
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
    const int64_t end = now_ns() + int64_t{timeout_ms} * 1000000;
    while (k.output.find(text) == std::string::npos && now_ns() < end) {
        pump(k, 10, true);
    }
    return k.output.find(text) != std::string::npos;
}

namespace {
bool wait_for(Kelvor& k, const bool& flag, int timeout_ms) {
    const int64_t end = now_ns() + int64_t{timeout_ms} * 1000000;
    while (!flag && now_ns() < end) {
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
    // A burst starts where the far end saw nothing for 20 ms; count the bytes from
    // the first burst's start to the last burst's start.
    int64_t first = -1, last = -1;
    size_t bytes = 0, last_burst = 0;
    for (size_t i = 0; i < k.arrivals.size(); ++i) {
        const Arrival& a = k.arrivals[i];
        if (i == 0 || a.ns - k.arrivals[i - 1].ns > 20000000) {
            first = first < 0 ? a.ns : first;
            last = a.ns;
            bytes += last_burst;
            last_burst = 0;
        }
        last_burst += a.bytes;
    }
    return last > first ? bytes * 1e9 / static_cast<double>(last - first) : 0;
}

void finish(Kelvor& k) {
    if (!k.ended && k.pid > 0) {
        kill(k.pid, SIGKILL);
        wait_end(k, 2000);
    }
    for (int* fd : {&k.control, &k.events, &k.out}) {
        close(*fd);
        *fd = -1;
    }
    if (k.helper > 0) {
        waitpid(k.helper, nullptr, 0);
    }
    close_pty(k.term);
    close_pty(k.port);
}
