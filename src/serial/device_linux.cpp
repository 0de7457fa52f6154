// Gathers what device_verdict decides on: stat, the device registry in sysfs,
// the file system of the node, and which sessions have it as their controlling
// terminal (from /proc, since a terminal's session can be asked only by a process
// of that session); and the device's driver, for the rates it really makes.
#include "device_linux.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
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

// Session and controlling terminal (as /proc encodes a device number) of a process,
// from /proc/<pid>/stat. False when it cannot be read (the process has ended).
bool session_and_tty(const char* pid, long& session, long& tty) {
    char path[300]; // "/proc/" + a directory name of up to 255 bytes + "/stat"
    std::snprintf(path, sizeof path, "/proc/%s/stat", pid);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char buf[512];
    const ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0) {
        return false;
    }
    buf[n] = '\0';
    // The command name may hold any character: the fields follow its last ')'.
    const char* rest = std::strrchr(buf, ')');
    char state = 0;
    long ppid = 0, pgrp = 0;
    return rest != nullptr &&
           std::sscanf(rest + 1, " %c %ld %ld %ld %ld", &state, &ppid, &pgrp, &session, &tty) == 5;
}

// True when process pid holds the node st describes open. Device numbers of
// pseudo-terminals repeat in every devpts instance (containers, chroots), so for
// them only an open descriptor on the same instance (st_dev) proves it is the same
// terminal; a shell or a login holds its terminal open on its standard streams.
bool holds_open(const char* pid, const struct stat& st) {
    char path[300];
    std::snprintf(path, sizeof path, "/proc/%s/fd", pid);
    DIR* fds = opendir(path); // fails for another user's process: that pty is not ours to open
    if (fds == nullptr) {
        return false;
    }
    bool found = false;
    while (const dirent* entry = readdir(fds)) {
        char fd_path[600];
        std::snprintf(fd_path, sizeof fd_path, "%s/%s", path, entry->d_name);
        struct stat held;
        if (entry->d_name[0] != '.' && stat(fd_path, &held) == 0 && held.st_dev == st.st_dev &&
            held.st_rdev == st.st_rdev) {
            found = true;
            break;
        }
    }
    closedir(fds);
    return found;
}

// 1 when a process of a session other than ours has the terminal as its
// controlling terminal, 0 when none has, -1 without /proc.
int other_session(const struct stat& st, bool pseudo_terminal) {
    const dev_t rdev = st.st_rdev;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return -1;
    }
    const unsigned maj = major(rdev), min = minor(rdev);
    const long wanted = static_cast<long>((min & 0xff) | (maj << 8) | ((min & ~0xffu) << 12));
    const long own = getsid(0);
    int found = 0;
    while (const dirent* entry = readdir(proc)) {
        long session = 0, tty = 0;
        if (entry->d_name[0] >= '1' && entry->d_name[0] <= '9' &&
            session_and_tty(entry->d_name, session, tty) && tty == wanted && session != own &&
            (!pseudo_terminal || holds_open(entry->d_name, st))) {
            found = 1;
            break;
        }
    }
    closedir(proc);
    return found;
}

} // namespace

NodeFacts node_facts(const char* path, struct stat& st) {
    NodeFacts facts = {NodeKind::missing, 0, 0, 0, false, 0};
    if (stat(path, &st) != 0) {
        return facts;
    }
    facts.kind = kind_of(st.st_mode);
    if (facts.kind == NodeKind::char_device) {
        facts.major = major(st.st_rdev);
        facts.minor = minor(st.st_rdev);
        facts.tty_class = tty_class(facts.major, facts.minor);
        struct statfs fs;
        facts.on_devpts = statfs(path, &fs) == 0 && fs.f_type == kDevptsMagic;
        facts.other_session =
            other_session(st, facts.on_devpts || (facts.major >= 136 && facts.major <= 143));
    }
    return facts;
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

int64_t device_status_age_ns(const struct stat& st) {
    char target[PATH_MAX];
    if (!S_ISCHR(st.st_mode) ||
        !sysfs_link(major(st.st_rdev), minor(st.st_rdev), "device/driver", target)) {
        return 0;
    }
    // The latency timer, where the adapter has one, sets how often its status comes.
    int latency_ms = -1;
    char path[96];
    std::snprintf(path, sizeof path, "/sys/dev/char/%u:%u/device/latency_timer", major(st.st_rdev),
                  minor(st.st_rdev));
    if (FILE* file = std::fopen(path, "re")) {
        if (std::fscanf(file, "%d", &latency_ms) != 1 || latency_ms < 0 || latency_ms > 255) {
            latency_ms = -1;
        }
        std::fclose(file);
    }
    return int64_t{driver_status_age_ms(target, latency_ms)} * 1000000;
}
