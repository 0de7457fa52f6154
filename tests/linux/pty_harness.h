// Runs the real kelvor over two pseudo-terminals: one is its serial port, the
// other its controlling terminal. A helper process stands in for the shell: it
// leads the terminal's session, runs kelvor as a job in a process group of its
// own, moves it to the foreground or background, and reports its stops and end.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "wave/clock.h" // monotonic_ns(), the clock kelvor itself uses

struct Pty {
    int master = -1;
    int slave = -1; // held open by the test, so settings stay readable
    std::string path;
};

enum class Job { foreground, background, no_terminal };

struct Arrival {
    int64_t ns; // monotonic time of the read
    size_t bytes;
};

// One kelvor under test. Its destructor ends kelvor and the helper (see finish),
// so a failed assertion that leaves the test early leaves no process behind.
struct Kelvor {
    Kelvor() = default;
    Kelvor(const Kelvor&) = delete;
    Kelvor& operator=(const Kelvor&) = delete;
    ~Kelvor();

    Pty port, term;
    pid_t helper = -1, pid = -1;
    int control = -1, events = -1, out = -1;
    std::string output;    // kelvor's standard output
    int64_t output_ns = 0; // when output last arrived
    std::string terminal;  // what kelvor wrote to its terminal
    bool drain_port = true;
    bool ignore_hangup = false;    // start kelvor with SIGHUP ignored, as nohup does
    int input = -1;                // kelvor's standard input (/dev/null when -1)
    std::vector<Arrival> arrivals; // reads of the port's far end
    std::array<size_t, 256> byte_counts{};
    bool stopped = false, ended = false;
    int status = 0; // wait status once ended
};

// Why kelvor cannot run on a pseudo-terminal here, or nullptr: it opens one only
// where /proc shows every process (a chroot may have no /proc, a container a
// process table of its own) and takes its keys from /dev/tty. Opens nothing.
inline const char* kelvor_cannot_run(bool keys) {
    struct stat st;
    if (access("/proc/1/stat", R_OK) != 0 ||
        (stat("/proc/self/ns/pid", &st) == 0 && st.st_ino != 0xEFFFFFFCu)) {
        return "/proc does not show every process (a chroot, a container): kelvor opens no port";
    }
    return keys && stat("/dev/tty", &st) != 0 ? "no /dev/tty for kelvor's keys" : nullptr;
}
#define SKIP_WHERE_KELVOR_CANNOT_RUN(keys)                                                         \
    if (const char* missing_here = kelvor_cannot_run(keys))                                        \
    GTEST_SKIP() << missing_here

Pty open_pty();
void close_pty(Pty& pty);
// Fills the pty until its far end, which nobody reads, takes no single byte more.
void stall_far_end(const Pty& pty);

// Starts kelvor with one argument. The ptys are created unless already open.
void start(Kelvor& k, const std::string& arg, Job job = Job::foreground);
// Reads everything that arrives for up to ms milliseconds; returns early after
// anything arrived when `early` is set.
void pump(Kelvor& k, int ms, bool early = false);
// Waits for text in kelvor's output; gives up at once when kelvor has ended.
bool wait_output(Kelvor& k, const std::string& text, int timeout_ms = 2000);
bool wait_end(Kelvor& k, int timeout_ms = 2000);
bool wait_stopped(Kelvor& k, int timeout_ms = 1000);
void press(Kelvor& k, const std::string& bytes);
// Puts kelvor in the foreground and continues it, as `fg` does.
void bring_to_foreground(Kelvor& k);
// Continues a stopped kelvor in the background, as `bg` does.
void continue_in_background(Kelvor& k);
void clear_port_stats(Kelvor& k);
// Bytes per second on the port's far end, over whole bursts (writes arrive in bursts).
double port_byte_rate(const Kelvor& k);
// Kills kelvor if it still runs, ends the helper and releases everything. Safe to
// call more than once; the destructor calls it.
void finish(Kelvor& k);
