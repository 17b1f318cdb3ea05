#include "tools/devsim/ProgramOptions.h"

#include <cstdlib>
#include <map>
#include <optional>
#include <sstream>

#include "tools/devsim/ByteText.h"

namespace devsim {

namespace {

constexpr long MaxDeviceIndex = 9999;

constexpr long MaxReplyDelayMs = 600000;

const char* const ValueOptions[] = {
    "--device", "--discovery-listen", "--tcp-port", "--udp-port",   "--discovery-only",
    "--fault",  "--supply-fault",     "--duration", "--no-confirm", "--reply-delay"};

bool TakesValue(const std::string& name) {
    for (const char* option : ValueOptions) {
        if (name == option) return true;
    }
    return false;
}

// "A:B:C" into at most count parts; the last part keeps any further colons.
std::vector<std::string> SplitColons(const std::string& text, std::size_t count) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (parts.size() + 1 < count) {
        const std::size_t colon = text.find(':', start);
        if (colon == std::string::npos) break;
        parts.push_back(text.substr(start, colon - start));
        start = colon + 1;
    }
    parts.push_back(text.substr(start));
    return parts;
}

// The serial may spell any byte as "\xNN", to rehearse a device that sends controls in it
// (a NUL cannot be given on a command line any other way).
bool ParseDevice(const std::string& text, DeviceConfig& device, std::string& error) {
    const std::vector<std::string> parts = SplitColons(text, 3);
    const std::optional<std::string> serial =
        parts.size() == 3 ? DecodeByteEscapes(parts[2]) : std::nullopt;
    if (parts.size() != 3 || parts[1].size() != 2 || !serial || serial->size() != 8) {
        error =
            "--device wants ADDRESS:MODEL:SERIAL with a 2-character model and an "
            "8-byte serial (\\xNN for any byte, \\\\ for a backslash), not '" +
            ShownBytes(text) + "'";
        return false;
    }
    device.address = parts[0];
    device.modelText = parts[1];
    device.serial = *serial;
    return true;
}

bool ParseFault(const std::string& text, FaultOption& fault, std::string& error) {
    const std::vector<std::string> parts = SplitColons(text, 3);
    long device = 0;
    long channel = 0;
    if (parts.size() != 3 || !ParseNumber(parts[0], 0, MaxDeviceIndex, device) ||
        !ParseFaultKind(parts[1], fault.kind) || !ParseNumber(parts[2], 1, 7, channel)) {
        error = "--fault wants INDEX:channel|temp|fan|current:CHANNEL(1-7), not '" + text + "'";
        return false;
    }
    fault.device = static_cast<int>(device);
    fault.channel = static_cast<int>(channel);
    return true;
}

bool ParseSupplyFault(const std::string& text, SupplyFaultOption& fault, std::string& error) {
    const std::vector<std::string> parts = SplitColons(text, 2);
    long device = 0;
    long rail = 0;
    if (parts.size() != 2 || !ParseNumber(parts[0], 0, MaxDeviceIndex, device) ||
        !ParseNumber(parts[1], 0, 3, rail)) {
        error = "--supply-fault wants INDEX:RAIL(0-3), not '" + text + "'";
        return false;
    }
    fault.device = static_cast<int>(device);
    fault.rail = static_cast<int>(rail);
    return true;
}

// A device index, or "all".
bool ParseDeviceOrAll(const std::string& text, int& device) {
    long index = 0;
    if (text == "all") {
        device = AllDevices;
    } else if (ParseNumber(text, 0, MaxDeviceIndex, index)) {
        device = static_cast<int>(index);
    } else {
        return false;
    }
    return true;
}

bool ParseReplyDelay(const std::string& text, ReplyDelayOption& delay, std::string& error) {
    const std::vector<std::string> parts = SplitColons(text, 2);
    long ms = 0;
    if (parts.size() != 2 || !ParseDeviceOrAll(parts[0], delay.device) ||
        !ParseNumber(parts[1], 0, MaxReplyDelayMs, ms)) {
        error = "--reply-delay wants INDEX:MS or all:MS (0-600000), not '" + text + "'";
        return false;
    }
    delay.ms = static_cast<int>(ms);
    return true;
}

bool ParsePort(const std::string& text, std::uint16_t& port) {
    long value = 0;
    if (!ParseNumber(text, 1, 65535, value)) return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

// One option that takes a value; false with error set when the value is bad.
bool ApplyValue(const std::string& name, const std::string& value, ProgramOptions& options,
                std::string& error) {
    long number = 0;
    if (name == "--device") {
        DeviceConfig device;
        if (!ParseDevice(value, device, error)) return false;
        options.devices.push_back(device);
    } else if (name == "--discovery-listen") {
        options.discoveryListen = value == "none" ? "" : value;
    } else if (name == "--tcp-port" || name == "--udp-port") {
        std::uint16_t& port = name == "--tcp-port" ? options.tcpPort : options.udpPort;
        if (!ParsePort(value, port)) error = name + " wants a port number, not '" + value + "'";
    } else if (name == "--discovery-only") {
        if (!ParseNumber(value, 0, MaxDeviceIndex, number)) {
            error = "--discovery-only wants INDEX, not '" + value + "'";
        } else {
            options.discoveryOnly.push_back(static_cast<int>(number));
        }
    } else if (name == "--fault") {
        FaultOption fault;
        if (ParseFault(value, fault, error)) options.faults.push_back(fault);
    } else if (name == "--supply-fault") {
        SupplyFaultOption fault;
        if (ParseSupplyFault(value, fault, error)) options.supplyFaults.push_back(fault);
    } else if (name == "--no-confirm") {
        int device = 0;
        if (!ParseDeviceOrAll(value, device)) {
            error = "--no-confirm wants INDEX or all, not '" + value + "'";
        } else {
            options.noConfirm.push_back(device);
        }
    } else if (name == "--reply-delay") {
        ReplyDelayOption delay;
        if (ParseReplyDelay(value, delay, error)) options.replyDelays.push_back(delay);
    } else if (name == "--duration") {
        if (!ParseNumber(value, 0, 100000000, number)) {
            error = "--duration wants SECONDS, not '" + value + "'";
        } else {
            options.durationSeconds = static_cast<int>(number);
        }
    }
    return error.empty();
}

bool IndexesExist(const ProgramOptions& options, std::string& error) {
    const long count = static_cast<long>(options.devices.size());
    auto check = [&](int index, const char* option) {
        if (index < count) return true;
        error = std::string(option) + " names device " + std::to_string(index) + ", but only " +
                std::to_string(count) + " are given";
        return false;
    };
    for (const int index : options.discoveryOnly) {
        if (!check(index, "--discovery-only")) return false;
    }
    for (const FaultOption& fault : options.faults) {
        if (!check(fault.device, "--fault")) return false;
    }
    for (const SupplyFaultOption& fault : options.supplyFaults) {
        if (!check(fault.device, "--supply-fault")) return false;
    }
    for (const int index : options.noConfirm) {
        if (index != AllDevices && !check(index, "--no-confirm")) return false;
    }
    for (const ReplyDelayOption& delay : options.replyDelays) {
        if (delay.device != AllDevices && !check(delay.device, "--reply-delay")) return false;
    }
    return true;
}

}  // namespace

bool ParseNumber(const std::string& text, long min, long max, long& out) {
    if (text.empty() || text.size() > 12) return false;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (*end != '\0' || value < min || value > max) return false;
    out = value;
    return true;
}

bool ParseFaultKind(const std::string& text, ChannelFault& kind) {
    static const std::map<std::string, ChannelFault> kinds = {
        {"channel", ChannelFault::Channel},
        {"temp", ChannelFault::Temperature},
        {"fan", ChannelFault::Fan},
        {"current", ChannelFault::Current},
    };
    const auto found = kinds.find(text);
    if (found == kinds.end()) return false;
    kind = found->second;
    return true;
}

bool ParseOnOff(const std::string& text, bool& on) {
    if (text != "on" && text != "off") return false;
    on = text == "on";
    return true;
}

bool ParseProgramOptions(int argc, const char* const* argv, ProgramOptions& options,
                         std::string& error) {
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        if (name == "--help" || name == "-h") {
            options.help = true;
        } else if (name == "--version") {
            options.version = true;
        } else if (name == "--quiet") {
            options.quiet = true;
        } else {
            std::string value;
            const std::size_t equals = name.find('=');
            if (equals != std::string::npos) {
                value = name.substr(equals + 1);
                name.resize(equals);
            }
            if (!TakesValue(name)) {
                error = "unknown option " + name;
                return false;
            }
            if (equals == std::string::npos) {
                if (i + 1 >= argc) {
                    error = name + " wants a value";
                    return false;
                }
                value = argv[++i];
            }
            if (!ApplyValue(name, value, options, error)) return false;
        }
    }
    if (options.help || options.version) return true;
    if (options.devices.empty()) {
        error = "give at least one --device ADDRESS:MODEL:SERIAL";
        return false;
    }
    for (DeviceConfig& device : options.devices) {
        device.tcpPort = options.tcpPort;
        device.udpPort = options.udpPort;
    }
    if (!IndexesExist(options, error)) return false;
    for (const int index : options.discoveryOnly) {
        options.devices[static_cast<std::size_t>(index)].acceptTcp = false;
    }
    // In the order given, so a later option for one device overrides an earlier "all".
    for (std::size_t i = 0; i < options.devices.size(); ++i) {
        DeviceConfig& device = options.devices[i];
        const int index = static_cast<int>(i);
        for (const int named : options.noConfirm) {
            if (named == AllDevices || named == index) device.confirmCommands = false;
        }
        for (const ReplyDelayOption& delay : options.replyDelays) {
            if (delay.device == AllDevices || delay.device == index) device.replyDelayMs = delay.ms;
        }
    }
    return true;
}

std::string OptionsHelp() {
    std::ostringstream text;
    text
        << "Usage: avlo-devsim --device ADDRESS:MODEL:SERIAL [--device ...] [options]\n"
        << "Simulates Velkan amplifiers: each device answers the status protocol on its\n"
        << "ADDRESS (TCP) and discovery requests (UDP) from that address.\n\n"
        << "Options:\n"
        << "  --device ADDRESS:MODEL:SERIAL  add a device; MODEL 00 (RV10), 01 (RV11), 02 (RV12),\n"
        << "                                 03 (RV13); SERIAL 8 bytes, \\xNN for any byte\n"
        << "                                 (\\x1B, \\x00), \\\\ for a backslash\n"
        << "  --discovery-listen ADDR        where discovery requests are received\n"
        << "                                 (default 0.0.0.0; 'none' disables discovery)\n"
        << "  --tcp-port N                   status port of every device (default 60002)\n"
        << "  --udp-port N                   discovery port (default 60003)\n"
        << "  --discovery-only INDEX         device INDEX answers discovery but refuses TCP\n"
        << "  --fault INDEX:KIND:CHANNEL     start with a channel fault; KIND "
           "channel|temp|fan|current\n"
        << "  --supply-fault INDEX:RAIL      start with a supply fault; RAIL 0 (-5V), 1 (+12V),\n"
        << "                                 2 (+72V A), 3 (+72V B)\n"
        << "  --no-confirm INDEX|all         do not answer mode and channel requests with the\n"
        << "                                 status (by default a device confirms them)\n"
        << "  --reply-delay INDEX|all:MS     send every answer MS milliseconds late\n"
        << "  --duration SECONDS             stop after this time (0: run until quit or signal)\n"
        << "  --quiet                        do not print connections and requests\n"
        << "  --help                         show this text\n"
        << "  --version                      show the version\n";
    return text.str();
}

}  // namespace devsim
