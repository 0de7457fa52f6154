// Which paths kelvor opens as a serial port, from the facts gathered before the open.
#include <gtest/gtest.h>

#include <string>

#include "serial/device_verdict.h"

namespace {

NodeFacts char_device(uint32_t major, uint32_t minor, int tty_class, bool on_devpts = false,
                      int in_session = 0, bool kernel_console = false) {
    return {NodeKind::char_device, major, minor, tty_class, on_devpts, kernel_console, in_session};
}

NodeFacts node(NodeKind kind) {
    return {kind, 0, 0, 0, false, false, 0};
}

} // namespace

TEST(DeviceVerdict, OpensOnlyTerminalsThatNoOtherSessionUses) {
    const struct {
        const char* what;
        NodeFacts facts;
        NodeVerdict verdict;
    } cases[] = {
        {"missing path", node(NodeKind::missing), NodeVerdict::cannot_open},
        {"USB adapter (188:0, tty class)", char_device(188, 0, 1), NodeVerdict::open_it},
        {"built-in port (4:64, tty class)", char_device(4, 64, 1), NodeVerdict::open_it},
        {"pty slave on devpts", char_device(136, 3, 0, true), NodeVerdict::open_it},
        {"pty slave node elsewhere", char_device(137, 9, 0), NodeVerdict::open_it},
        {"pty slave without sysfs", char_device(143, 0, -1), NodeVerdict::open_it},
        {"just below the pty majors", char_device(135, 0, 0), NodeVerdict::not_a_port},
        {"just above the pty majors", char_device(144, 0, 0), NodeVerdict::not_a_port},
        {"/dev/null (1:3, mem class)", char_device(1, 3, 0), NodeVerdict::not_a_port},
        {"watchdog (10:130, misc class)", char_device(10, 130, 0), NodeVerdict::not_a_port},
        {"serial major but no sysfs", char_device(4, 64, -1), NodeVerdict::not_a_port},
        {"getty's serial line", char_device(4, 64, 1, false, 1), NodeVerdict::cannot_open},
        {"someone's shell pty", char_device(136, 5, 0, true, 1), NodeVerdict::cannot_open},
        {"terminal, sessions unknown (no /proc)", char_device(188, 0, 1, false, -1),
         NodeVerdict::cannot_open},
        {"pty, sessions unknown", char_device(136, 5, 0, true, -1), NodeVerdict::cannot_open},
        // Aliases and consoles, by their numbers wherever the node lives. The names
        // are labels only: these are facts handed to the decision, nothing is
        // opened or looked up.
        {"/dev/tty (5:0)", char_device(5, 0, 1), NodeVerdict::not_a_port},
        {"/dev/console (5:1)", char_device(5, 1, 1), NodeVerdict::not_a_port},
        {"/dev/ptmx (5:2)", char_device(5, 2, 1), NodeVerdict::not_a_port},
        {"/dev/tty0 (4:0)", char_device(4, 0, 1), NodeVerdict::not_a_port},
        {"virtual console tty1", char_device(4, 1, 1), NodeVerdict::not_a_port},
        {"virtual console tty63", char_device(4, 63, 1), NodeVerdict::not_a_port},
        {"first built-in port ttyS0 (4:64)", char_device(4, 64, 1), NodeVerdict::open_it},
        // A port that carries the kernel's console, with a login on it or none (labels
        // only, as above).
        {"console ttyS0", char_device(4, 64, 1, false, 0, true), NodeVerdict::not_a_port},
        {"console with a getty", char_device(4, 64, 1, false, 1, true), NodeVerdict::not_a_port},
        {"console ttyUSB0", char_device(188, 0, 1, false, 0, true), NodeVerdict::not_a_port},
        {"other session on a non-terminal", char_device(1, 5, 0, false, 1),
         NodeVerdict::not_a_port},
        {"regular file", node(NodeKind::regular), NodeVerdict::not_a_port},
        {"directory", node(NodeKind::directory), NodeVerdict::not_a_port},
        {"FIFO", node(NodeKind::fifo), NodeVerdict::not_a_port},
        {"socket", node(NodeKind::socket), NodeVerdict::not_a_port},
        {"disk", node(NodeKind::block_device), NodeVerdict::not_a_port},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(judge_node(c.facts), c.verdict) << c.what;
        // The sessions are looked up exactly where they decide.
        NodeFacts unknown = c.facts;
        unknown.in_session = unknown.in_session == 0 ? -1 : 0;
        EXPECT_EQ(needs_sessions(c.facts), judge_node(unknown) != c.verdict) << c.what;
    }
}

// The controlling terminal as /proc writes it, and the fields read from a stat
// line whose command name holds spaces and ')'.
TEST(DeviceVerdict, ReadsTheProcessTableForEveryTerminalNumber) {
    // Numbers only; no device is named or opened.
    EXPECT_EQ(proc_tty_number(4, 64), 1088u);                        // ttyS0
    EXPECT_EQ(proc_tty_number(136, 3), 34819u);                      // pts/3
    EXPECT_EQ(proc_tty_number(136, 300), 34816u + 44 + (256 << 12)); // pts/300
    long session = 0;
    uint32_t tty = 0;
    ASSERT_TRUE(parse_proc_stat("42 (a) b) c) S 1 42 42 34860 42 4194560 0 0\n", session, tty));
    EXPECT_EQ(session, 42);
    EXPECT_EQ(tty, proc_tty_number(136, 44));
    // A minor of 2^19 and more sets the sign bit of the printed number.
    const uint32_t high = proc_tty_number(136, 600000);
    const std::string line =
        "7 (sh) S 1 7 7 " + std::to_string(static_cast<int32_t>(high)) + " -1 0\n";
    ASSERT_LT(static_cast<int32_t>(high), 0);
    ASSERT_TRUE(parse_proc_stat(line.c_str(), session, tty));
    EXPECT_EQ(tty, high);
    EXPECT_FALSE(parse_proc_stat("9 (cut", session, tty));
    EXPECT_FALSE(parse_proc_stat("9 (x) S 1 2", session, tty));
}
