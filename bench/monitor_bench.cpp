// Whole-monitor figures with 50 simulated devices on loopback:
//   - time from a poll to the last of the 50 statuses applied to the device list,
//   - shutdown time with 50 connected devices (without and with the final 1 s pause),
//   - start-up time (process start to every device known), idle CPU and resident memory of a
//     running headless monitor process.
// Usage: avlo_monitor_bench [--idle-seconds N] [--monitor PATH]... [--rounds N]
//   --idle-seconds: default 60; 0 skips the process figures
//   --monitor: a monitor program measured in the process figures (default: this build's); given
//              more than once, the programs take turns, so that two builds are compared under
//              the same load of the machine
//   --rounds: how many turns each program gets (default 1)
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/MainUnit.h"
#include "tools/devsim/Site.h"

extern char** environ;

namespace {

constexpr int kDevices = 50;
constexpr std::uint16_t kPort = 63211;
const char* const kHub = "127.0.11.254";

std::string Address(int i) {
    return "127.0.11." + std::to_string(i + 2);
}

bool WaitUntil(const std::function<bool()>& pred, int ms) {
    QElapsedTimer timer;
    timer.start();
    while (!pred()) {
        if (timer.elapsed() > ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

void WriteConfig(const std::string& path) {
    std::ofstream out(path, std::ios::binary);
    out << "[AVLO]\r\nRegistered=" << kDevices << "\r\n";
    for (int i = 0; i < kDevices; ++i) {
        out << "Name " << i << "=Amp " << i << "\r\nIP " << i << "=" << Address(i) << "\r\navlo "
            << i << "=1\r\nSerial " << i << "=" << (20000000 + i) << "\r\n";
    }
}

bool AllConnected(const TMainForm& form) {
    return std::all_of(form.Core().Devices().begin(), form.Core().Devices().end(),
                       [](const auto& d) { return d->ConnState == Connected && d->StatusKnown; });
}

double PollToAllApplied(TMainForm& form, devsim::Site& site, int round) {
    const std::int32_t minutes = 1000 + round;
    for (int i = 0; i < kDevices; ++i) site.SetOperatingMinutes(i, minutes);
    QElapsedTimer timer;
    timer.start();
    form.Core().PollAll();
    const bool done = WaitUntil(
        [&] {
            return std::all_of(
                form.Core().Devices().begin(), form.Core().Devices().end(),
                [&](const auto& d) { return d->Status.OperatingMinutes == minutes; });
        },
        10000);
    return done ? timer.nsecsElapsed() / 1e6 : -1;
}

double ShutdownMs(TMainForm* form) {
    QElapsedTimer timer;
    timer.start();
    delete form;
    return timer.nsecsElapsed() / 1e6;
}

struct ProcSample {
    double cpuSeconds = 0;  // all the process's threads, those that ended included
    double mainThreadSeconds = 0;
    long rssKb = 0;
};

// The process's CPU clock counts nanoseconds; /proc's clock ticks (10 ms) are too coarse for a
// process that is busy for a few milliseconds a minute.
ProcSample Sample(pid_t pid) {
    ProcSample s;
    clockid_t clock{};
    timespec cpu{};
    if (clock_getcpuclockid(pid, &clock) == 0 && clock_gettime(clock, &cpu) == 0)
        s.cpuSeconds = static_cast<double>(cpu.tv_sec) + static_cast<double>(cpu.tv_nsec) / 1e9;
    // The scheduler's own account of the main thread, in nanoseconds: where the change check
    // and every timer of the monitor run, apart from the connection threads' read waits.
    std::ifstream schedstat("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) +
                            "/schedstat");
    long long onCpuNs = 0;
    if (schedstat >> onCpuNs) s.mainThreadSeconds = static_cast<double>(onCpuNs) / 1e9;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) s.rssKb = std::stol(line.substr(6));
    }
    return s;
}

// Reads the headless monitor's device-list lines from `fd` until each of the 50 rows shows a
// connected device with a known condition; the milliseconds since `start`, or -1 on time-out.
double WaitAllKnown(int fd, const QElapsedTimer& start, int limitMs) {
    std::vector<bool> known(kDevices, false);
    std::string pending;
    while (start.elapsed() < limitMs) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char buf[4096];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return -1;
        pending.append(buf, static_cast<std::size_t>(n));
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos;
             pending.erase(0, end + 1)) {
            const std::string line = pending.substr(0, end);
            if (line.rfind("row ", 0) != 0) continue;
            const int row = std::atoi(line.c_str() + 4);
            if (row < 0 || row >= kDevices) continue;
            known[static_cast<std::size_t>(row)] =
                line.find(" | Connected | ") != std::string::npos && !line.ends_with("| Unknown");
        }
        if (std::all_of(known.begin(), known.end(), [](bool k) { return k; }))
            return static_cast<double>(start.nsecsElapsed()) / 1e6;
    }
    return -1;
}

void IdleProcessFigures(const std::string& dir, int seconds, const std::string& monitorPath) {
    const std::string config = dir + "/idle.ini";
    WriteConfig(config);
    std::vector<std::string> args = {monitorPath,
                                     "--headless",
                                     "--config",
                                     config,
                                     "--lock-file",
                                     dir + "/idle.lock",
                                     "--discovery-address",
                                     kHub,
                                     "--discovery-port",
                                     std::to_string(kPort)};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    QElapsedTimer start;
    start.start();
    const int spawned =
        posix_spawn(&pid, monitorPath.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (spawned != 0) {
        std::printf("idle: cannot start %s\n", monitorPath.c_str());
        close(out[0]);
        return;
    }
    const double startupMs = WaitAllKnown(out[0], start, 20000);
    // The rest of its output is read and dropped, so the monitor never blocks on a full pipe.
    std::thread drain([fd = out[0]] {
        char buf[4096];
        while (read(fd, buf, sizeof buf) > 0) {
        }
    });
    std::printf("monitor process start to all 50 devices known: %.0f ms\n", startupMs);
    QThread::sleep(5);  // the first poll and the settings save settle
    const ProcSample first = Sample(pid);
    QThread::sleep(static_cast<unsigned long>(seconds));
    const ProcSample last = Sample(pid);
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    drain.join();
    close(out[0]);
    const double cpuSeconds = last.cpuSeconds - first.cpuSeconds;
    std::printf(
        "idle monitor process, 50 connected devices, %d s: CPU %.4f s (%.3f %%), RSS %ld KiB"
        " [%s]\n",
        seconds, cpuSeconds, 100.0 * cpuSeconds / seconds, last.rssKb, monitorPath.c_str());
    std::printf("  its main thread: CPU %.4f s (%.3f ms a second)\n",
                last.mainThreadSeconds - first.mainThreadSeconds,
                1000.0 * (last.mainThreadSeconds - first.mainThreadSeconds) / seconds);
    std::printf("monitor exit after SIGTERM: %s %d\n", WIFEXITED(status) ? "code" : "signal",
                WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status));
}

}  // namespace

int main(int argc, char** argv) {
    int idleSeconds = 60;
    int rounds = 1;
    std::vector<std::string> monitors;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--idle-seconds") == 0) idleSeconds = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--monitor") == 0) monitors.emplace_back(argv[i + 1]);
        if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::max(1, std::atoi(argv[i + 1]));
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir;
    // The monitors measured here write their autostart entry into the scratch folder, not the
    // user's.
    qputenv("XDG_CONFIG_HOME", dir.path().toUtf8());
    SetProcessEventSink(nullptr);

    devsim::Site site(devsim::SiteOptions{kHub, kPort});
    for (int i = 0; i < kDevices; ++i) {
        devsim::DeviceConfig c;
        c.address = Address(i);
        c.serial = std::to_string(20000000 + i);
        c.udpPort = kPort;
        if (site.AddDevice(c) < 0) {
            std::printf("cannot start simulated device %d: %s\n", i, site.LastError().c_str());
            return 1;
        }
    }
    site.Start();

    for (int pause : {0, 1000}) {
        StartupOptions options;
        options.configPath = dir.filePath("bench.ini").toStdString();
        options.lockPath = dir.filePath("bench.lock").toStdString();
        options.discoveryAddress = kHub;
        options.discoveryPort = kPort;
        WriteConfig(options.configPath);
        auto* form = new TMainForm(options);
        form->Core().ShutdownPauseMs = pause;
        if (!WaitUntil([&] { return AllConnected(*form); }, 20000)) {
            int connected = 0, known = 0;
            for (const auto& d : form->Core().Devices()) {
                connected += d->ConnState == Connected;
                known += d->StatusKnown;
            }
            std::printf("not every device connected: %d connected, %d with a status\n", connected,
                        known);
            return 1;
        }
        if (pause == 0) {
            std::vector<double> polls;
            for (int round = 0; round < 20; ++round)
                polls.push_back(PollToAllApplied(*form, site, round));
            const auto missed = std::count(polls.begin(), polls.end(), -1.0);
            std::sort(polls.begin(), polls.end());
            std::printf(
                "poll to the last of 50 statuses applied: median %.2f ms, max %.2f ms (20 polls)\n",
                polls[polls.size() / 2], polls.back());
            if (missed > 0) {
                // A device whose status never arrived within 10 s of a poll: the run fails.
                std::printf("%ld of 20 polls left a device without its new status\n",
                            static_cast<long>(missed));
                return 1;
            }
        }
        std::printf("shutdown with 50 connected devices (final pause %d ms): %.1f ms\n", pause,
                    ShutdownMs(form));
    }
    if (idleSeconds > 0) {
        if (monitors.empty())
            monitors.push_back(QCoreApplication::applicationDirPath().toStdString() +
                               "/../app/avlo-monitor");
        for (int round = 0; round < rounds; ++round) {
            for (const std::string& monitor : monitors)
                IdleProcessFigures(dir.path().toStdString(), idleSeconds, monitor);
        }
    }
    return 0;
}
