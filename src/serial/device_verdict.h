// Which paths kelvor may open as a serial port, decided from facts that the
// platform file gathers before any open; no system calls here.
#pragma once

#include <cstdint>

// missing: stat failed (no such path, or a folder on the way may not be searched).
enum class NodeKind { missing, char_device, block_device, regular, directory, fifo, socket, other };

// What stat and the system's device registry say about the path, before any open.
struct NodeFacts {
    NodeKind kind;
    uint32_t major; // device numbers, for a device node
    uint32_t minor;
    int tty_class;     // 1: the registry files the device under the terminal class,
                       // 0: under another class or not at all, -1: no registry to ask
    bool on_devpts;    // the node lives on a pseudo-terminal file system
    int other_session; // 1: it is the controlling terminal of a process of another
                       // session (a login, a shell), 0: of none, -1: unknown
};

enum class NodeVerdict {
    open_it,     // a terminal device that no other session uses: open it
    cannot_open, // missing, or another session's terminal: as a failed open
    not_a_port,  // exists but is no terminal: never opened
};

NodeVerdict judge_node(const NodeFacts& facts);
