// Naming the port from the command-line argument, and opening the node judged.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "serial/device_linux.h"
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

namespace {

struct PtyPair {
    int master;
    std::string path;
};

PtyPair new_pty() {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    grantpt(master);
    unlockpt(master);
    return {master, ptsname(master)};
}

} // namespace

// The node judged is the node opened: the path's node is swapped for another
// free pseudo-terminal between the verdict and the open, and the open still gets
// the judged one; the node swapped in is never opened (inotify sees every open).
TEST(PortLinux, OpensTheJudgedNodeWhenThePathIsSwappedMeanwhile) {
    const PtyPair judged = new_pty(), swapped_in = new_pty();
    char dir[] = "/tmp/kelvor-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string port = std::string(dir) + "/port", next = std::string(dir) + "/next";
    ASSERT_EQ(symlink(judged.path.c_str(), port.c_str()), 0);
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    inotify_add_watch(watch, "/dev/pts", IN_OPEN);

    const int node = node_handle(port.c_str());
    const int proc = proc_folder();
    struct stat st;
    EXPECT_EQ(judge_node(node_facts(node, proc, st)), NodeVerdict::open_it);
    ASSERT_EQ(symlink(swapped_in.path.c_str(), next.c_str()), 0);
    ASSERT_EQ(rename(next.c_str(), port.c_str()), 0);
    const int fd = open_node(node, proc);
    ASSERT_GE(fd, 0);
    struct stat opened, swapped;
    ASSERT_EQ(fstat(fd, &opened), 0);
    ASSERT_EQ(stat(swapped_in.path.c_str(), &swapped), 0);
    EXPECT_TRUE(is_judged_node(fd, st));
    EXPECT_NE(opened.st_rdev, swapped.st_rdev);

    std::set<std::string> names;
    alignas(inotify_event) char buf[4096];
    for (ssize_t n; (n = read(watch, buf, sizeof buf)) > 0;) {
        for (char* p = buf; p < buf + n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(p);
            names.insert(e->len > 0 ? e->name : "");
            p += sizeof(inotify_event) + e->len;
        }
    }
    const auto name = [](const std::string& path) { return path.substr(path.rfind('/') + 1); };
    EXPECT_EQ(names.count(name(judged.path)), 1u);
    EXPECT_EQ(names.count(name(swapped_in.path)), 0u) << "the node swapped in was opened";

    for (const int held : {fd, node, proc, watch, judged.master, swapped_in.master}) {
        close(held);
    }
    unlink(port.c_str());
    rmdir(dir);
}
