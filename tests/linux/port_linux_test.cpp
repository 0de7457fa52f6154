// Naming the port from the command-line argument, opening the node judged, and
// the port layer on a driver that takes nothing back.
#include <gtest/gtest.h>

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "pty_harness.h"
#include "serial/device_linux.h"
#include "serial/line_pace.h"
#include "serial/line_settings_linux.h"
#include "serial/port.h"
#include "wave/clock.h"
#include "wave/rate_table.h"

TEST(PortLinux, NamesThePortWithoutOverrunningTheBuffer) {
    char buf[32];
    const struct {
        const char* arg;
        std::string path;
    } cases[] = {{"ttyUSB0", "/dev/ttyUSB0"},
                 {"/dev/ttyACM1", "/dev/ttyACM1"},
                 {"./here", "./here"},
                 // Digits name a built-in port; the path is only built here, never opened.
                 {"12", "/dev/ttyS12"},
                 {"1a", "/dev/1a"}};
    for (const auto& c : cases) {
        ASSERT_TRUE(port_make_path(c.arg, buf, sizeof buf)) << c.arg;
        EXPECT_EQ(std::string(buf), c.path);
    }
    char guarded[20];
    std::memset(guarded, '#', sizeof guarded);
    EXPECT_TRUE(port_make_path("abcdefghij", guarded, 16)); // "/dev/" + 10 + NUL
    EXPECT_FALSE(port_make_path("abcdefghijk", guarded, 16));
    EXPECT_FALSE(port_make_path("/0123456789abcdef", guarded, 16));
    EXPECT_EQ(std::string(guarded + 16, 4), "####");
}

namespace {

struct PtyPair {
    int master;
    std::string path;
};

PtyPair new_pty() {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    grantpt(master);
    unlockpt(master);
    return {master, ptsname(master)};
}

} // namespace

// The node judged is the node opened: the path's node is swapped for another
// free pseudo-terminal between the verdict and the open, and the open still gets
// the judged one; the node swapped in is never opened (inotify sees every open).
TEST(PortLinux, OpensTheJudgedNodeWhenThePathIsSwappedMeanwhile) {
    SKIP_WHERE_KELVOR_CANNOT_RUN(false);
    const PtyPair judged = new_pty(), swapped_in = new_pty();
    char dir[] = "/tmp/kelvor-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string port = std::string(dir) + "/port", next = std::string(dir) + "/next";
    ASSERT_EQ(symlink(judged.path.c_str(), port.c_str()), 0);
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    inotify_add_watch(watch, "/dev/pts", IN_OPEN);

    const int node = node_handle(port.c_str());
    const int proc = proc_folder();
    struct stat st;
    EXPECT_EQ(judge_node(node_facts(node, proc, st)), NodeVerdict::open_it);
    ASSERT_EQ(symlink(swapped_in.path.c_str(), next.c_str()), 0);
    ASSERT_EQ(rename(next.c_str(), port.c_str()), 0);
    const int fd = open_node(node, proc);
    ASSERT_GE(fd, 0);
    struct stat opened, swapped;
    ASSERT_EQ(fstat(fd, &opened), 0);
    ASSERT_EQ(stat(swapped_in.path.c_str(), &swapped), 0);
    EXPECT_TRUE(is_judged_node(fd, st));
    EXPECT_NE(opened.st_rdev, swapped.st_rdev);

    std::set<std::string> names;
    alignas(inotify_event) char buf[4096];
    for (ssize_t n; (n = read(watch, buf, sizeof buf)) > 0;) {
        for (char* p = buf; p < buf + n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(p);
            names.insert(e->len > 0 ? e->name : "");
            p += sizeof(inotify_event) + e->len;
        }
    }
    const auto name = [](const std::string& path) { return path.substr(path.rfind('/') + 1); };
    EXPECT_EQ(names.count(name(judged.path)), 1u);
    EXPECT_EQ(names.count(name(swapped_in.path)), 0u) << "the node swapped in was opened";

    for (const int held : {fd, node, proc, watch, judged.master, swapped_in.master}) {
        close(held);
    }
    unlink(port.c_str());
    rmdir(dir);
}

// The port layer on a fake driver: the test binary is linked with ioctl, write
// and close wrapped (and the sysfs look-up of the driver's drain), so on the
// pseudo-terminal below the driver's answers (queue, drain, settings) come from a
// modelled line that sends every byte at the programmed rate and takes nothing
// back, as a USB adapter's driver does; a pseudo-terminal alone reports neither.
namespace {

struct FakeLine {
    int fd = -1;
    int64_t hidden = 0;        // bytes the queue count leaves out (a FIFO, a chip's buffer)
    bool drains_to_pin = true; // the drain waits for the pin, not only for the queue
    double read_back = 1.0;    // the rate read back (and run) over the one asked
    int64_t frame = 0;         // programmed frame time
    int64_t end = 0;           // when the last byte taken leaves the pin
    int64_t held_at = -1;      // the line stops sending here (flow control)
    bool gone = false;         // the adapter is pulled out: every call fails with EIO
    int64_t under_other = 0;   // bytes still to send when the settings changed
    int64_t lead_max = 0;      // the most line time ever ahead of the pin

    int64_t at(int64_t t) const { return held_at >= 0 ? std::min(t, held_at) : t; }
    int64_t left(int64_t t) const { return end > at(t) ? (end - at(t) + frame - 1) / frame : 0; }
};

FakeLine g_fake;

// Sleeps a tick; false when a signal ended the sleep.
bool tick() {
    const timespec ns = {0, 4000000};
    return nanosleep(&ns, nullptr) == 0;
}

} // namespace

extern "C" int __real_ioctl(int fd, unsigned long request, void* arg);
extern "C" ssize_t __real_write(int fd, const void* buf, size_t n);
extern "C" int __real_close(int fd);

extern "C" bool __wrap__Z20device_drains_to_pinRK4statb(const struct stat&, bool) {
    return g_fake.drains_to_pin;
}

extern "C" int __wrap_ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    if (fd != g_fake.fd || g_fake.fd < 0) {
        return __real_ioctl(fd, request, arg);
    }
    if (g_fake.gone) {
        errno = EIO;
        return -1;
    }
    const int64_t now = monotonic_ns();
    switch (request) {
    case TIOCOUTQ:
        *static_cast<int*>(arg) =
            static_cast<int>(std::max<int64_t>(0, g_fake.left(now) - g_fake.hidden));
        return 0;
    case TCSBRK: // the drain: until the queue (or the pin) is empty, a tick at a time
        while (g_fake.left(monotonic_ns()) > (g_fake.drains_to_pin ? 0 : g_fake.hidden)) {
            if (!tick()) {
                errno = EINTR;
                return -1;
            }
        }
        return 0;
    case TCGETS2: {
        const int result = __real_ioctl(fd, request, arg);
        auto* got = static_cast<PortSettings*>(arg);
        got->c_ospeed = got->c_ispeed = static_cast<uint32_t>(got->c_ospeed * g_fake.read_back);
        return result;
    }
    case TCSETS2: {
        // The line runs at what the port kept of the settings (a pseudo-terminal
        // keeps no parity), at the rate read back.
        g_fake.under_other += g_fake.left(now);
        const int64_t rest = g_fake.left(now);
        const int result = __real_ioctl(fd, request, arg);
        PortSettings kept;
        __wrap_ioctl(fd, TCGETS2, &kept);
        g_fake.frame = line_frame_ns(kept);
        g_fake.end = now + rest * g_fake.frame;
        return result;
    }
    default:
        break;
    }
    return __real_ioctl(fd, request, arg);
}

extern "C" ssize_t __wrap_write(int fd, const void* buf, size_t n) {
    if (fd != g_fake.fd || g_fake.fd < 0) {
        return __real_write(fd, buf, n);
    }
    if (g_fake.gone) {
        errno = EIO;
        return -1;
    }
    const int64_t now = monotonic_ns();
    g_fake.end = std::max(g_fake.end, now) + static_cast<int64_t>(n) * g_fake.frame;
    g_fake.lead_max = std::max(g_fake.lead_max, g_fake.end - now);
    return static_cast<ssize_t>(n);
}

// The kernel's close waits up to 30 s for a held line's output (here 3 s); a
// signal ends that wait.
extern "C" int __wrap_close(int fd) {
    if (fd == g_fake.fd && fd >= 0 && g_fake.held_at >= 0) {
        for (int i = 0; i < 750 && g_fake.left(monotonic_ns()) > 0 && tick(); ++i) {
        }
    }
    return __real_close(fd);
}

namespace {

struct FakePort {
    PtyPair pty = new_pty();
    PortHandle port = -1;
    WriteRecord write{};
    PortSettings settings{};
};

void open_fake(FakePort& f, const FakeLine& line) {
    g_fake = line;
    ASSERT_TRUE(port_open(f.pty.path.c_str(), f.port));
    g_fake.fd = f.port;
    port_init_write(f.write, 0);
    ASSERT_TRUE(port_read_settings(f.port, f.settings));
}

void close_fake(FakePort& f) {
    port_close(f.port);
    g_fake.fd = -1;
    close(f.pty.master);
}

// A row for ns, then the key: in the middle of a write. Returns whether the port
// took the row.
bool run_row(FakePort& f, int index, int64_t ns) {
    static unsigned char fill[kPulseBufferSize];
    const RateEntry& row = rate_table[index];
    port_set_line(f.settings, row.baud, 8, row.parity, row.stop_bits);
    const bool taken = port_apply_settings(f.port, f.settings);
    std::memset(fill, row.fill, write_length(row));
    const int64_t end = monotonic_ns() + ns;
    while (monotonic_ns() < end && !port_lost(f.port)) {
        port_start_write(f.port, 0, f.write, fill, write_length(row));
        while (!port_wait(f.port, 0, f.write, 200, false) && monotonic_ns() < end &&
               !port_lost(f.port)) {
        }
    }
    port_cancel(f.port, f.write);
    return taken;
}

} // namespace

TEST(PortLinux, OnDriversThatTakeNothingBackNoByteGoesOutUnderOtherSettings) {
    SKIP_WHERE_KELVOR_CANNOT_RUN(false);
    // A UART (a 16-byte FIFO), a USB adapter that hides 640 bytes and reads back
    // a rate a little above the one asked, both with a drain that reaches the
    // pin; one whose drain only empties the driver's queue, at its nominal rate.
    FakeLine drivers[3];
    drivers[0].hidden = 16;
    drivers[1].hidden = 640;
    drivers[1].read_back = 1.008;
    drivers[2].hidden = 256;
    drivers[2].drains_to_pin = false;
    for (const FakeLine& d : drivers) {
        SCOPED_TRACE(d.hidden);
        FakePort f;
        open_fake(f, d);
        EXPECT_TRUE(run_row(f, 24, 1500000000)); // 57600 bit/s
        EXPECT_TRUE(run_row(f, 12, 500000000));  // 1200 bit/s
        EXPECT_TRUE(run_row(f, 28, 500000000));  // 115200 bit/s
        close_fake(f);
        EXPECT_EQ(g_fake.under_other, 0); // at both switches and when put back at the end
        EXPECT_LE(g_fake.lead_max, kLeadFloorNs + kLeadStepNs + 9000000); // a frame at 1200
    }
}

// A line held back keeps the bytes handed in: a switch is refused, and the end
// gives up waiting for them and cuts the kernel's close short.
TEST(PortLinux, OnAHeldLineASwitchIsRefusedAndTheEndComesPromptly) {
    SKIP_WHERE_KELVOR_CANNOT_RUN(false);
    FakePort f;
    open_fake(f, FakeLine{});
    g_fake.held_at = monotonic_ns() + 300000000;
    EXPECT_TRUE(run_row(f, 13, 500000000));
    EXPECT_FALSE(run_row(f, 14, 100000000));
    EXPECT_EQ(g_fake.under_other, 0);
    const int64_t key = monotonic_ns();
    close_fake(f); // the held bytes go out at the settings put back once released
    EXPECT_LT(monotonic_ns() - key, 300000000);
}

// An adapter pulled out: every call fails with EIO. The wait ends at once, the
// port is lost, and the end does not wait for it.
TEST(PortLinux, AnAdapterPulledOutIsLost) {
    SKIP_WHERE_KELVOR_CANNOT_RUN(false);
    FakePort f;
    open_fake(f, FakeLine{});
    EXPECT_TRUE(run_row(f, 13, 200000000));
    EXPECT_FALSE(port_lost(f.port));
    g_fake.gone = true;
    const int64_t pulled = monotonic_ns();
    run_row(f, 13, 2000000000);
    EXPECT_TRUE(port_lost(f.port));
    close_fake(f);
    EXPECT_LT(monotonic_ns() - pulled, 300000000);
}
