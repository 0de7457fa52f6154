// Which paths kelvor may open as a serial port, decided from facts that the
// platform file gathers before any open; no system calls here.
#pragma once

#include <cstdint>

// missing: no node at the path (none there, or a folder on the way may not be searched).
enum class NodeKind { missing, char_device, block_device, regular, directory, fifo, socket, other };

// What the node and the system's device registry say, before any open.
struct NodeFacts {
    NodeKind kind;
    uint32_t major; // device numbers, for a device node
    uint32_t minor;
    int tty_class;  // 1: the registry files the device under the terminal class,
                    // 0: under another class or not at all, -1: no registry to ask
    bool on_devpts; // the node lives on a pseudo-terminal file system
    // The node's terminal is one of the kernel's active consoles, as
    // /sys/class/tty/console/active names them: the kernel writes its messages there.
    bool kernel_console;
    int in_session; // 1: it is the controlling terminal of a session (a login, a
                    // shell, kelvor's own), 0: of none, -1: not known (the process
                    // table cannot be seen whole). Looked up only when
                    // needs_sessions() says the verdict depends on it.
};

enum class NodeVerdict {
    open_it,     // a serial port or pseudo-terminal that no session uses: open it
    cannot_open, // missing, a session's terminal, or not known to be free: as a failed open
    not_a_port,  // exists but is no serial port: never opened
};

// True when the verdict on facts depends on in_session: a terminal that may be opened.
bool needs_sessions(const NodeFacts& facts);

NodeVerdict judge_node(const NodeFacts& facts);

// A pseudo-terminal: no line of its own, so no frame to keep (it drops parity).
bool is_pseudo_terminal(const NodeFacts& facts);

// A terminal's device number as the process table writes a process's controlling
// terminal (tty_nr of /proc/<pid>/stat): the low 8 bits of the minor, the major
// from bit 8, the minor's higher bits from bit 20, printed as a signed 32-bit
// number. Compared as 32 bits, so that any number matches as printed.
uint32_t proc_tty_number(uint32_t major, uint32_t minor);

// Reads the session and the controlling terminal from the text of /proc/<pid>/stat.
// False when the text does not hold them.
bool parse_proc_stat(const char* text, long& session, uint32_t& tty);
