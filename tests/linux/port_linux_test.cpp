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
