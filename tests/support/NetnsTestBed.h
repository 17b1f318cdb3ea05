#pragma once

// Network namespace test bed for tests that need a real network path: the discovery
// broadcast to 255.255.255.255 and the unicast traffic that follows it.
//
// NetnsTestBed runs scripts/testbed.sh to build two namespaces joined by a veth pair:
//   <prefix>-mon : veth-mon 10.77.0.1/24                         (the monitor)
//   <prefix>-dev : veth-dev 10.77.0.2/24 .. 10.77.0.(N+1)/24      (simulated devices)
// and removes them again when it goes out of scope. ScopedNetns moves the calling thread
// into one of them for a while; every socket created meanwhile stays in that namespace
// for its whole life. A single test process therefore owns monitor sockets in -mon and
// device sockets in -dev, and datagrams between them cross the veth like a real cable,
// while nothing can leave the machine.
//
// Typical use:
//
//   TEST(Discovery, FindsDevices) {
//       AVLO_REQUIRE_NETNS();                    // skip without root; fail under CI=true
//       NetnsTestBed bed(/*devices=*/2);
//       ASSERT_TRUE(bed.ok()) << bed.error();
//       int devSock;
//       {
//           ScopedNetns in(bed.DeviceNs());
//           ASSERT_TRUE(in.ok()) << in.error();
//           devSock = socket(AF_INET, SOCK_DGRAM, 0);   // lives in -dev from now on
//       }
//       ...
//   }
//
// Broadcasts sent from a namespace are also looped back to that namespace's own sockets
// bound to the port (the kernel always does that for broadcasts), so a monitor socket
// sees its own discovery datagram with source 10.77.0.1 besides the devices' replies.

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

extern char** environ;

class NetnsTestBed {
public:
    static constexpr int kDefaultDevices = 8;
    static constexpr int kMaxDevices = 253;

    // Builds a bed with a prefix unique to this process ("avlo<pid>_<k>"), so parallel
    // ctest runs and several beds in one process never share namespaces.
    explicit NetnsTestBed(int devices = kDefaultDevices) : NetnsTestBed(UniquePrefix(), devices) {}

    NetnsTestBed(std::string prefix, int devices) : prefix_(std::move(prefix)), devices_(devices) {
        if (devices_ < 1 || devices_ > kMaxDevices) {
            error_ = "device count must be 1.." + std::to_string(kMaxDevices) + ", got " +
                     std::to_string(devices_);
            return;
        }
        std::string output;
        const int rc = RunScript({"up", "--name", prefix_, "--devices", std::to_string(devices_)},
                                 &output);
        if (rc != 0) {
            error_ = "testbed.sh up --name " + prefix_ + " failed (" + DescribeStatus(rc) + "): " +
                     output;
            // The script cleans up after itself on failure; make sure anyway.
            std::string ignored;
            RunScript({"down", "--name", prefix_}, &ignored);
            return;
        }
        up_ = true;
    }

    ~NetnsTestBed() {
        if (!up_) return;
        std::string output;
        const int rc = RunScript({"down", "--name", prefix_}, &output);
        if (rc != 0) {
            // Leaked namespaces would pile up in /run/netns; say so loudly.
            ADD_FAILURE() << "testbed.sh down --name " << prefix_ << " failed ("
                          << DescribeStatus(rc) << "): " << output;
        }
    }

    NetnsTestBed(const NetnsTestBed&) = delete;
    NetnsTestBed& operator=(const NetnsTestBed&) = delete;

    bool ok() const { return up_; }
    const std::string& error() const { return error_; }

    const std::string& Prefix() const { return prefix_; }
    int Devices() const { return devices_; }
    std::string MonitorNs() const { return prefix_ + "-mon"; }
    std::string DeviceNs() const { return prefix_ + "-dev"; }
    // Interface names are the same in every bed: each lives only inside its namespace.
    static std::string MonitorInterface() { return "veth-mon"; }
    static std::string DeviceInterface() { return "veth-dev"; }
    static std::string MonitorAddress() { return "10.77.0.1"; }
    // Device i (0-based) answers on 10.77.0.(i+2); valid for i < Devices().
    static std::string DeviceAddress(int i) { return "10.77.0." + std::to_string(i + 2); }
    static std::string BroadcastAddress() { return "255.255.255.255"; }

    // True when this process can build a bed: root, scripts/testbed.sh found, `ip` present
    // and the kernel lets us create a network namespace. Otherwise false with the reason.
    static bool Available(std::string* reason) {
        auto fail = [&](std::string why) {
            if (reason) *reason = std::move(why);
            return false;
        };
        if (geteuid() != 0) {
            return fail("network namespace tests need root (euid is " + std::to_string(geteuid()) +
                        ")");
        }
        const std::string script = ScriptPath();
        if (access(script.c_str(), R_OK) != 0) {
            return fail("scripts/testbed.sh not found at '" + script +
                        "' (set AVLO_SOURCE_DIR to the repository root)");
        }
        if (FindIp().empty()) {
            return fail("the 'ip' command (iproute2) is not installed");
        }
        // unshare() on a short-lived thread: only that thread changes namespace, and it
        // proves the kernel/container allows new network namespaces at all.
        int unshareErrno = 0;
        std::thread probe([&] {
            if (unshare(CLONE_NEWNET) != 0) unshareErrno = errno;
        });
        probe.join();
        if (unshareErrno != 0) {
            return fail(std::string("cannot create a network namespace: unshare(CLONE_NEWNET): ") +
                        std::strerror(unshareErrno));
        }
        if (reason) reason->clear();
        return true;
    }

    // Under CI the bed tests are part of what must pass; skipping would hide a broken runner.
    static bool RequiredByCi() {
        const char* ci = std::getenv("CI");
        return ci != nullptr && std::string(ci) == "true";
    }

    // The repository root: $AVLO_SOURCE_DIR, else AVLO_SOURCE_DIR_DEFAULT if the build
    // defines it, else two levels above this header.
    static std::string SourceDir() {
        if (const char* env = std::getenv("AVLO_SOURCE_DIR"); env != nullptr && *env != '\0') {
            return env;
        }
#ifdef AVLO_SOURCE_DIR_DEFAULT
        return AVLO_SOURCE_DIR_DEFAULT;
#else
        std::string here = __FILE__;
        const std::string tail = "tests/support/NetnsTestBed.h";
        if (here.size() >= tail.size() && here.compare(here.size() - tail.size(), tail.size(), tail) == 0) {
            here.erase(here.size() - tail.size());
            return here.empty() ? "." : here;
        }
        return ".";
#endif
    }

    static std::string ScriptPath() { return SourceDir() + "/scripts/testbed.sh"; }

    // Runs scripts/testbed.sh with `args`, collecting stdout+stderr into *output. Returns the
    // exit status, 128+signal if it was killed, or -1 if it could not be started. The
    // script finishes in well under a second; the deadline only guards against a hung ip(8).
    static int RunScript(const std::vector<std::string>& args, std::string* output,
                         std::chrono::milliseconds deadline = std::chrono::seconds(60)) {
        output->clear();
        int pipefd[2];
        if (pipe2(pipefd, O_CLOEXEC) != 0) {
            *output = std::string("pipe2: ") + std::strerror(errno);
            return -1;
        }
        const std::string script = ScriptPath();
        std::vector<std::string> argvStore{"/bin/bash", script};
        argvStore.insert(argvStore.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : argvStore) argv.push_back(a.data());
        argv.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, pipefd[1], 1);
        posix_spawn_file_actions_adddup2(&actions, pipefd[1], 2);
        pid_t pid = -1;
        const int spawnErr = posix_spawn(&pid, "/bin/bash", &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(pipefd[1]);
        if (spawnErr != 0) {
            close(pipefd[0]);
            *output = std::string("posix_spawn /bin/bash: ") + std::strerror(spawnErr);
            return -1;
        }

        const auto end = std::chrono::steady_clock::now() + deadline;
        bool timedOut = false;
        char buf[4096];
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                timedOut = true;
                break;
            }
            pollfd pfd{pipefd[0], POLLIN, 0};
            const int pr = poll(&pfd, 1, static_cast<int>(left.count()));
            if (pr < 0 && errno == EINTR) continue;
            if (pr <= 0) {
                timedOut = pr == 0;
                break;
            }
            const ssize_t n = read(pipefd[0], buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;  // EOF: the script (and anything it started) closed the pipe
            output->append(buf, static_cast<std::size_t>(n));
        }
        close(pipefd[0]);
        if (timedOut) {
            kill(pid, SIGKILL);  // only the child we started
            output->append("\n[testbed.sh killed after deadline]");
        }
        int status = 0;
        while (waitpid(pid, &status, 0) < 0) {
            if (errno != EINTR) return -1;
        }
        if (WIFEXITED(status)) return WEXITSTATUS(status);
        if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
        return -1;
    }

private:
    static std::string UniquePrefix() {
        static std::atomic<int> counter{0};
        return "avlo" + std::to_string(getpid()) + "_" + std::to_string(counter++);
    }

    static std::string FindIp() {
        std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
        path += ":/usr/sbin:/sbin:/usr/bin:/bin";  // the script adds the sbin dirs too
        std::size_t start = 0;
        while (start <= path.size()) {
            const std::size_t colon = path.find(':', start);
            const std::string dir = path.substr(start, colon == std::string::npos ? std::string::npos
                                                                                   : colon - start);
            if (!dir.empty()) {
                const std::string candidate = dir + "/ip";
                if (access(candidate.c_str(), X_OK) == 0) return candidate;
            }
            if (colon == std::string::npos) break;
            start = colon + 1;
        }
        return {};
    }

    static std::string DescribeStatus(int rc) {
        if (rc < 0) return "could not run";
        if (rc > 128) return "killed by signal " + std::to_string(rc - 128);
        return "exit " + std::to_string(rc);
    }

    std::string prefix_;
    int devices_;
    bool up_ = false;
    std::string error_;
};

// Moves the calling thread (only it) into the named network namespace until destruction.
// Sockets opened meanwhile belong to that namespace for good, even after the thread is
// back, so the usual pattern is: enter, create/bind sockets, leave, use them anywhere.
// Threads already running stay where they are, but a thread started from inside the
// scope begins life in the namespace (the kernel copies it from the creating thread):
// handy for running a whole device simulator in -dev, a trap if done by accident.
class ScopedNetns {
public:
    explicit ScopedNetns(const std::string& name) {
        original_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        if (original_ < 0) {
            error_ = std::string("open /proc/thread-self/ns/net: ") + std::strerror(errno);
            return;
        }
        const std::string path = "/var/run/netns/" + name;
        const int target = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (target < 0) {
            error_ = "open " + path + ": " + std::strerror(errno);
            close(original_);
            original_ = -1;
            return;
        }
        if (setns(target, CLONE_NEWNET) != 0) {
            error_ = "setns(" + path + ", CLONE_NEWNET): " + std::strerror(errno);
            close(target);
            close(original_);
            original_ = -1;
            return;
        }
        close(target);
        entered_ = true;
    }

    ~ScopedNetns() {
        if (entered_ && setns(original_, CLONE_NEWNET) != 0) {
            // A thread stranded in a test namespace would silently run later code in the
            // wrong network; do not let that pass unnoticed.
            const std::string why = std::strerror(errno);
            std::fprintf(stderr, "ScopedNetns: cannot return to the original namespace: %s\n",
                         why.c_str());
            ADD_FAILURE() << "ScopedNetns: cannot return to the original network namespace: " << why;
        }
        if (original_ >= 0) close(original_);
    }

    ScopedNetns(const ScopedNetns&) = delete;
    ScopedNetns& operator=(const ScopedNetns&) = delete;

    bool ok() const { return entered_; }
    const std::string& error() const { return error_; }

private:
    int original_ = -1;
    bool entered_ = false;
    std::string error_;
};

// Use at the top of a test body or SetUp(): skips with the reason when no bed can be
// built here, but fails under CI=true, where the runner is root and these tests must run.
#define AVLO_REQUIRE_NETNS()                                                                     \
    do {                                                                                         \
        std::string avlo_netns_reason_;                                                          \
        if (!NetnsTestBed::Available(&avlo_netns_reason_)) {                                     \
            if (NetnsTestBed::RequiredByCi()) {                                                  \
                FAIL() << "network namespace test bed unavailable under CI=true: "               \
                       << avlo_netns_reason_;                                                    \
            }                                                                                    \
            GTEST_SKIP() << avlo_netns_reason_;                                                  \
        }                                                                                        \
    } while (0)

// Fixture form: each test gets a fresh bed with kDevices simulated devices, built in
// SetUp() and removed in TearDown().
template <int kDevices = NetnsTestBed::kDefaultDevices>
class NetnsTestBedFixture : public ::testing::Test {
protected:
    void SetUp() override {
        AVLO_REQUIRE_NETNS();
        bed_ = std::make_unique<NetnsTestBed>(kDevices);
        ASSERT_TRUE(bed_->ok()) << bed_->error();
    }
    void TearDown() override { bed_.reset(); }

    NetnsTestBed& bed() { return *bed_; }

private:
    std::unique_ptr<NetnsTestBed> bed_;
};
