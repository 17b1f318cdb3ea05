// avlo-devsim: simulated Velkan amplifiers for trying the monitor without hardware.
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <string>

#include "tools/devsim/ByteText.h"
#include "tools/devsim/Console.h"
#include "tools/devsim/LineFramer.h"
#include "tools/devsim/ProgramOptions.h"
#include "tools/devsim/Site.h"

namespace {

using namespace devsim;

// The worker thread reports events while the main thread answers commands: one line at a
// time, flushed, so a pipe reader never sees them interleaved or stuck in a buffer.
void PrintLine(const std::string& text) {
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void PrintEvent(const DeviceEvent& event) {
    const std::string device = "[" + std::to_string(event.device) + "] ";
    switch (event.kind) {
        case EventKind::ConnectionOpened:
            PrintLine(device + "connection from " + event.text + '\n');
            break;
        case EventKind::ConnectionClosed:
            PrintLine(device + "connection " + event.text + '\n');
            break;
        case EventKind::Request:
            PrintLine(device + "request " + ShownBytes(event.text) + '\n');
            break;
        case EventKind::DiscoveryAnswered:
            PrintLine(device + "discovery reply to " + event.text + '\n');
            break;
    }
}

bool SetUp(Site& site, const ProgramOptions& options) {
    if (!options.discoveryListen.empty() && !site.DiscoveryListening()) {
        std::cerr << "avlo-devsim: discovery: " << site.LastError() << '\n';
        return false;
    }
    for (const DeviceConfig& device : options.devices) {
        if (site.AddDevice(device) < 0) {
            std::cerr << "avlo-devsim: device " << device.address << ": " << site.LastError()
                      << '\n';
            return false;
        }
    }
    for (const FaultOption& fault : options.faults) {
        site.SetChannelFault(fault.device, fault.channel, fault.kind, true);
    }
    for (const SupplyFaultOption& fault : options.supplyFaults) {
        site.SetSupplyFault(fault.device, fault.rail, true);
    }
    return true;
}

int TimeoutMs(std::chrono::steady_clock::time_point deadline, bool bounded) {
    if (!bounded) return -1;
    const auto left = deadline - std::chrono::steady_clock::now();
    return static_cast<int>(
        std::max<long long>(0, std::chrono::ceil<std::chrono::milliseconds>(left).count()));
}

// Serves standard input until quit, a signal or the end of the run time. The end of
// standard input is not a reason to stop: the simulator is often started in the background.
void Run(int signals, Console& console, int durationSeconds) {
    const bool bounded = durationSeconds > 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(durationSeconds);
    LineFramer framer(4096);
    bool inputOpen = true;
    for (;;) {
        pollfd fds[2] = {{signals, POLLIN, 0}, {inputOpen ? STDIN_FILENO : -1, POLLIN, 0}};
        const int ready = ::poll(fds, 2, TimeoutMs(deadline, bounded));
        if (ready < 0 && errno != EINTR) return;
        if (fds[0].revents != 0) return;
        if (bounded && std::chrono::steady_clock::now() >= deadline) return;
        if (fds[1].revents == 0) continue;
        char buffer[4096];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            inputOpen = false;
            continue;
        }
        bool quit = false;
        framer.Feed(std::string_view(buffer, static_cast<std::size_t>(n)),
                    [&](std::string_view line) {
                        if (!quit) quit = !console.Execute(std::string(line));
                    });
        if (quit) return;
    }
}

int Fail(const std::string& message) {
    std::cerr << "avlo-devsim: " << message << "\nTry avlo-devsim --help.\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    ProgramOptions options;
    std::string error;
    if (!ParseProgramOptions(argc, argv, options, error)) return Fail(error);
    if (options.help) {
        std::cout << OptionsHelp() << '\n' << Console::CommandsHelp();
        return 0;
    }
    if (options.version) {
        std::cout << "avlo-devsim " << AVLO_VERSION << '\n';
        return 0;
    }

    // Blocked before any thread starts, so that only the signalfd ever sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);  // a closed stdout must not kill the simulator
    const int signals = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);
    if (signals < 0) return Fail("signalfd failed");

    Site site(SiteOptions{options.discoveryListen, options.udpPort});
    if (!SetUp(site, options)) return 1;
    if (!options.quiet) site.SetEventHandler(PrintEvent);
    if (!site.Start()) {
        std::cerr << "avlo-devsim: " << site.LastError() << '\n';
        return 1;
    }
    if (!options.quiet) {
        for (std::size_t i = 0; i < options.devices.size(); ++i) {
            const DeviceConfig& device = options.devices[i];
            PrintLine("[" + std::to_string(i) + "] " + device.address + " model " +
                      device.modelText + " serial " + ShownBytes(device.serial) +
                      (device.acceptTcp ? "" : " (discovery only)") + '\n');
        }
    }
    Console console(site, options.devices, PrintLine);
    Run(signals, console, options.durationSeconds);
    site.Stop();
    ::close(signals);
    if (!options.quiet) PrintLine("stopped\n");
    return 0;
}
