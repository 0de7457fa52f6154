// Naming the port from the command-line argument.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "serial/port.h"

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

// The port layer on a fake driver: the test binary is linked with ioctl and write
// wrapped, so on the pseudo-terminal below the driver's answers (queue, and
// "transmitter empty" where it gives one) come from a modelled line that sends
// every byte at the programmed rate and takes nothing back, as a USB adapter's
// driver does; a pseudo-terminal alone reports neither.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>

#include "serial/line_settings_linux.h"
#include "wave/clock.h"
#include "wave/rate_table.h"

namespace {

struct FakeLine {
    int fd = -1;
    int64_t hidden = 0;      // bytes the queue count leaves out (a FIFO, a chip's buffer)
    bool answers_lsr = true; // "transmitter empty" is answered, fresh
    int64_t frame = 0;       // programmed frame time
    int64_t end = 0;         // when the last byte taken leaves the pin
    int64_t under_other = 0; // bytes still to send when the settings changed
    int64_t lead_max = 0;    // the most line time ever ahead of the pin

    int64_t left(int64_t t) const { return end > t ? (end - t + frame - 1) / frame : 0; }
};

FakeLine g_fake;

} // namespace

extern "C" int __real_ioctl(int fd, unsigned long request, void* arg);
extern "C" ssize_t __real_write(int fd, const void* buf, size_t n);

extern "C" int __wrap_ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    if (fd != g_fake.fd || g_fake.fd < 0) {
        return __real_ioctl(fd, request, arg);
    }
    const int64_t now = monotonic_ns();
    switch (request) {
    case TIOCOUTQ:
        *static_cast<int*>(arg) =
            static_cast<int>(std::max<int64_t>(0, g_fake.left(now) - g_fake.hidden));
        return 0;
    case TIOCSERGETLSR:
        if (!g_fake.answers_lsr) {
            errno = ENOTTY;
            return -1;
        }
        *static_cast<unsigned*>(arg) = g_fake.left(now) == 0 ? TIOCSER_TEMT : 0;
        return 0;
    case TCSETS2: {
        // The line runs at what the port kept of the settings (a pseudo-terminal
        // keeps no parity).
        g_fake.under_other += g_fake.left(now);
        const int64_t rest = g_fake.left(now);
        const int result = __real_ioctl(fd, request, arg);
        PortSettings kept;
        __real_ioctl(fd, TCGETS2, &kept);
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
    const int64_t now = monotonic_ns();
    g_fake.end = std::max(g_fake.end, now) + static_cast<int64_t>(n) * g_fake.frame;
    g_fake.lead_max = std::max(g_fake.lead_max, g_fake.end - now);
    return static_cast<ssize_t>(n);
}

namespace {

void run_row(PortHandle port, PortSettings& settings, WriteRecord& write, int index, int64_t ns) {
    static unsigned char fill[kPulseBufferSize];
    const RateEntry& row = rate_table[index];
    port_set_line(settings, row.baud, 8, row.parity, row.stop_bits);
    EXPECT_TRUE(port_apply_settings(port, settings));
    std::memset(fill, row.fill, write_length(row));
    const int64_t end = monotonic_ns() + ns;
    while (monotonic_ns() < end) {
        port_start_write(port, 0, write, fill, write_length(row));
        while (!port_wait(port, 0, write, 200, false) && monotonic_ns() < end) {
        }
    }
    port_cancel(port, write); // the key, in the middle of a write
}

} // namespace

TEST(PortLinux, OnDriversThatTakeNothingBackNoByteGoesOutUnderOtherSettings) {
    // A UART (a 16-byte FIFO, "empty" answered) and a USB adapter that answers
    // nothing and hides 640 bytes.
    const struct {
        int64_t hidden;
        bool lsr;
    } drivers[] = {{16, true}, {640, false}};
    for (const auto& d : drivers) {
        const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(master, 0);
        grantpt(master);
        unlockpt(master);
        PortHandle port = -1;
        ASSERT_TRUE(port_open(ptsname(master), port));
        g_fake = FakeLine{};
        g_fake.fd = port;
        g_fake.hidden = d.hidden;
        g_fake.answers_lsr = d.lsr;
        WriteRecord write;
        port_init_write(write, 0);
        PortSettings settings;
        ASSERT_TRUE(port_read_settings(port, settings));
        run_row(port, settings, write, 24, 1500000000); // 57600 bit/s
        run_row(port, settings, write, 12, 500000000);  // 1200 bit/s
        run_row(port, settings, write, 28, 500000000);  // 115200 bit/s
        port_close(port);
        g_fake.fd = -1;
        close(master);
        SCOPED_TRACE(d.lsr ? "transmitter empty answered" : "nothing answered");
        EXPECT_EQ(g_fake.under_other, 0); // at both switches and when put back at the end
        EXPECT_LE(g_fake.lead_max, 60000000);
    }
}
