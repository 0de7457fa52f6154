// Which paths kelvor opens as a serial port, from the facts gathered before the open.
#include <gtest/gtest.h>

#include "serial/device_verdict.h"

namespace {

NodeFacts char_device(uint32_t major, uint32_t minor, int tty_class, bool on_devpts = false,
                      int other_session = 0) {
    return {NodeKind::char_device, major, minor, tty_class, on_devpts, other_session};
}

NodeFacts node(NodeKind kind) {
    return {kind, 0, 0, 0, false, 0};
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
        {"terminal, sessions unknown", char_device(188, 0, 1, false, -1), NodeVerdict::open_it},
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
    }
}
