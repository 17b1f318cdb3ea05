#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/devsim/Site.h"

namespace devsim {

struct FaultOption {
    int device = 0;
    ChannelFault kind = ChannelFault::Channel;
    int channel = 1;
};

struct SupplyFaultOption {
    int device = 0;
    int rail = 0;
};

// A reply delay for one device, or for all of them (device AllDevices).
struct ReplyDelayOption {
    int device = 0;
    int ms = 0;
};
constexpr int AllDevices = -1;

struct ProgramOptions {
    std::vector<DeviceConfig> devices;
    std::string discoveryListen = "0.0.0.0";  // empty: none
    std::uint16_t tcpPort = 60002;
    std::uint16_t udpPort = 60003;
    std::vector<int> discoveryOnly;
    std::vector<FaultOption> faults;
    std::vector<SupplyFaultOption> supplyFaults;
    std::vector<int> noConfirm;  // device indexes, or AllDevices
    std::vector<ReplyDelayOption> replyDelays;
    int durationSeconds = 0;
    bool quiet = false;
    bool help = false;
    bool version = false;
};

// Fills options from the command line; false with error set on a bad one.
bool ParseProgramOptions(int argc, const char* const* argv, ProgramOptions& options,
                         std::string& error);
std::string OptionsHelp();

// Shared with the standard-input commands.
bool ParseNumber(const std::string& text, long min, long max, long& out);
bool ParseFaultKind(const std::string& text, ChannelFault& kind);
bool ParseOnOff(const std::string& text, bool& on);

}  // namespace devsim
