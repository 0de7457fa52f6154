// The real kelvor over pseudo-terminals: start-up, line settings and bytes on the
// port, keys from the controlling terminal, ends by key and by signal, ports it
// must refuse, and job control.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>

#include "pty_harness.h"
#include "serial/line_settings_linux.h"
#include "wave/rate_table.h"

namespace {

const std::string kBanner = "\n    Kelvor by Varnholm\n";
const std::string kStart = kBanner + "       (freq:arrows, quit:space)\n\n";

std::string line(int row) {
    return std::string("\t") + rate_table[row].label + " Hz\n";
}

LineFrame port_frame(const Kelvor& k) {
    PortSettings s{};
    EXPECT_TRUE(line_read(k.port.slave, s));
    return line_frame(s);
}

int exclusive(const Kelvor& k) {
    int on = -1;
    ioctl(k.port.slave, TIOCGEXCL, &on);
    return on;
}

termios modes(int fd) {
    termios t{};
    tcgetattr(fd, &t);
    return t;
}

// The terminal as a fresh pseudo-terminal has it, i.e. as kelvor found it.
bool modes_as_found(const Kelvor& k) {
    Pty fresh = open_pty();
    const termios a = modes(fresh.slave), b = modes(k.term.slave);
    close_pty(fresh);
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_lflag == b.c_lflag &&
           std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

// The port's line settings as a fresh pseudo-terminal has them: kelvor puts back
// what it found.
bool port_as_found(const Kelvor& k) {
    Pty fresh = open_pty();
    const termios a = modes(fresh.slave), b = modes(k.port.slave);
    close_pty(fresh);
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_lflag == b.c_lflag &&
           a.c_cflag == b.c_cflag && cfgetospeed(&a) == cfgetospeed(&b);
}

// Keys without Enter or echo, Ctrl+C kept, and no Ctrl+S: a stopped terminal
// would block the frequency line and with it the whole loop.
bool keys_mode(const Kelvor& k) {
    const termios t = modes(k.term.slave);
    return (t.c_lflag & (ICANON | ECHO)) == 0 && (t.c_lflag & ISIG) != 0 && (t.c_iflag & IXON) == 0;
}

long cpu_ticks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string field;
    long ticks = 0;
    for (int i = 1; i <= 15 && stat >> field; ++i) {
        ticks += i >= 14 ? std::stol(field) : 0;
    }
    return ticks;
}

int exit_code(const Kelvor& k) {
    return WIFEXITED(k.status) ? WEXITSTATUS(k.status) : -1;
}

// Presses a key and expects the frequency line of `row` and its line speed.
void step(Kelvor& k, std::string& expected, const std::string& key, int row) {
    press(k, key);
    expected += line(row);
    ASSERT_TRUE(wait_output(k, expected)) << "row " << row << ", key " << key.substr(1);
    EXPECT_EQ(k.output, expected);
    const LineFrame f = port_frame(k);
    EXPECT_EQ(f.baud, rate_table[row].baud) << row;
    EXPECT_EQ(f.two_stop_bits, rate_table[row].stop_bits == kTwoStopBits) << row;
    EXPECT_EQ(f.data_bits, 8) << row;
}

void expect_only_byte(const Kelvor& k, unsigned char fill, double line_bytes_per_s) {
    size_t total = 0;
    for (size_t n : k.byte_counts) {
        total += n;
    }
    EXPECT_GT(total, 0u);
    EXPECT_EQ(k.byte_counts[fill], total);
    const double pace = port_byte_rate(k) / line_bytes_per_s;
    EXPECT_GT(pace, 0.9);
    EXPECT_LT(pace, 1.1);
}

} // namespace

TEST(KelvorPty, RunsTheWaveTakesKeysAndQuits) {
    Kelvor k;
    k.port = open_pty();
    start(k, k.port.path);
    std::string expected = kStart + line(13);
    ASSERT_TRUE(wait_output(k, expected));
    EXPECT_EQ(k.output, expected);

    // 800 Hz: 4800 bit/s, 8 bits, two stop bits (a pseudo-terminal drops parity), raw.
    LineFrame f = port_frame(k);
    EXPECT_EQ(f.baud, 4800u);
    EXPECT_EQ(f.data_bits, 8);
    EXPECT_TRUE(f.two_stop_bits);
    EXPECT_TRUE(f.raw);
    EXPECT_EQ(exclusive(k), 1);
    pump(k, 400);
    EXPECT_TRUE(keys_mode(k));
    clear_port_stats(k);
    pump(k, 1500);
    expect_only_byte(k, 0x1C, 4800 / 11.0);

    // Bytes arriving on the port are neither echoed into the wave nor stop it.
    write(k.port.master, "\x13xyz\r\n", 6);
    step(k, expected, "\x1b[A", 14);
    EXPECT_EQ(k.terminal.find('\a'), std::string::npos);
    pump(k, 500);
    clear_port_stats(k);
    pump(k, 1200);
    expect_only_byte(k, 0xF0, 9600 / 10.0);

    // Back to an even-parity row: the pseudo-terminal refuses it, so it beeps on
    // the terminal (and not into the redirected output).
    step(k, expected, "\x1bOB", 13);
    EXPECT_NE(k.terminal.find('\a'), std::string::npos);
    step(k, expected, "\x1b[D", 12);
    step(k, expected, "\x1b[C", 11);
    step(k, expected, "+", 12);
    step(k, expected, "=", 13);

    press(k, "q");
    ASSERT_TRUE(wait_end(k));
    EXPECT_EQ(exit_code(k), 0);
    EXPECT_EQ(k.output, expected);
    EXPECT_TRUE(modes_as_found(k));
    EXPECT_TRUE(port_as_found(k));
    EXPECT_EQ(exclusive(k), 0);
    finish(k);
}

TEST(KelvorPty, WalksEveryRowAndClampsAtBothEnds) {
    const char* lower[] = {"\x1b[B", "\x1bOB",  "\x1b[D",    "\x1b[C",   "-",
                           "_",      "\x1b[6~", "\x1b[1;5A", "\x1b[24~", "\x1b[3~",
                           "\x1b[H", "\x1b[4~", "\x1b[2~"};
    const char* raise[] = {"\x1b[A", "\x1bOA", "+", "=", "\x1b[1;2A", "\x1bOR"};
    Kelvor k;
    k.port = open_pty();
    start(k, k.port.path);
    std::string expected = kStart + line(13);
    ASSERT_TRUE(wait_output(k, expected));
    for (int row = 12, i = 0; row >= 0; --row, ++i) {
        step(k, expected, lower[i], row);
    }
    press(k, "\x1b[B");
    pump(k, 600);
    EXPECT_EQ(k.output, expected);
    for (int row = 1, i = 0; row <= kTopIndex; ++row, ++i) {
        step(k, expected, raise[i % 6], row);
    }
    press(k, "\x1b[A");
    pump(k, 600);
    EXPECT_EQ(k.output, expected);
    press(k, " ");
    ASSERT_TRUE(wait_end(k));
    EXPECT_EQ(exit_code(k), 0);
    finish(k);
}

TEST(KelvorPty, EndsBySignalWithTerminalAndPortGivenBack) {
    Kelvor k;
    k.port = open_pty();
    start(k, k.port.path);
    ASSERT_TRUE(wait_output(k, line(13)));
    press(k, "\x03"); // Ctrl+C
    ASSERT_TRUE(wait_end(k));
    EXPECT_TRUE(WIFSIGNALED(k.status) && WTERMSIG(k.status) == SIGINT);
    EXPECT_EQ(k.output, kStart + line(13));
    EXPECT_TRUE(modes_as_found(k));
    EXPECT_TRUE(port_as_found(k));
    EXPECT_EQ(exclusive(k), 0);
    finish(k);

    // Without a controlling terminal no key is seen and the wave runs until stopped.
    Kelvor bare;
    bare.port = open_pty();
    start(bare, bare.port.path, Job::no_terminal);
    ASSERT_TRUE(wait_output(bare, line(13)));
    pump(bare, 400);
    clear_port_stats(bare);
    pump(bare, 1000);
    expect_only_byte(bare, 0x1C, 4800 / 11.0);
    kill(bare.pid, SIGTERM);
    ASSERT_TRUE(wait_end(bare));
    EXPECT_TRUE(WIFSIGNALED(bare.status) && WTERMSIG(bare.status) == SIGTERM);
    EXPECT_EQ(bare.output, kStart + line(13));
    EXPECT_EQ(exclusive(bare), 0);
    finish(bare);
}

TEST(KelvorPty, RefusesPortsItCannotOwn) {
    Kelvor first;
    first.port = open_pty();
    start(first, first.port.path);
    ASSERT_TRUE(wait_output(first, line(13)));

    char dir[] = "/tmp/kelvor-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string missing = std::string(dir) + "/port";
    Pty own_term = open_pty();
    struct Case {
        std::string arg;
        int status;
    } cases[] = {
        {first.port.path, 254},                                 // held by the first kelvor
        {"/dev/null", 252},                                     // not a terminal
        {missing, 254},         {"/dev/tty", 254},              // kelvor's own terminal
        {own_term.path, 254},   {std::string(3000, 'x'), 254}}; // does not fit the path buffer
    for (const Case& c : cases) {
        Kelvor k;
        if (c.arg == own_term.path) {
            k.term = own_term;
        }
        start(k, c.arg);
        ASSERT_TRUE(wait_end(k)) << c.arg;
        EXPECT_EQ(exit_code(k), c.status) << c.arg;
        EXPECT_EQ(k.output, kBanner) << c.arg;
        finish(k);
    }
    struct stat st;
    EXPECT_NE(stat(missing.c_str(), &st), 0);
    rmdir(dir);

    pump(first, 300);
    EXPECT_FALSE(first.ended);
    press(first, "Q");
    ASSERT_TRUE(wait_end(first));
    EXPECT_EQ(exit_code(first), 0);
    finish(first);
}

TEST(KelvorPty, QuitsWhenTheFarEndStallsOrIsGone) {
    // Nobody reads the far end and the pseudo-terminal is full: no write completes.
    Kelvor stalled;
    stalled.port = open_pty();
    stalled.drain_port = false;
    stall_far_end(stalled.port);
    start(stalled, stalled.port.path);
    ASSERT_TRUE(wait_output(stalled, line(13)));
    pump(stalled, 300);
    press(stalled, "q");
    const int64_t pressed = now_ns();
    ASSERT_TRUE(wait_end(stalled));
    EXPECT_LT(now_ns() - pressed, 1000000000);
    EXPECT_EQ(exit_code(stalled), 0);
    finish(stalled);

    // The far end is gone (writes fail with EIO): no spinning, and keys still work.
    Kelvor gone;
    gone.port = open_pty();
    start(gone, gone.port.path);
    ASSERT_TRUE(wait_output(gone, line(13)));
    close(gone.port.master);
    gone.port.master = -1;
    gone.drain_port = false;
    pump(gone, 300);
    const long ticks = cpu_ticks(gone.pid);
    pump(gone, 1000);
    EXPECT_LT(cpu_ticks(gone.pid) - ticks, 5);
    std::string expected = gone.output;
    step(gone, expected, "\x1b[A", 14);
    press(gone, "q");
    ASSERT_TRUE(wait_end(gone));
    EXPECT_EQ(exit_code(gone), 0);
    finish(gone);
}

TEST(KelvorPty, GivesTheTerminalBackWhileStoppedOrInTheBackground) {
    Kelvor k;
    k.port = open_pty();
    start(k, k.port.path);
    std::string expected = kStart + line(13);
    ASSERT_TRUE(wait_output(k, expected));
    press(k, "\x1a"); // Ctrl+Z
    ASSERT_TRUE(wait_stopped(k));
    EXPECT_TRUE(modes_as_found(k));
    bring_to_foreground(k);
    for (int i = 0; i < 100 && !keys_mode(k); ++i) {
        pump(k, 10);
    }
    EXPECT_TRUE(keys_mode(k));
    step(k, expected, "\x1b[A", 14);

    // Keys typed before a Ctrl+Z do nothing while kelvor goes on in the background.
    press(k, "+++");
    expected += line(15);
    ASSERT_TRUE(wait_output(k, expected));
    press(k, "\x1a");
    ASSERT_TRUE(wait_stopped(k));
    expected = k.output;
    continue_in_background(k);
    pump(k, 300);
    clear_port_stats(k);
    pump(k, 1000);
    EXPECT_EQ(k.output, expected);
    EXPECT_FALSE(k.ended);
    EXPECT_FALSE(k.arrivals.empty()) << "the wave goes on in the background";
    bring_to_foreground(k);
    press(k, "q");
    ASSERT_TRUE(wait_end(k));
    finish(k);

    // Started in the background: keys wait in the terminal, kelvor neither stops
    // nor spins, and takes them once brought to the foreground.
    Kelvor bg;
    bg.port = open_pty();
    start(bg, bg.port.path, Job::background);
    expected = kStart + line(13);
    ASSERT_TRUE(wait_output(bg, expected));
    press(bg, "\x1b[A");
    const long ticks = cpu_ticks(bg.pid);
    pump(bg, 800);
    EXPECT_LT(cpu_ticks(bg.pid) - ticks, 5);
    EXPECT_EQ(bg.output, expected);
    EXPECT_FALSE(bg.stopped || bg.ended);
    EXPECT_TRUE(modes_as_found(bg));
    bring_to_foreground(bg);
    step(bg, expected, "", 14);
    press(bg, "q");
    ASSERT_TRUE(wait_end(bg));
    EXPECT_EQ(exit_code(bg), 0);
    EXPECT_TRUE(modes_as_found(bg));
    finish(bg);
}
