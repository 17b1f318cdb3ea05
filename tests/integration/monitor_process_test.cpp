// The avlo-monitor program as a process: start-up options, the single-instance lock, and the
// shutdown that a termination signal runs. Each run gets a fresh folder with its own settings
// file and lock file; the amplifiers are simulated in this process (or, for hostile serial
// numbers, by the avlo-devsim program) on loopback addresses 127.0.10.x, with discovery sent
// to 127.0.10.254 on a port of this test's own.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "platform/StartupOptions.h"
#include "support/DesktopEntry.h"
#include "support/LoopbackPort.h"
#include "tools/devsim/ByteText.h"
#include "tools/devsim/Site.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::uint16_t kDiscoveryPort = 63110;

std::string Address(int host) { return "127.0.10." + std::to_string(host); }
const std::string kHub = Address(254);

bool RequiredByCi() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::string(ci) == "true";
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A fresh folder under /tmp, removed with its contents at the end.
class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/avlo-process-XXXXXX";
        if (mkdtemp(name) != nullptr) path_ = name;
    }
    ~TempDir() {
        if (path_.empty()) return;
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    bool ok() const { return !path_.empty(); }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

// The environment of this process with some variables changed (a value) or removed (nullopt).
std::vector<std::string> Environment(const std::map<std::string, std::optional<std::string>>& changes) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (changes.count(name) == 0) env.push_back(entry);
    }
    for (const auto& [name, value] : changes) {
        if (value) env.push_back(name + "=" + *value);
    }
    return env;
}

// A child process with standard output and error in files. Whatever happens in the test, the
// child is killed and reaped when this object goes.
class Child {
public:
    // extraFd: a descriptor of ours that the child gets as its descriptor 3 (or -1); cwd: the
    // child's working folder (empty: ours).
    Child(const std::vector<std::string>& argv, const std::vector<std::string>& env,
          const std::string& outPath, const std::string& errPath, int extraFd = -1,
          const std::string& cwd = {})
        : outPath_(outPath), errPath_(errPath) {
        std::vector<std::string> argStore = argv;
        std::vector<std::string> envStore = env;
        std::vector<char*> args;
        for (auto& a : argStore) args.push_back(a.data());
        args.push_back(nullptr);
        std::vector<char*> envp;
        for (auto& e : envStore) envp.push_back(e.data());
        envp.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (extraFd >= 0) posix_spawn_file_actions_adddup2(&actions, extraFd, 3);
        if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
        // A signal mask or ignored signals inherited from the test runner (nohup) must not
        // decide how the program reacts to SIGTERM, SIGINT and SIGHUP.
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t none;
        sigemptyset(&none);
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGTERM);
        sigaddset(&defaults, SIGINT);
        sigaddset(&defaults, SIGHUP);
        sigaddset(&defaults, SIGPIPE);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setsigdefault(&attr, &defaults);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        const int rc = posix_spawn(&pid_, args[0], &actions, &attr, args.data(), envp.data());
        posix_spawnattr_destroy(&attr);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            error_ = std::string("posix_spawn ") + argv[0] + ": " + std::strerror(rc);
            pid_ = -1;
        }
    }
    ~Child() {
        if (pid_ > 0 && !status_) {
            kill(pid_, SIGKILL);  // only the process this object started
            int ignored = 0;
            while (waitpid(pid_, &ignored, 0) < 0 && errno == EINTR) {
            }
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool ok() const { return pid_ > 0; }
    const std::string& error() const { return error_; }
    pid_t Pid() const { return pid_; }

    bool Running() {
        Poll();
        return pid_ > 0 && !status_;
    }
    void Signal(int signalNumber) {
        if (Running()) kill(pid_, signalNumber);
    }
    // Asks the process to end and gives it a moment to clean up; the destructor kills it if not.
    void Terminate(std::chrono::milliseconds grace) {
        Signal(SIGTERM);
        Wait(grace);
    }
    // The wait status once the process has ended, or nothing when it is still running after limit.
    std::optional<int> Wait(std::chrono::milliseconds limit) {
        const auto end = Clock::now() + limit;
        while (Running() && Clock::now() < end) std::this_thread::sleep_for(20ms);
        return status_;
    }
    std::string Out() const { return ReadFile(outPath_); }
    std::string Err() const { return ReadFile(errPath_); }

private:
    void Poll() {
        if (pid_ <= 0 || status_) return;
        int status = 0;
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) status_ = status;
    }

    pid_t pid_ = -1;
    std::optional<int> status_;
    std::string outPath_, errPath_, error_;
};

std::string Describe(const std::optional<int>& status) {
    if (!status) return "still running";
    if (WIFEXITED(*status)) return "exit " + std::to_string(WEXITSTATUS(*status));
    if (WIFSIGNALED(*status)) return std::string("killed by ") + strsignal(WTERMSIG(*status));
    return "status " + std::to_string(*status);
}

bool ExitedWith(const std::optional<int>& status, int code) {
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
}

// The [AVLO] entries of a saved settings file, by the key's text ("Serial 0" -> value).
std::map<std::string, std::string> AvloSection(const std::string& ini) {
    std::map<std::string, std::string> keys;
    std::istringstream in(ini);
    std::string line;
    bool inside = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line.front() == '[') {
            inside = line == "[AVLO]";
            continue;
        }
        const auto equals = line.find('=');
        if (inside && equals != std::string::npos) keys[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return keys;
}

// The index of the saved device with this serial number, or -1.
int SavedIndexOfSerial(const std::map<std::string, std::string>& keys, const std::string& serial) {
    for (const auto& [key, value] : keys) {
        if (key.rfind("Serial ", 0) == 0 && value == serial) return std::stoi(key.substr(7));
    }
    return -1;
}

struct SavedDevice {
    std::string serial, name, ip, avlo, model;
};

void ExpectSaved(const std::string& ini, const SavedDevice& want) {
    SCOPED_TRACE("device " + want.serial);
    const auto keys = AvloSection(ini);
    const int n = SavedIndexOfSerial(keys, want.serial);
    ASSERT_GE(n, 0) << "serial number not in the saved file:\n" << ini;
    const std::string k = std::to_string(n);
    auto value = [&](const std::string& key) { return keys.count(key) ? keys.at(key) : "<missing>"; };
    EXPECT_EQ(value("Name " + k), want.name);
    EXPECT_EQ(value("IP " + k), want.ip);
    EXPECT_EQ(value("avlo " + k), want.avlo);
    EXPECT_EQ(value("Model " + k), want.model);
}

// The event lines a headless monitor echoes on standard error, as their event names.
std::vector<std::string> EventNames(const std::string& err) {
    std::vector<std::string> names;
    std::istringstream in(err);
    std::string line;
    while (std::getline(in, line)) {
        const auto at = line.find(" EV_");
        if (at == std::string::npos) continue;
        const auto end = line.find(' ', at + 1);
        names.push_back(line.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1));
    }
    return names;
}

// The shared libraries and plugins a running process has mapped, one path per line.
std::string MappedFiles(pid_t pid) {
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    std::string all, line;
    while (std::getline(maps, line)) {
        const auto slash = line.find('/');
        if (slash != std::string::npos) all += line.substr(slash) + "\n";
    }
    return all;
}

// Whether this build's monitor has windows; without them it always runs headless.
constexpr bool kMonitorHasWindows = AVLO_MONITOR_HAS_WINDOWS;

// Polls until pred holds or the time is up.
template <class Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (!pred()) {
        if (Clock::now() >= end) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

class MonitorProcessTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.ok());
        ASSERT_EQ(access(AVLO_MONITOR_BIN, X_OK), 0) << AVLO_MONITOR_BIN;
    }

    std::string ConfigPath() const { return dir_.File("avlo-monitor.ini"); }
    std::string LockPath() const { return dir_.File("avlo.lock"); }

    // The simulated site: answers discovery sent to the hub address on this test's port.
    devsim::Site& Site() {
        if (!site_) site_ = std::make_unique<devsim::Site>(devsim::SiteOptions{kHub, kDiscoveryPort});
        return *site_;
    }
    int AddSimDevice(int host, const std::string& model, const std::string& serial, bool answerDiscovery = true) {
        devsim::DeviceConfig c;
        c.address = Address(host);
        c.modelText = model;
        c.serial = serial;
        c.udpPort = kDiscoveryPort;
        c.answerDiscovery = answerDiscovery;
        const int index = Site().AddDevice(c);
        EXPECT_GE(index, 0) << Site().LastError();
        return index;
    }
    void StartSite() {
        ASSERT_TRUE(Site().DiscoveryListening()) << Site().LastError();
        ASSERT_TRUE(Site().Start()) << Site().LastError();
    }

    std::vector<std::string> MonitorArgs(const std::string& config, const std::string& lock,
                                         std::vector<std::string> extra) const {
        std::vector<std::string> args{AVLO_MONITOR_BIN,      "--config",  config, "--lock-file", lock, "--discovery-address",
                                      kHub,                  "--discovery-port", std::to_string(kDiscoveryPort)};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }
    // Without a display of the test runner's; the program's own settings (autostart) stay in
    // the test folder.
    std::vector<std::string> MonitorEnv(std::optional<std::string> display,
                                        std::map<std::string, std::optional<std::string>> more = {}) const {
        more.insert({{"DISPLAY", display},
                     {"WAYLAND_DISPLAY", std::nullopt},
                     {"QT_QPA_PLATFORM", std::nullopt},
                     {"XDG_CONFIG_HOME", dir_.File("xdg")},
                     {"XDG_RUNTIME_DIR", dir_.Path()}});
        return Environment(more);
    }
    std::unique_ptr<Child> StartMonitor(std::vector<std::string> extra, std::optional<std::string> display = std::nullopt,
                                        const std::string& tag = "monitor") {
        auto child = std::make_unique<Child>(MonitorArgs(ConfigPath(), LockPath(), std::move(extra)), MonitorEnv(display),
                                             dir_.File(tag + ".out"), dir_.File(tag + ".err"));
        EXPECT_TRUE(child->ok()) << child->error();
        return child;
    }

    // A windowed monitor's environment on display.
    std::vector<std::string> WindowedEnv(const std::string& display) const {
        // With a real display Qt also runs its xcb, D-Bus and pooled threads. In the sanitizer
        // builds those uninstrumented threads hand data over through Qt's own locks, which the
        // thread sanitizer takes for races, and libdbus keeps a buffer that the leak checker
        // reports; neither is the program's doing (its own threads are checked in the headless
        // runs and the in-process tests). The variables mean nothing to a build without
        // sanitizers.
        const std::string lsanSuppressions = dir_.File("lsan.supp");
        WriteFile(lsanSuppressions, "leak:libdbus-1.so\n");
        auto appended = [](const char* name, const std::string& more) {
            const char* now = std::getenv(name);
            return std::optional<std::string>(
                (now && *now ? std::string(now) + " " : std::string()) + more);
        };
        return MonitorEnv(
            display,
            {{"TSAN_OPTIONS", appended("TSAN_OPTIONS", "report_bugs=0")},
             {"LSAN_OPTIONS", appended("LSAN_OPTIONS", "suppressions=" + lsanSuppressions)}});
    }

    // Until every simulated device has been connected to and asked for its status.
    bool WaitUntilPolled(std::chrono::milliseconds limit) {
        for (int i = 0; i < Site().DeviceCount(); ++i) {
            if (!Site().WaitFor(i, [](const devsim::DeviceSnapshot& s) { return s.connections >= 1 && s.statusQueries >= 1; },
                                limit))
                return false;
        }
        return true;
    }

    TempDir dir_;
    std::unique_ptr<devsim::Site> site_;  // outlives the monitors, which are locals of the tests
};

// ---- the shutdown sequence on a termination signal ----

class TerminationSignalTest : public MonitorProcessTest, public testing::WithParamInterface<int> {};

TEST_P(TerminationSignalTest, HeadlessMonitorSavesWhatItLearnedAndExitsWithZero) {
    // One device known from the file, without serial number and model: its status tells them.
    // Two more are found by the start-up broadcast. Serial numbers are digits, as on the real
    // amplifiers: a field letter inside one would be read as that field of the status.
    const std::string initial =
        "[AVLO]\r\nRegistered=1\r\nName 0=Stage\r\nIP 0=" + Address(4) + "\r\navlo 0=1\r\n";
    WriteFile(ConfigPath(), initial);
    AddSimDevice(2, "02", "20000002");
    AddSimDevice(3, "03", "20000003");
    AddSimDevice(4, "01", "20000004", /*answerDiscovery=*/false);
    StartSite();

    auto monitor = StartMonitor({"--headless"});
    ASSERT_TRUE(monitor->ok());
    ASSERT_TRUE(WaitUntilPolled(10s)) << monitor->Err();
    // Headless rows read "row N: [x] Name | Address | Connected | OK" once a status is applied.
    ASSERT_TRUE(WaitFor(
        [&] {
            const std::string out = monitor->Out();
            return Contains(out, "Stage | " + Address(4) + " | Connected | OK") &&
                   Contains(out, "My Velkan RV12 | " + Address(2) + " | Connected | OK") &&
                   Contains(out, "My Velkan RV13 | " + Address(3) + " | Connected | OK");
        },
        10s))
        << monitor->Out();
    // A monitor without windows loads no windowing platform (and, built without them, not
    // even the libraries), and says nothing about displays.
    const std::string mapped = MappedFiles(monitor->Pid());
    EXPECT_FALSE(Contains(mapped, "/platforms/")) << mapped;
    if (!kMonitorHasWindows) {
        EXPECT_FALSE(Contains(mapped, "libQt6Gui")) << mapped;
        EXPECT_FALSE(Contains(mapped, "libQt6Widgets")) << mapped;
    }
    EXPECT_FALSE(Contains(monitor->Err(), "qt.qpa")) << monitor->Err();
    // What it learned reaches the file a few seconds after it changed, without a shutdown.
    ASSERT_TRUE(WaitFor(
        [&] {
            const auto keys = AvloSection(ReadFile(ConfigPath()));
            return SavedIndexOfSerial(keys, "20000002") >= 0 &&
                   SavedIndexOfSerial(keys, "20000003") >= 0 &&
                   SavedIndexOfSerial(keys, "20000004") >= 0;
        },
        10s))
        << ReadFile(ConfigPath());
    // Nothing changes any more, so what writes the file from here on is the shutdown.
    ASSERT_TRUE(std::filesystem::remove(ConfigPath()));

    monitor->Signal(GetParam());
    const auto status = monitor->Wait(10s);
    EXPECT_TRUE(ExitedWith(status, 0)) << Describe(status) << "\n" << monitor->Err();

    const std::string saved = ReadFile(ConfigPath());
    EXPECT_EQ(AvloSection(saved)["Registered"], "3") << saved;
    ExpectSaved(saved, {"20000004", "Stage", Address(4), "1", "2"});
    ExpectSaved(saved, {"20000002", "My Velkan RV12", Address(2), "1", "3"});
    ExpectSaved(saved, {"20000003", "My Velkan RV13", Address(3), "1", "4"});

    const auto events = EventNames(monitor->Err());
    ASSERT_GE(events.size(), 2u) << monitor->Err();
    EXPECT_EQ(events.front(), "EV_MONITOR_STARTED");
    EXPECT_EQ(events.back(), "EV_MONITOR_STOPPED");
    EXPECT_EQ(std::count(events.begin(), events.end(), "EV_DEVICE_REGISTERED"), 3);
    EXPECT_EQ(std::count(events.begin(), events.end(), "EV_MONITOR_STOPPED"), 1);
}

// SIGHUP: the terminal or the session the monitor was started from has gone.
INSTANTIATE_TEST_SUITE_P(Process, TerminationSignalTest, testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const testing::TestParamInfo<int>& info) {
                             return std::string("SIG") + sigabbrev_np(info.param);
                         });

// A virtual X display of its own: Xvfb picks a free display number and tells it on a pipe.
class VirtualDisplay {
public:
    explicit VirtualDisplay(const TempDir& dir) {
        const char* candidates[] = {"/usr/bin/Xvfb", "/usr/local/bin/Xvfb"};
        std::string xvfb;
        for (const char* c : candidates) {
            if (access(c, X_OK) == 0) xvfb = c;
        }
        if (xvfb.empty()) {
            error_ = "Xvfb is not installed (Debian package xvfb)";
            return;
        }
        available_ = true;
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            error_ = std::string("pipe2: ") + std::strerror(errno);
            return;
        }
        server_ = std::make_unique<Child>(
            std::vector<std::string>{xvfb, "-displayfd", "3", "-nolisten", "tcp", "-screen", "0", "1024x768x24"},
            Environment({}), dir.File("xvfb.out"), dir.File("xvfb.err"), fds[1]);
        close(fds[1]);
        if (!server_->ok()) {
            error_ = server_->error();
            close(fds[0]);
            return;
        }
        std::string number;
        const auto end = Clock::now() + 10s;
        while (number.find('\n') == std::string::npos && Clock::now() < end) {
            pollfd p{fds[0], POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char buf[16];
            const ssize_t n = read(fds[0], buf, sizeof buf);
            if (n <= 0) break;
            number.append(buf, static_cast<std::size_t>(n));
        }
        close(fds[0]);
        if (number.find('\n') == std::string::npos) {
            error_ = "Xvfb did not report a display: " + ReadFile(dir.File("xvfb.err"));
            return;
        }
        display_ = ":" + number.substr(0, number.find('\n'));
    }
    ~VirtualDisplay() { Stop(); }
    // Ends the X server: every client loses its connection. Xvfb removes its lock file and
    // socket when it is asked to end, not when killed.
    void Stop() {
        if (server_) server_->Terminate(3s);
    }
    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;

    bool Available() const { return available_; }
    bool ok() const { return !display_.empty(); }
    const std::string& error() const { return error_; }
    const std::string& Display() const { return display_; }

private:
    bool available_ = false;
    std::string error_;
    std::string display_;
    std::unique_ptr<Child> server_;  // killed with this object
};

// The windowed monitor, on a virtual display of the test's own.
class WindowedMonitorTest : public MonitorProcessTest {
protected:
    void SetUp() override {
        MonitorProcessTest::SetUp();
        if (HasFatalFailure()) return;
        if (!kMonitorHasWindows) GTEST_SKIP() << "this build of the monitor has no windows";
        x_ = std::make_unique<VirtualDisplay>(dir_);
        if (!x_->Available()) {
            if (RequiredByCi()) FAIL() << x_->error();
            GTEST_SKIP() << x_->error();
        }
        ASSERT_TRUE(x_->ok()) << x_->error();
    }
    std::unique_ptr<Child> StartWindowed() {
        auto child = std::make_unique<Child>(MonitorArgs(ConfigPath(), LockPath(), {}),
                                             WindowedEnv(x_->Display()), dir_.File("monitor.out"),
                                             dir_.File("monitor.err"));
        EXPECT_TRUE(child->ok()) << child->error();
        return child;
    }

    std::unique_ptr<VirtualDisplay> x_;
};

TEST_F(WindowedMonitorTest, SavesAndExitsWithZeroOnSigterm) {
    AddSimDevice(2, "02", "30000002");
    StartSite();

    const auto started = Clock::now();
    auto monitor = StartWindowed();
    ASSERT_TRUE(monitor->ok());
    ASSERT_TRUE(WaitUntilPolled(15s)) << Describe(monitor->Wait(0ms)) << "\n" << monitor->Err();
    // The splash stands for two seconds before the main window (and its connections) exist.
    EXPECT_GE(Clock::now() - started, 1900ms);
    EXPECT_TRUE(monitor->Running());

    monitor->Signal(SIGTERM);
    const auto status = monitor->Wait(10s);
    EXPECT_TRUE(ExitedWith(status, 0)) << Describe(status) << "\n" << monitor->Err();
    ExpectSaved(ReadFile(ConfigPath()), {"30000002", "My Velkan RV12", Address(2), "1", "3"});
    // Only a headless run echoes events on standard error.
    EXPECT_TRUE(EventNames(monitor->Err()).empty()) << monitor->Err();
}

// Logging out can take the X server away before any signal comes: Qt then ends the process
// from inside the event loop, so no shutdown sequence runs; the settings are saved all the same.
TEST_F(WindowedMonitorTest, SavesWhenItsXServerGoesAway) {
    AddSimDevice(2, "02", "30000012");
    StartSite();

    auto monitor = StartWindowed();
    ASSERT_TRUE(monitor->ok());
    ASSERT_TRUE(WaitUntilPolled(15s)) << Describe(monitor->Wait(0ms)) << "\n" << monitor->Err();
    // Once what it learned has been saved, nothing changes any more: the file that follows
    // the end of the display is written by the process's way out.
    ASSERT_TRUE(WaitFor(
        [&] { return SavedIndexOfSerial(AvloSection(ReadFile(ConfigPath())), "30000012") >= 0; },
        10s))
        << ReadFile(ConfigPath());
    ASSERT_TRUE(std::filesystem::remove(ConfigPath()));

    x_->Stop();
    const auto status = monitor->Wait(10s);
    ASSERT_TRUE(status) << "still running without its display";
    EXPECT_TRUE(WIFEXITED(*status)) << Describe(status) << "\n" << monitor->Err();
    EXPECT_TRUE(Contains(monitor->Err(), "X11 connection broke")) << monitor->Err();
    const std::string saved = ReadFile(ConfigPath());
    ExpectSaved(saved, {"30000012", "My Velkan RV12", Address(2), "1", "3"});
    // The moment its counting began (at its registration) is written from the exit handler
    // too, where Qt's date and time texts are no longer to be had.
    EXPECT_TRUE(std::regex_search(saved, std::regex("\r\ndevice 0=\\d{4}-\\d\\d-\\d\\dT")))
        << saved;
}

// ---- the desktop's autostart entry ----

// Alert classes that only the "alerts" switch keeps: without it they are saved as 0.
const std::string kSiteWithAlerts = "[Events]\r\nPSupplyErr=1\r\nFanErr=1\r\n";

std::string SiteFile(int host, const std::string& more = "") {
    return more + kSiteWithAlerts +
           "[AVLO]\r\nRegistered=1\r\nName 0=Stage\r\nIP 0=" + Address(host) + "\r\navlo 0=1\r\n";
}

// The program, copied to a folder whose name has a blank, is started with a settings file
// given by a relative path and with switch words. The windowed monitor writes an entry that
// starts the same monitor at log-on: the entry is read back, its Exec decoded as a desktop
// does and run (headless, from another folder), and that run uses the same file and keeps
// what the switch words keep.
TEST_F(WindowedMonitorTest, TheLogonEntryStartsTheProgramAsItWasStarted) {
    if (auto missing = desktopentry::ValidatorMissing()) GTEST_SKIP() << *missing;
    WriteFile(ConfigPath(), SiteFile(2));
    AddSimDevice(2, "02", "30000022", /*answerDiscovery=*/false);
    StartSite();
    const std::string program = dir_.File("AVLO Monitor 1.0/avlo monitor");
    std::filesystem::create_directories(dir_.File("AVLO Monitor 1.0"));
    std::filesystem::copy_file(AVLO_MONITOR_BIN, program);
    std::vector<std::string> argv{program,
                                  "--config",
                                  "avlo-monitor.ini",
                                  "--lock-file",
                                  LockPath(),
                                  "--discovery-address",
                                  kHub,
                                  "--discovery-port",
                                  std::to_string(kDiscoveryPort),
                                  "Alerts",
                                  "stats",
                                  "NOLIMIT",
                                  "test",
                                  "other"};
    const std::string entry = dir_.File("xdg/autostart/avlo-monitor.desktop");
    {
        Child windowed(argv, WindowedEnv(x_->Display()), dir_.File("windowed.out"),
                       dir_.File("windowed.err"), -1, dir_.Path());
        ASSERT_TRUE(windowed.ok()) << windowed.error();
        ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(entry); }, 15s)) << windowed.Err();
        windowed.Terminate(10s);
    }
    std::string complaints;
    EXPECT_TRUE(desktopentry::Validate(entry, &complaints)) << complaints;
    EXPECT_EQ(desktopentry::Value(entry, "TryExec"), std::optional<std::string>(program));
    const auto exec = desktopentry::Value(entry, "Exec");
    ASSERT_TRUE(exec);
    const auto command = desktopentry::ExecArguments(*exec);
    ASSERT_TRUE(command && !command->empty()) << *exec;
    EXPECT_TRUE(exec->starts_with("\"" + program + "\" ")) << *exec;  // quoted for its blanks
    EXPECT_EQ(command->front(), program);
    const StartupOptions parsed =
        ParseStartupOptions({command->begin() + 1, command->end()}, command->front());
    EXPECT_EQ(parsed.error, "");
    const Switches words = ReadSwitches(parsed.arguments);
    EXPECT_TRUE(words.alerts && words.stats && words.nolimit && words.test) << *exec;
    // Only a command that stays with the test's file and loopback addresses is run.
    ASSERT_EQ(parsed.configPath, ConfigPath()) << *exec;
    ASSERT_EQ(parsed.discoveryAddress, kHub) << *exec;
    ASSERT_EQ(parsed.discoveryPort, kDiscoveryPort) << *exec;

    std::vector<std::string> logon = *command;
    logon.push_back("--headless");
    Child atLogon(logon, MonitorEnv(std::nullopt), dir_.File("logon.out"), dir_.File("logon.err"),
                  -1, "/");
    ASSERT_TRUE(atLogon.ok()) << atLogon.error();
    EXPECT_TRUE(WaitFor(
        [&] { return Contains(atLogon.Out(), "Stage | " + Address(2) + " | Connected | OK"); },
        10s))
        << atLogon.Out() << atLogon.Err();
    atLogon.Terminate(10s);
    const std::string saved = ReadFile(ConfigPath());
    EXPECT_TRUE(Contains(saved, "\r\nPSupplyErr=1\r\n") && Contains(saved, "\r\nFanErr=1\r\n"))
        << saved;
}

struct HeadlessEntryCase {
    const char* name;
    const char* options;  // the [Options] section of the settings file
    bool entryBefore;     // the windowed monitor's entry is there already
    bool notice;          // the monitor says that it leaves the entry alone
};

void PrintTo(const HeadlessEntryCase& c, std::ostream* os) {
    *os << c.name;
}

class HeadlessEntryTest : public MonitorProcessTest,
                          public testing::WithParamInterface<HeadlessEntryCase> {};

// The headless monitor runs as a service of its own: a log-on entry would start a second,
// windowed one at every desktop log-on. It neither writes nor removes the entry, and says so
// once when the option asks for one.
TEST_P(HeadlessEntryTest, TheHeadlessMonitorLeavesTheEntryAlone) {
    const HeadlessEntryCase& c = GetParam();
    WriteFile(ConfigPath(), SiteFile(2, c.options));
    AddSimDevice(2, "02", "30000032", /*answerDiscovery=*/false);
    StartSite();
    const std::string entry = dir_.File("xdg/autostart/avlo-monitor.desktop");
    const std::string desktops =
        "[Desktop Entry]\nType=Application\nName=AVLO Monitor\nExec=/opt/avlo/avlo-monitor\n";
    if (c.entryBefore) {
        std::filesystem::create_directories(dir_.File("xdg/autostart"));
        WriteFile(entry, desktops);
    }
    auto monitor = StartMonitor({"--headless"});
    ASSERT_TRUE(monitor->ok());
    ASSERT_TRUE(WaitFor(
        [&] { return Contains(monitor->Out(), "Stage | " + Address(2) + " | Connected | OK"); },
        10s))
        << monitor->Out() << monitor->Err();
    monitor->Terminate(10s);

    EXPECT_EQ(std::filesystem::exists(entry), c.entryBefore);
    if (c.entryBefore) {
        EXPECT_EQ(ReadFile(entry), desktops);
    }
    const std::string notice =
        "Run at log-on: the headless monitor leaves the desktop's autostart entry";
    const std::string err = monitor->Err();
    std::size_t count = 0;
    for (auto at = err.find(notice); at != std::string::npos; at = err.find(notice, at + 1))
        ++count;
    EXPECT_EQ(count, c.notice ? 1u : 0u) << err;
}

const HeadlessEntryCase kHeadlessEntryCases[] = {
    {"StartupOnWithoutEntry", "", false, true},
    {"StartupOnWithTheDesktopsEntry", "[Options]\r\nStartup=1\r\n", true, true},
    {"StartupOffWithTheDesktopsEntry", "[Options]\r\nStartup=0\r\n", true, false},
};

INSTANTIATE_TEST_SUITE_P(Process, HeadlessEntryTest, testing::ValuesIn(kHeadlessEntryCases),
                         [](const testing::TestParamInfo<HeadlessEntryCase>& info) {
                             return std::string(info.param.name);
                         });

// ---- a settings file that cannot be read ----

TEST_F(MonitorProcessTest, HeadlessMonitorSaysItCannotReadTheFileAndNeverWritesOverIt) {
    ASSERT_TRUE(std::filesystem::create_directory(ConfigPath()));
    AddSimDevice(2, "02", "40000002");
    StartSite();
    auto monitor = StartMonitor({"--headless"});
    ASSERT_TRUE(monitor->ok());
    ASSERT_TRUE(WaitUntilPolled(10s)) << monitor->Err();
    ASSERT_TRUE(WaitFor(
        [&] {
            return Contains(monitor->Out(), "My Velkan RV12 | " + Address(2) + " | Connected | OK");
        },
        10s))
        << monitor->Out();
    std::this_thread::sleep_for(2500ms);  // longer than a change takes to be saved
    monitor->Signal(SIGTERM);
    const auto status = monitor->Wait(10s);
    EXPECT_TRUE(ExitedWith(status, 0)) << Describe(status) << "\n" << monitor->Err();

    const std::string err = monitor->Err();
    EXPECT_TRUE(
        Contains(err, "Error: The settings file \"" + ConfigPath() + "\" could not be read"))
        << err;
    const auto events = EventNames(err);
    EXPECT_EQ(std::count(events.begin(), events.end(), "EV_MONITOR_ERROR"), 1) << err;
    EXPECT_TRUE(std::filesystem::is_directory(ConfigPath()));
    EXPECT_TRUE(std::filesystem::is_empty(ConfigPath()));
}

// ---- the web service of a headless monitor ----

TEST_F(MonitorProcessTest, HeadlessMonitorSaysWhereItsWebServiceIsOrWhyItIsNot) {
    for (const bool taken : {false, true}) {
        SCOPED_TRACE(taken ? "port taken" : "port free");
        int port = 0;
        const int holder = taken ? HeldLoopbackPort(&port) : -1;
        if (!taken) port = FreeLoopbackPort();
        WriteFile(ConfigPath(), "[Web]\r\nOn=1\r\nAddress=127.0.0.1\r\nPort=" +
                                    std::to_string(port) + "\r\nTls=1\r\n");
        auto monitor = StartMonitor({"--headless"});
        ASSERT_TRUE(monitor->ok());
        const std::string said = "Web service: https://127.0.0.1:" + std::to_string(port) + "/\n";
        const std::string refused = "EV_MONITOR_ERROR";
        EXPECT_TRUE(WaitFor([&] { return Contains(monitor->Err(), taken ? refused : said); }, 10s))
            << monitor->Err();
        std::this_thread::sleep_for(1500ms);  // the service looks at its record again meanwhile
        monitor->Signal(SIGTERM);
        const auto status = monitor->Wait(10s);
        EXPECT_TRUE(ExitedWith(status, 0)) << Describe(status) << "\n" << monitor->Err();
        if (holder >= 0) close(holder);
        const std::string err = monitor->Err();
        const auto events = EventNames(err);
        EXPECT_EQ(std::count(events.begin(), events.end(), "EV_MONITOR_ERROR"), taken ? 1 : 0)
            << err;
        EXPECT_EQ(Contains(err, said), !taken) << err;
        EXPECT_EQ(Contains(err, "port " + std::to_string(port) + ": Address already in use"), taken)
            << err;
    }
}

// ---- one instance per lock file ----

TEST_F(MonitorProcessTest, SecondInstanceIsRefusedAndTheFirstKeepsRunning) {
    AddSimDevice(2, "03", "90000002");
    StartSite();
    auto first = StartMonitor({"--headless"}, std::nullopt, "first");
    ASSERT_TRUE(first->ok());
    ASSERT_TRUE(WaitUntilPolled(10s)) << first->Err();
    ASSERT_EQ(Site().Snapshot(0).discoveryRequests, 1);

    TempDir other;
    ASSERT_TRUE(other.ok());
    const std::string otherConfig = other.File("second.ini");
    Child second(MonitorArgs(otherConfig, LockPath(), {"--headless"}), MonitorEnv(std::nullopt), other.File("second.out"),
                 other.File("second.err"));
    ASSERT_TRUE(second.ok()) << second.error();
    const auto secondStatus = second.Wait(10s);
    EXPECT_TRUE(ExitedWith(secondStatus, 0)) << Describe(secondStatus) << "\n" << second.Err();
    EXPECT_TRUE(Contains(second.Err(), "Warning: The AVLO Monitor application is already running.\n")) << second.Err();
    // It stopped before building anything: no broadcast, no settings file, no events.
    EXPECT_FALSE(std::filesystem::exists(otherConfig));
    EXPECT_TRUE(EventNames(second.Err()).empty()) << second.Err();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(Site().Snapshot(0).discoveryRequests, 1);

    // The first one is undisturbed and still shuts down properly.
    ASSERT_TRUE(first->Running()) << Describe(first->Wait(0ms));
    EXPECT_EQ(Site().Snapshot(0).connections, 1);
    first->Signal(SIGTERM);
    const auto firstStatus = first->Wait(10s);
    EXPECT_TRUE(ExitedWith(firstStatus, 0)) << Describe(firstStatus) << "\n" << first->Err();
    ExpectSaved(ReadFile(ConfigPath()), {"90000002", "My Velkan RV13", Address(2), "1", "4"});
}

// A lock that cannot be taken is not a running copy: the program says what failed and where,
// and ends with a failure status, before it builds anything.
TEST_F(MonitorProcessTest, LockFileThatCannotBeCreatedIsReportedAndEndsWithAFailure) {
    const std::string lock = dir_.File("missing") + "/AVLO.lock";
    Child monitor(MonitorArgs(ConfigPath(), lock, {"--headless"}), MonitorEnv(std::nullopt),
                  dir_.File("lock.out"), dir_.File("lock.err"));
    ASSERT_TRUE(monitor.ok()) << monitor.error();
    const auto status = monitor.Wait(10s);
    EXPECT_TRUE(status.has_value() && !ExitedWith(status, 0)) << Describe(status) << "\n"
                                                              << monitor.Err();
    EXPECT_TRUE(Contains(monitor.Err(),
                         "Error: AVLO Monitor cannot start: cannot open or create the lock file " +
                             lock + ": No such file or directory.\n"))
        << monitor.Err();
    EXPECT_FALSE(Contains(monitor.Err(), "already running")) << monitor.Err();
    EXPECT_FALSE(std::filesystem::exists(ConfigPath()));
}

// ---- command lines that end at once ----

struct CommandCase {
    const char* name;
    std::vector<std::string> args;  // after the program's name
    int exitCode;
    std::vector<std::string> inOut;  // texts standard output must contain
    std::vector<std::string> inErr;  // texts standard error must contain
};

void PrintTo(const CommandCase& c, std::ostream* os) { *os << c.name; }

class CommandLineTest : public MonitorProcessTest, public testing::WithParamInterface<CommandCase> {};

TEST_P(CommandLineTest, EndsAtOnceWithTheRightTextAndCode) {
    const CommandCase& c = GetParam();
    std::vector<std::string> argv{AVLO_MONITOR_BIN};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    Child child(argv, MonitorEnv(std::nullopt), dir_.File("cli.out"), dir_.File("cli.err"));
    ASSERT_TRUE(child.ok()) << child.error();
    const auto status = child.Wait(10s);
    EXPECT_TRUE(ExitedWith(status, c.exitCode)) << Describe(status) << "\n" << child.Err();
    const std::string out = child.Out();
    const std::string err = child.Err();
    for (const auto& text : c.inOut) EXPECT_TRUE(Contains(out, text)) << "missing \"" << text << "\" in:\n" << out;
    for (const auto& text : c.inErr) EXPECT_TRUE(Contains(err, text)) << "missing \"" << text << "\" in:\n" << err;
    EXPECT_FALSE(std::filesystem::exists(ConfigPath())) << "a run that ends at once wrote settings";
}

const CommandCase kCommandCases[] = {
    {"Version", {"--version"}, 0, {std::string("AVLO Monitor ") + AVLO_VERSION + "\n"}, {}},
    // One dash makes a switch word that matches nothing, not an option.
    {"DashedWordIsNoOption", {"-stats", "STATS", "--version"}, 0, {std::string("AVLO Monitor ") + AVLO_VERSION}, {}},
    {"HelpListsOptionsAndSwitchWords",
     {"--help"},
     0,
     {"Usage: avlo-monitor", "--headless", "--config PATH", "--lock-file PATH", "--discovery-address A",
      "--discovery-port N", "any case", "\n  alerts ", "\n  stats ", "\n  nolimit ", "\n  test "},
     {}},
    {"UnknownOption", {"--bogus"}, 2, {}, {"unknown option: --bogus", "Usage: avlo-monitor"}},
    {"BadPort", {"--discovery-port", "0"}, 2, {}, {"bad port number", "Usage: avlo-monitor"}},
    {"MissingValue", {"--config"}, 2, {}, {"needs a value", "Usage: avlo-monitor"}},
};

INSTANTIATE_TEST_SUITE_P(Process, CommandLineTest, testing::ValuesIn(kCommandCases),
                         [](const testing::TestParamInfo<CommandCase>& info) { return std::string(info.param.name); });

TEST_F(MonitorProcessTest, WithoutADisplayItSaysHowToGetOneInsteadOfCrashing) {
    if (!kMonitorHasWindows) GTEST_SKIP() << "this build of the monitor has no windows";
    Child child(MonitorArgs(ConfigPath(), LockPath(), {}), MonitorEnv(std::nullopt), dir_.File("nodisplay.out"),
                dir_.File("nodisplay.err"));
    ASSERT_TRUE(child.ok()) << child.error();
    const auto status = child.Wait(10s);
    ASSERT_TRUE(status) << "still running without a display";
    EXPECT_TRUE(WIFEXITED(*status)) << Describe(status);
    EXPECT_NE(WEXITSTATUS(*status), 0);
    EXPECT_TRUE(Contains(child.Err(), "--headless")) << child.Err();
    EXPECT_TRUE(Contains(child.Err(), "display")) << child.Err();
    EXPECT_FALSE(std::filesystem::exists(ConfigPath()));
}

}  // namespace

namespace {

// Built without windows, the monitor needs no --headless: without a display it runs headless.
TEST_F(MonitorProcessTest, ABuildWithoutWindowsRunsHeadlessUnasked) {
    if (kMonitorHasWindows) GTEST_SKIP() << "this build of the monitor has windows";
    AddSimDevice(2, "02", "40000002");
    StartSite();

    auto monitor = StartMonitor({});
    ASSERT_TRUE(monitor->ok());
    ASSERT_TRUE(WaitFor(
        [&] {
            return Contains(monitor->Out(), "My Velkan RV12 | " + Address(2) + " | Connected | OK");
        },
        10s))
        << monitor->Out() << "\n"
        << monitor->Err();
    monitor->Signal(SIGTERM);
    const auto status = monitor->Wait(10s);
    EXPECT_TRUE(ExitedWith(status, 0)) << Describe(status) << "\n" << monitor->Err();
    const auto events = EventNames(monitor->Err());
    ASSERT_FALSE(events.empty()) << monitor->Err();
    EXPECT_EQ(events.back(), "EV_MONITOR_STOPPED");
}

}  // namespace

namespace {

// ---- a device's hostile serial number ----

// Serial numbers that would drive a terminal shown them raw: a window title (OSC ... BEL), a
// screen wipe (CSI 2J) with a NUL that would cut a line short, and DEL. Eight bytes each, as
// the status carries them, and free of the status's field letters, so the status stays whole.
struct HostileSerial {
    int host;
    const char* spelled;  // for avlo-devsim --device
    const char* shown;    // as every output of the monitor must write it
};

const HostileSerial kHostileSerials[] = {
    {40, R"(\x1b]0;pwn\x07)", R"(\x1B]0;pwn\x07)"},
    {41, R"(\x1B[2J\x00o\x7Fk)", R"(\x1B[2J\x00o\x7Fk)"},
};

// The first control byte in text other than those in allowed, as "\xNN"; empty when none.
std::string FirstControl(const std::string& text, std::string_view allowed) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 || byte == 0x7F) && allowed.find(c) == std::string_view::npos) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", byte);
            return hex;
        }
    }
    return {};
}

// What the test saw, for its own reports: a failing run must not drive the terminal either.
std::string Shown(const std::string& text) {
    return devsim::ShownBytes(text, "\n");
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

// Lines that name an event: each must name exactly one, at its start after the time.
std::vector<std::string> EventLines(const std::string& text, const std::regex& start) {
    static const std::regex name(" EV_[A-Z_]+ ");
    std::vector<std::string> events;
    for (const std::string& line : Lines(text)) {
        const auto names = std::distance(std::sregex_iterator(line.begin(), line.end(), name),
                                         std::sregex_iterator());
        if (names == 0) continue;
        EXPECT_EQ(names, 1) << "events glued on one line: " << Shown(line);
        EXPECT_TRUE(std::regex_search(line, start)) << "an event line cut short: " << Shown(line);
        events.push_back(line);
    }
    return events;
}

// RFC 4180 records: fields split on commas, quoted fields may hold commas, quotes and breaks.
std::vector<std::vector<std::string>> CsvRecords(const std::string& text) {
    std::vector<std::vector<std::string>> records;
    std::vector<std::string> fields;
    std::string field;
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            fields.push_back(std::exchange(field, {}));
        } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            fields.push_back(std::exchange(field, {}));
            records.push_back(std::exchange(fields, {}));
            ++i;
        } else {
            field += c;
        }
    }
    if (!field.empty() || !fields.empty()) {  // a last record without its CR LF
        fields.push_back(field);
        records.push_back(fields);
    }
    return records;
}

class HostileSerialTest : public MonitorProcessTest {
protected:
    // The simulator as its own program, so the serials travel exactly as a site's would.
    std::unique_ptr<Child> StartDevsim() {
        std::vector<std::string> args{AVLO_DEVSIM_BIN,
                                      "--discovery-listen",
                                      kHub,
                                      "--udp-port",
                                      std::to_string(kDiscoveryPort),
                                      "--duration",
                                      "60"};
        for (std::size_t i = 0; i < std::size(kHostileSerials); ++i) {
            const HostileSerial& s = kHostileSerials[i];
            args.insert(args.end(), {"--device", Address(s.host) + ":02:" + s.spelled, "--fault",
                                     std::to_string(i) + ":fan:1"});
        }
        auto devsim = std::make_unique<Child>(args, Environment({}), dir_.File("devsim.out"),
                                              dir_.File("devsim.err"));
        EXPECT_TRUE(devsim->ok()) << devsim->error();
        return devsim;
    }
    // Runs "avlo-monitor --events" on the history the monitor wrote; its standard output.
    std::string Events(std::vector<std::string> more, const std::string& tag) {
        std::vector<std::string> args{AVLO_MONITOR_BIN, "--events", "--config", ConfigPath()};
        args.insert(args.end(), more.begin(), more.end());
        Child events(args, MonitorEnv(std::nullopt), dir_.File(tag + ".out"),
                     dir_.File(tag + ".err"));
        EXPECT_TRUE(events.ok()) << events.error();
        const auto status = events.Wait(10s);
        EXPECT_TRUE(ExitedWith(status, 0)) << tag << ": " << Describe(status) << "\n"
                                           << Shown(events.Err());
        return events.Out();
    }
    static std::string AlertOf(const HostileSerial& s) {
        return std::string("AVLO Alert [RV12, # ") + s.shown + "]: FAN FAILURE";
    }
    static std::string StatusOf(const HostileSerial& s) {
        return std::string("*M02R") + s.shown + "P1V1111";
    }
};

// Whatever a device puts in its serial number, what the monitor prints, the history keeps and
// --events shows is escaped: no byte of it can move a terminal's cursor, rename its window,
// wipe its screen or end a line.
TEST_F(HostileSerialTest, NoOutputCarriesTheSerialsControlBytesRaw) {
    auto devsim = StartDevsim();
    ASSERT_TRUE(devsim->ok());
    const std::string lastDevice = "[1] " + Address(kHostileSerials[1].host);
    ASSERT_TRUE(WaitFor([&] { return Contains(devsim->Out(), lastDevice); }, 10s))
        << Describe(devsim->Wait(0ms)) << "\n"
        << Shown(devsim->Out() + devsim->Err());

    auto monitor = StartMonitor({"--headless"});
    ASSERT_TRUE(monitor->ok());
    const auto alerted = [&] {
        const std::string err = monitor->Err();
        return std::all_of(std::begin(kHostileSerials), std::end(kHostileSerials),
                           [&](const HostileSerial& s) { return Contains(err, AlertOf(s)); });
    };
    EXPECT_TRUE(WaitFor(alerted, 15s)) << Shown(monitor->Out() + monitor->Err());
    monitor->Signal(SIGTERM);
    const auto status = monitor->Wait(10s);
    EXPECT_TRUE(ExitedWith(status, 0)) << Describe(status) << "\n" << Shown(monitor->Err());
    devsim->Terminate(5s);

    const std::string out = monitor->Out();
    const std::string err = monitor->Err();
    EXPECT_EQ(FirstControl(out, "\n"), "") << Shown(out);
    EXPECT_EQ(FirstControl(err, "\n"), "") << Shown(err);
    EXPECT_EQ(FirstControl(devsim->Out(), "\n"), "") << Shown(devsim->Out());
    const std::regex timeThenEvent(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d EV_[A-Z_]+ 0x[0-9A-F]{8}\b)");
    const std::vector<std::string> printed = EventLines(err, timeThenEvent);

    const std::string text = Events({}, "events");
    const std::string csv = Events({"--csv"}, "csv");
    EXPECT_EQ(FirstControl(text, "\n"), "") << Shown(text);
    EXPECT_EQ(FirstControl(csv, "\r\n"), "") << Shown(csv);
    const std::regex timeKindEvent(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d  [a-z]+ +EV_[A-Z_]+ )");
    const std::vector<std::string> listed = EventLines(text, timeKindEvent);
    EXPECT_EQ(listed.size(), Lines(text).size()) << Shown(text);
    EXPECT_EQ(listed.size(), printed.size()) << Shown(text + "\n---\n" + err);

    const auto records = CsvRecords(csv);
    ASSERT_FALSE(records.empty()) << Shown(csv);
    EXPECT_EQ(records.size(), listed.size() + 1) << Shown(csv);  // and the header
    for (const auto& record : records) EXPECT_EQ(record.size(), 9u) << Shown(csv);

    for (const HostileSerial& s : kHostileSerials) {
        SCOPED_TRACE(s.spelled);
        const auto withAlert = [&](const std::vector<std::string>& lines) {
            return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
                return Contains(line, AlertOf(s)) && Contains(line, StatusOf(s));
            });
        };
        EXPECT_GE(withAlert(printed), 1) << Shown(err);
        EXPECT_GE(withAlert(listed), 1) << Shown(text);
        const auto ofDevice = std::count_if(records.begin(), records.end(), [&](const auto& r) {
            return r.size() == 9 && r[6] == Address(s.host);
        });
        const auto withSerial = std::count_if(records.begin(), records.end(), [&](const auto& r) {
            return r.size() == 9 && r[6] == Address(s.host) && r[7] == s.shown;
        });
        EXPECT_GE(ofDevice, 3) << Shown(csv);  // registered, connected, the alert at least
        EXPECT_EQ(withSerial, ofDevice) << Shown(csv);
        const bool alertInCsv = std::any_of(records.begin(), records.end(), [&](const auto& r) {
            return r.size() == 9 && Contains(r[8], AlertOf(s)) && Contains(r[8], StatusOf(s));
        });
        EXPECT_TRUE(alertInCsv) << Shown(csv);
    }
}

}  // namespace
