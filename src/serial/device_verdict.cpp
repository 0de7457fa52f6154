#include "device_verdict.h"

namespace {

// Pseudo-terminal slaves: majors 136 to 143 (UNIX98 ptys). They are not filed
// under the terminal class in the device registry.
bool pty_slave_major(uint32_t major) {
    return major >= 136 && major <= 143;
}

} // namespace

NodeVerdict judge_node(const NodeFacts& facts) {
    switch (facts.kind) {
    case NodeKind::missing:
        return NodeVerdict::cannot_open;
    case NodeKind::char_device:
        if (facts.tty_class == 1 || facts.on_devpts || pty_slave_major(facts.major)) {
            // A login getty or someone's shell on it: never take it over.
            return facts.other_session == 1 ? NodeVerdict::cannot_open : NodeVerdict::open_it;
        }
        // Without the registry a serial port cannot be told from a watchdog or
        // a disk controller: refuse rather than open an unknown device.
        return NodeVerdict::not_a_port;
    default:
        // A regular file, a directory, a FIFO, a socket or a block device is never
        // a serial port; opening one could block (a FIFO) or do harm (a disk).
        return NodeVerdict::not_a_port;
    }
}
