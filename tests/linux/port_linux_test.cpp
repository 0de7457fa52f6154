// Port naming and line settings on a pseudo-terminal.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "pty_harness.h"
#include "serial/line_settings_linux.h"
#include "serial/port.h"
#include "wave/rate_table.h"

TEST(PortLinux, NamesThePortWithoutOverrunningTheBuffer) {
    char buf[32];
    const struct {
        const char* arg;
        std::string path;
    } cases[] = {{"ttyUSB0", "/dev/ttyUSB0"},
                 {"/dev/ttyACM1", "/dev/ttyACM1"},
                 {"./here", "./here"},
                 {"12", "/dev/tty" + std::string("S") + "12"},
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

TEST(PortLinux, EveryRowReadsBackAndParityRefusalIsSeen) {
    Pty pty = open_pty();
    PortSettings s{};
    ASSERT_TRUE(line_read(pty.slave, s));
    for (const RateEntry& row : rate_table) {
        line_set(s, row.baud, 8, row.parity, row.stop_bits);
        ASSERT_TRUE(line_write(pty.slave, s));
        PortSettings back{};
        ASSERT_TRUE(line_read(pty.slave, back));
        EXPECT_EQ(line_frame(back).baud, row.baud);
        EXPECT_EQ(line_frame(back).two_stop_bits, row.stop_bits == kTwoStopBits);
        // A pseudo-terminal always drops the parity bit: those rows count as refused.
        EXPECT_EQ(line_matches(s, back), row.parity == kNoParity) << row.label;
    }
    close_pty(pty);
}
