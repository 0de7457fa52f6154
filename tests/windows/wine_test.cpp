// kelvor.exe end to end under Wine. Wine maps the device COMn to the file
// $WINEPREFIX/dosdevices/comN, so each case links that name to a pseudo-terminal
// it creates (or to /dev/null), runs the program, and checks its output, its
// exit status and, from the terminal's master side, the line settings and bytes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char kBanner[] = "\r\n    Kelvor by Varnholm\r\n";
const char kUsage[] = "     usage: kelvor com_port_number\r\n\r\n";
const char kStart[] = "       (freq:arrows, quit:space)\r\n\r\n\t  800 Hz\r\n";

fs::path prefix; // the Wine prefix shared by all cases

// One temporary Wine prefix, booted once for the whole run. Wine's mount manager
// would link COM1 and up to the machine's own serial devices; it is switched off
// so that the only COM names in the prefix are the ones a case links itself.
class WinePrefix : public testing::Environment {
  public:
    void SetUp() override {
        const char* tmp = std::getenv("TMPDIR");
        std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/kelvor-wine-XXXXXX";
        ASSERT_NE(mkdtemp(dir.data()), nullptr);
        prefix = dir;
        setenv("WINEPREFIX", dir.c_str(), 1);
        setenv("WINEDEBUG", "-all", 1);
        setenv("WINEDLLOVERRIDES", "mountmgr.sys=d;mscoree=d;mshtml=d", 1);
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        ASSERT_EQ(std::system("wine wineboot --init >/dev/null 2>&1 && wineserver -w"), 0);
    }
    void TearDown() override {
        if (!prefix.empty()) {
            std::system("wineserver -k >/dev/null 2>&1");
            std::error_code ignored;
            fs::remove_all(prefix, ignored);
        }
    }
};

const testing::Environment* const wine_prefix = testing::AddGlobalTestEnvironment(new WinePrefix);

struct Pty {
    int master = -1;
    int slave = -1; // kept open so the master reads data, not an error, between runs
    std::string name;

    Pty() {
        char path[128];
        if (openpty(&master, &slave, path, nullptr, nullptr) != 0) {
            return;
        }
        name = path;
        termios tio{}; // start from 9600 bit/s 8N1, so every checked setting is kelvor's
        tcgetattr(slave, &tio);
        cfmakeraw(&tio);
        cfsetspeed(&tio, B9600);
        tio.c_cflag &= ~CSTOPB;
        tcsetattr(slave, TCSANOW, &tio);
        fcntl(master, F_SETFL, O_NONBLOCK);
    }
    // Stops the line as a receiver's flow control would: output flow control on
    // (which the port's settings then keep) and an XOFF from the far end.
    void hold_back() {
        termios tio{};
        tcgetattr(slave, &tio);
        tio.c_iflag |= IXON;
        tcsetattr(slave, TCSANOW, &tio);
        const char xoff = 0x13;
        if (write(master, &xoff, 1) != 1) {
            ADD_FAILURE() << "XOFF";
        }
    }
    ~Pty() {
        close(master);
        close(slave);
    }
};

// Links COMn to target, after making sure the prefix holds no other COM name.
void link_port(int n, const std::string& target) {
    for (const auto& entry : fs::directory_iterator(prefix / "dosdevices")) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("com", 0) == 0) {
            fs::remove(entry.path());
        }
    }
    fs::create_symlink(target, prefix / "dosdevices" / ("com" + std::to_string(n)));
}

struct Outcome {
    std::string out;
    int status = -1; // exit status, -1 when the run was stopped from here
    std::vector<unsigned char> line;
    termios settings{}; // the pty's settings while the program ran
};

// Runs exe with args until it ends or, with a pty, until the start
// messages are out and two writes' worth of bytes have arrived; then it is
// stopped, and the line settings are those read just before.
Outcome run_wine(const char* exe, const std::vector<std::string>& args, Pty* pty = nullptr) {
    Outcome run;
    int out[2];
    if (pipe(out) != 0) {
        ADD_FAILURE() << "pipe";
        return run;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(out[1], 1);
        dup2(null, 2);
        std::vector<char*> argv{const_cast<char*>("wine"), const_cast<char*>(exe)};
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        execvp("wine", argv.data());
        _exit(127);
    }
    close(out[1]);

    fcntl(out[0], F_SETFL, O_NONBLOCK);
    char buf[4096];
    auto drain = [&] {
        ssize_t n;
        while ((n = read(out[0], buf, sizeof buf)) > 0) {
            run.out.append(buf, static_cast<size_t>(n));
        }
        while (pty && (n = read(pty->master, buf, sizeof buf)) > 0) {
            run.line.insert(run.line.end(), buf, buf + n);
        }
    };
    // Processes that Wine starts may inherit the pipe, so the end of the run is
    // told by the exit of the program, not by the end of its output.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd fds[2] = {{out[0], POLLIN, 0}, {pty ? pty->master : -1, POLLIN, 0}};
        poll(fds, 2, 50);
        drain();
        if (pty && run.out.find(kStart) != std::string::npos && run.line.size() >= 2 * 96) {
            tcgetattr(pty->master, &run.settings);
            break;
        }
        int wstatus = 0;
        if (waitpid(pid, &wstatus, WNOHANG) == pid) {
            drain();
            close(out[0]);
            run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
            return run;
        }
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    close(out[0]);
    return run;
}

Outcome run_kelvor(const std::vector<std::string>& args, Pty* pty = nullptr) {
    return run_wine(KELVOR_WINDOWS_EXE, args, pty);
}

TEST(KelvorUnderWine, CommandLineAndPortFailuresEndWithTheirStatus) {
    Outcome usage = run_kelvor({});
    EXPECT_EQ(usage.out, std::string(kBanner) + kUsage);
    EXPECT_EQ(usage.status, 255);

    // No dosdevices entry and beyond the COM numbers Wine knows of on its own.
    link_port(5, "/dev/null");
    Outcome missing = run_kelvor({"300"});
    EXPECT_EQ(missing.out, kBanner);
    EXPECT_EQ(missing.status, 254);

    // Opens, but is no serial port: its settings cannot be read.
    Outcome not_serial = run_kelvor({"5"});
    EXPECT_EQ(not_serial.out, kBanner);
    EXPECT_EQ(not_serial.status, 252);
}

TEST(KelvorUnderWine, StartsTheEightHundredHertzWaveOnOneAndTwoDigitPorts) {
    for (int port : {5, 12}) {
        SCOPED_TRACE("COM" + std::to_string(port));
        Pty pty;
        ASSERT_FALSE(pty.name.empty());
        link_port(port, pty.name);
        Outcome run = run_kelvor({std::to_string(port)}, &pty);

        EXPECT_EQ(run.out, std::string(kBanner) + kStart);
        EXPECT_EQ(cfgetospeed(&run.settings), speed_t(B4800));
        EXPECT_TRUE(run.settings.c_cflag & CSTOPB);
        EXPECT_EQ(run.settings.c_cflag & CSIZE, tcflag_t(CS8));
        ASSERT_GE(run.line.size(), 2u * 96);
        EXPECT_EQ(std::set<unsigned char>(run.line.begin(), run.line.end()),
                  std::set<unsigned char>{0x1C});
    }
}

// The port layer on a line held back by flow control: a pending write
// waits out its slices, a cancelled write's completion is never lost, the write
// record is reused safely, and the device path never overruns its buffer.
TEST(KelvorUnderWine, PortLayerKeepsEveryCompletionOnAHeldBackLine) {
    Pty pty;
    ASSERT_FALSE(pty.name.empty());
    link_port(7, pty.name);
    pty.hold_back();
    Outcome probe = run_wine(KELVOR_PORT_PROBE_EXE, {"7"});
    EXPECT_EQ(probe.status, 0) << probe.out;
}

} // namespace
