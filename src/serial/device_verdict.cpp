#include "device_verdict.h"

#include <cstdlib>
#include <cstring>

namespace {

// Pseudo-terminal slaves: majors 136 to 143 (UNIX98 ptys). They are not filed
// under the terminal class in the device registry.
bool pty_slave_major(uint32_t major) {
    return major >= 136 && major <= 143;
}

// Terminal nodes that stand for another terminal or are no line of their own:
// major 5 holds /dev/tty (5:0, the caller's own terminal), /dev/console (5:1,
// wherever the console is: often a serial line with a login on it), /dev/ptmx
// (5:2, makes a new pseudo-terminal) and ttyprintk (5:3, the kernel's log);
// major 4 below 64 holds /dev/tty0 (the active virtual console) and the virtual
// consoles tty1 to tty63. Built-in serial ports start at 4:64.
bool console_or_alias(uint32_t major, uint32_t minor) {
    return major == 5 || (major == 4 && minor < 64);
}

bool openable_terminal(const NodeFacts& facts) {
    return facts.kind == NodeKind::char_device && !console_or_alias(facts.major, facts.minor) &&
           !facts.kernel_console &&
           (facts.tty_class == 1 || facts.on_devpts || pty_slave_major(facts.major));
}

} // namespace

bool needs_sessions(const NodeFacts& facts) {
    return openable_terminal(facts);
}

bool is_pseudo_terminal(const NodeFacts& facts) {
    return facts.kind == NodeKind::char_device && (facts.on_devpts || pty_slave_major(facts.major));
}

NodeVerdict judge_node(const NodeFacts& facts) {
    if (facts.kind == NodeKind::missing) {
        return NodeVerdict::cannot_open;
    }
    if (!openable_terminal(facts)) {
        // A regular file, a folder, a FIFO, a socket or a block device is never a
        // serial port; opening one could block (a FIFO) or do harm (a disk). A
        // device that the registry does not file as a terminal cannot be told
        // from a watchdog, which arms on open. A console or an alias would put
        // some other terminal, often a login line, into raw mode; on a port that
        // carries the kernel's console, its messages would go out in the wave.
        return NodeVerdict::not_a_port;
    }
    // A login getty or someone's shell on it, or a process table that does not
    // show whether there is one: never take the line over.
    return facts.in_session == 0 ? NodeVerdict::open_it : NodeVerdict::cannot_open;
}

uint32_t proc_tty_number(uint32_t major, uint32_t minor) {
    return (minor & 0xffu) | (major << 8) | ((minor & ~0xffu) << 12);
}

bool parse_proc_stat(const char* text, long& session, uint32_t& tty) {
    // The command name may hold any character, ')' and spaces included: the
    // fields follow its last ')'. Then: state, parent, group, session, terminal.
    const char* p = std::strrchr(text, ')');
    if (p == nullptr || p[1] != ' ' || p[2] == '\0' || p[3] != ' ') {
        return false;
    }
    p += 4;
    long fields[4];
    for (long& field : fields) {
        char* end = nullptr;
        field = std::strtol(p, &end, 10);
        if (end == p || (*end != ' ' && *end != '\n' && *end != '\0')) {
            return false;
        }
        p = end;
    }
    session = fields[2];
    tty = static_cast<uint32_t>(fields[3]);
    return true;
}
