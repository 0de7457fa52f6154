// Gathers what device_verdict decides on, from a handle on the node rather than
// its path: its stat, the device registry in sysfs and the kernel's consoles
// listed there, the file system of the node, and whether a session has it as its
// controlling terminal (from /proc, since a terminal's session can be asked only
// by a process of that session); and the device's driver, for the rates it
// really makes.
#include "device_linux.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver_rates.h"

namespace {

constexpr long kDevptsMagic = 0x1cd1; // DEVPTS_SUPER_MAGIC

NodeKind kind_of(mode_t mode) {
    if (S_ISCHR(mode)) {
        return NodeKind::char_device;
    }
    if (S_ISBLK(mode)) {
        return NodeKind::block_device;
    }
    if (S_ISREG(mode)) {
        return NodeKind::regular;
    }
    if (S_ISDIR(mode)) {
        return NodeKind::directory;
    }
    if (S_ISFIFO(mode)) {
        return NodeKind::fifo;
    }
    if (S_ISSOCK(mode)) {
        return NodeKind::socket;
    }
    return NodeKind::other;
}

// Reads the link /sys/dev/char/<major>:<minor>/<entry> into target. False when
// there is no such link.
bool sysfs_link(uint32_t major_nr, uint32_t minor_nr, const char* entry, char (&target)[PATH_MAX]) {
    char link[96];
    std::snprintf(link, sizeof link, "/sys/dev/char/%u:%u/%s", major_nr, minor_nr, entry);
    const ssize_t n = readlink(link, target, sizeof target - 1);
    if (n < 0) {
        return false;
    }
    target[n] = '\0';
    return true;
}

// /sys/dev/char/<major>:<minor>/subsystem links to the device's class, for
// terminals .../class/tty. 1: tty, 0: another class or no entry, -1: no sysfs.
int tty_class(uint32_t major_nr, uint32_t minor_nr) {
    char target[PATH_MAX];
    if (!sysfs_link(major_nr, minor_nr, "subsystem", target)) {
        return access("/sys/dev/char", F_OK) == 0 ? 0 : -1;
    }
    const char* base = std::strrchr(target, '/');
    return std::strcmp(base != nullptr ? base + 1 : target, "tty") == 0 ? 1 : 0;
}

// Reads the text of a small file into buf, cut to fit. False when it cannot be read.
bool read_text(const char* path, char* buf, size_t size) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    const ssize_t n = fd >= 0 ? read(fd, buf, size - 1) : -1;
    if (fd >= 0) {
        close(fd);
    }
    buf[n > 0 ? n : 0] = '\0';
    return n > 0;
}

// True when the device is one of the kernel's active consoles: the kernel writes
// its messages to those. /sys/class/tty/console/active names them, separated by
// spaces ("tty0 ttyS0"), and /sys/class/tty/<name>/dev holds each one's numbers
// as "major:minor". A console without a terminal of its own (netconsole) has no
// such entry and matches nothing. Reads sysfs only; nothing is opened.
bool kernel_console(uint32_t major_nr, uint32_t minor_nr) {
    char names[4096]; // sysfs gives a page at most
    if (!read_text("/sys/class/tty/console/active", names, sizeof names)) {
        return false;
    }
    char* rest = nullptr;
    for (char* name = strtok_r(names, " \n", &rest); name != nullptr;
         name = strtok_r(nullptr, " \n", &rest)) {
        char path[96];
        char numbers[32];
        unsigned major_of = 0;
        unsigned minor_of = 0;
        if (std::snprintf(path, sizeof path, "/sys/class/tty/%s/dev", name) <
                static_cast<int>(sizeof path) &&
            read_text(path, numbers, sizeof numbers) &&
            std::sscanf(numbers, "%u:%u", &major_of, &minor_of) == 2 && major_of == major_nr &&
            minor_of == minor_nr) {
            return true;
        }
    }
    return false;
}

constexpr long kProcMagic = 0x9fa0;               // PROC_SUPER_MAGIC
constexpr ino_t kFirstPidNamespace = 0xEFFFFFFCu; // PROC_PID_INIT_INO

// Reads /proc/<pid>/stat into buf. 1: read, 0: the process has ended, -1: it
// exists but may not be read (a process table that hides other users' processes).
int read_stat(int proc, const char* pid, char (&buf)[512]) {
    char path[300]; // a directory name of up to 255 bytes + "/stat"
    std::snprintf(path, sizeof path, "%s/stat", pid);
    const int fd = openat(proc, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT || errno == ESRCH ? 0 : -1;
    }
    const ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0) {
        return 0;
    }
    buf[n] = '\0';
    return 1;
}

// True when proc shows every process of the system: it is the process file
// system, seen from the first pid namespace (a container's own namespace hides
// the host's processes, a getty among them), and it lets kelvor read init's entry
// (mounted with hidepid, it hides the processes of users kelvor may not trace).
bool shows_every_process(int proc) {
    struct statfs fs;
    if (fstatfs(proc, &fs) != 0 || fs.f_type != kProcMagic) {
        return false;
    }
    struct stat ns;
    if (fstatat(proc, "self/ns/pid", &ns, 0) == 0 ? ns.st_ino != kFirstPidNamespace
                                                  : errno != ENOENT) { // ENOENT: no namespaces
        return false;
    }
    char buf[512];
    return read_stat(proc, "1", buf) == 1;
}

// True when process pid holds the node st describes open. Device numbers of
// pseudo-terminals repeat in every devpts instance (containers, chroots), so for
// them only an open descriptor on the same instance (st_dev) proves it is the same
// terminal; a shell or a login holds its terminal open on its standard streams.
bool holds_open(int proc, const char* pid, const struct stat& st) {
    char path[300];
    std::snprintf(path, sizeof path, "%s/fd", pid);
    const int fd_folder = openat(proc, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // Fails for another user's process: a pty of another user is not ours to open.
    DIR* fds = fd_folder >= 0 ? fdopendir(fd_folder) : nullptr;
    if (fds == nullptr) {
        if (fd_folder >= 0) {
            close(fd_folder);
        }
        return false;
    }
    bool found = false;
    while (const dirent* entry = readdir(fds)) {
        struct stat held;
        if (entry->d_name[0] != '.' && fstatat(fd_folder, entry->d_name, &held, 0) == 0 &&
            held.st_dev == st.st_dev && held.st_rdev == st.st_rdev) {
            found = true;
            break;
        }
    }
    closedir(fds);
    return found;
}

// Lists the process folders of proc: its entries that are process numbers.
DIR* list_processes(int proc) {
    const int listing = openat(proc, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = listing >= 0 ? fdopendir(listing) : nullptr;
    if (dir == nullptr && listing >= 0) {
        close(listing);
    }
    return dir;
}

bool is_process(const dirent& entry) {
    return entry.d_name[0] >= '1' && entry.d_name[0] <= '9';
}

// True when a process of session sid holds the node st describes open.
bool session_holds_open(int proc, pid_t sid, const struct stat& st) {
    DIR* dir = list_processes(proc);
    bool found = false;
    while (dir != nullptr && !found) {
        const dirent* entry = readdir(dir);
        if (entry == nullptr) {
            break;
        }
        found = is_process(*entry) &&
                getsid(static_cast<pid_t>(std::strtol(entry->d_name, nullptr, 10))) == sid &&
                holds_open(proc, entry->d_name, st);
    }
    if (dir != nullptr) {
        closedir(dir);
    }
    return found;
}

// 1 when a session has the terminal as its controlling terminal (a login's, a
// shell's, kelvor's own), 0 when none has, -1 when the process table cannot be
// seen whole. A terminal is a session's controlling terminal exactly while it is
// its session leader's: only the leader takes one, the processes it starts
// inherit it, and when the leader drops it or ends, the whole session loses it.
// So only the leaders' stat is read, and a process is a leader when getsid(pid)
// is pid, which costs a system call and no read of /proc. For a pseudo-terminal,
// whose numbers repeat across devpts instances, a process of that session must
// also hold it open.
int session_of(int proc, const struct stat& st, bool pseudo_terminal) {
    DIR* dir = proc >= 0 && shows_every_process(proc) ? list_processes(proc) : nullptr;
    if (dir == nullptr) {
        return -1;
    }
    const uint32_t wanted = proc_tty_number(major(st.st_rdev), minor(st.st_rdev));
    int found = 0;
    while (const dirent* entry = readdir(dir)) {
        const pid_t pid = static_cast<pid_t>(std::strtol(entry->d_name, nullptr, 10));
        if (!is_process(*entry) || getsid(pid) != pid) {
            continue;
        }
        char buf[512];
        const int got = read_stat(proc, entry->d_name, buf);
        long session = 0;
        uint32_t tty = 0;
        if (got < 0) {
            found = -1;
            break;
        }
        if (got == 1 && parse_proc_stat(buf, session, tty) && tty == wanted &&
            (!pseudo_terminal || session_holds_open(proc, pid, st))) {
            found = 1;
            break;
        }
    }
    closedir(dir);
    return found;
}

} // namespace

int node_handle(const char* path) {
    return open(path, O_PATH | O_CLOEXEC);
}

int proc_folder() {
    return open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

NodeFacts node_facts(int handle, int proc, struct stat& st) {
    NodeFacts facts = {NodeKind::missing, 0, 0, 0, false, false, 0};
    if (handle < 0 || fstat(handle, &st) != 0) {
        return facts;
    }
    facts.kind = kind_of(st.st_mode);
    if (facts.kind == NodeKind::char_device) {
        facts.major = major(st.st_rdev);
        facts.minor = minor(st.st_rdev);
        facts.tty_class = tty_class(facts.major, facts.minor);
        facts.kernel_console = kernel_console(facts.major, facts.minor);
        struct statfs fs;
        facts.on_devpts = fstatfs(handle, &fs) == 0 && fs.f_type == kDevptsMagic;
    }
    if (needs_sessions(facts)) {
        facts.in_session = session_of(proc, st, is_pseudo_terminal(facts));
    }
    return facts;
}

int open_node(int handle, int proc) {
    char entry[32];
    std::snprintf(entry, sizeof entry, "self/fd/%d", handle);
    return proc < 0 ? -1 : openat(proc, entry, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

bool is_judged_node(int fd, const struct stat& st) {
    struct stat now;
    return fstat(fd, &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino &&
           now.st_rdev == st.st_rdev;
}

uint32_t device_lowest_rate(const struct stat& st) {
    char target[PATH_MAX];
    if (!S_ISCHR(st.st_mode) ||
        !sysfs_link(major(st.st_rdev), minor(st.st_rdev), "device/driver", target)) {
        return 0;
    }
    return driver_lowest_rate(target);
}

bool device_drains_to_pin(const struct stat& st, bool answers_lsr) {
    char target[PATH_MAX];
    return S_ISCHR(st.st_mode) &&
           sysfs_link(major(st.st_rdev), minor(st.st_rdev), "device/driver", target) &&
           driver_drains_to_pin(target, answers_lsr);
}
