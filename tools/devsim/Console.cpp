#include "tools/devsim/Console.h"

#include <cstdio>
#include <sstream>

#include "tools/devsim/ByteText.h"
#include "tools/devsim/ProgramOptions.h"

namespace devsim {

struct Console::Command {
    const char* name;
    const char* usage;
    const char* help;
    std::size_t argCount;  // after the device index, or in all when it takes no index
    bool takesDevice;
    std::string (Console::*run)(const std::string& name, int dev, const Args& args);
};

namespace {

std::string Hex2(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X", value & 0xFFu);
    return text;
}

std::string WithoutNewline(std::string text) {
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

}  // namespace

Console::Console(Site& site, std::vector<DeviceConfig> devices, Print print)
    : site_(site), devices_(std::move(devices)), print_(std::move(print)) {}

const std::vector<Console::Command>& Console::Commands() {
    static const std::vector<Command> commands = {
        {"list", "list", "show every device and the status it would send", 0, false, nullptr},
        {"fault", "fault INDEX KIND CHANNEL on|off", "channel fault; KIND channel|temp|fan|current",
         3, true, &Console::Fault},
        {"supply", "supply INDEX RAIL on|off", "supply fault; RAIL 0..3 (-5V, +12V, +72VA, +72VB)",
         2, true, &Console::Supply},
        {"clear", "clear INDEX", "remove every fault", 0, true, &Console::Simple},
        {"mode", "mode INDEX active|standby", "switch the mode", 1, true, &Console::Mode},
        {"mask", "mask INDEX HEX", "channel on-flags, bit 0 = channel 1", 1, true, &Console::Mask},
        {"minutes", "minutes INDEX N", "set the operating minutes", 1, true, &Console::Minutes},
        {"order", "order INDEX LETTERS", "field order of the status, e.g. MRPVADTFCH", 1, true,
         &Console::Order},
        {"drop", "drop INDEX", "close the connection", 0, true, &Console::Simple},
        {"reset", "reset INDEX", "reset the connection (RST)", 0, true, &Console::Simple},
        {"refuse", "refuse INDEX on|off", "refuse new connections", 1, true, &Console::Switch},
        {"silent", "silent INDEX on|off", "never answer status queries", 1, true, &Console::Switch},
        {"hangup", "hangup INDEX on|off", "accept new connections and close them at once", 1, true,
         &Console::Switch},
        {"confirm", "confirm INDEX on|off", "answer mode and channel requests with the status", 1,
         true, &Console::Switch},
        {"delay", "delay INDEX MS", "delay every status reply", 1, true, &Console::Delay},
        {"split", "split INDEX PIECES GAPMS", "send each reply in pieces", 2, true,
         &Console::Split},
        {"double", "double INDEX on|off", "answer each query twice in one write", 1, true,
         &Console::Switch},
        {"garbage", "garbage INDEX", "put junk bytes before the next reply", 0, true,
         &Console::Simple},
        {"overlong", "overlong INDEX",
         "send a 300-byte frame without newline before the next reply", 0, true, &Console::Simple},
        {"help", "help", "show the commands", 0, false, nullptr},
        {"quit", "quit", "stop the simulator", 0, false, nullptr},
    };
    return commands;
}

std::string Console::CommandsHelp() {
    std::ostringstream text;
    text << "Commands (standard input, one per line; INDEX counts devices from 0):\n";
    for (const Command& command : Commands()) {
        text << "  " << command.usage << std::string(34 - std::string(command.usage).size(), ' ')
             << command.help << '\n';
    }
    return text.str();
}

bool Console::Execute(const std::string& line) {
    std::istringstream words(line);
    Args args;
    for (std::string word; words >> word;) args.push_back(word);
    if (args.empty()) return true;
    const std::string name = args.front();
    args.erase(args.begin());
    for (const Command& command : Commands()) {
        if (name != command.name) continue;
        if (name == "quit") return false;
        const std::size_t wanted = command.argCount + (command.takesDevice ? 1 : 0);
        long dev = 0;
        std::string error;
        if (args.size() != wanted) {
            error = "usage: " + std::string(command.usage);
        } else if (command.takesDevice &&
                   !ParseNumber(args.front(), 0, static_cast<long>(devices_.size()) - 1, dev)) {
            error = "no device " + args.front();
        } else if (name == "list") {
            print_(List());
        } else if (name == "help") {
            print_(CommandsHelp());
        } else {
            error = (this->*command.run)(name, static_cast<int>(dev),
                                         Args(args.begin() + 1, args.end()));
            if (error.empty()) print_("ok\n");
        }
        if (!error.empty()) print_("error: " + error + '\n');
        return true;
    }
    print_("error: unknown command '" + name + "' (try help)\n");
    return true;
}

std::string Console::List() {
    std::ostringstream text;
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        const int dev = static_cast<int>(i);
        const DeviceSnapshot snapshot = site_.Snapshot(dev);
        text << i << ' ' << devices_[i].address << " model=" << devices_[i].modelText
             << " serial=" << ShownBytes(devices_[i].serial)
             << " mode=" << (snapshot.active ? "active" : "standby")
             << " mask=" << Hex2(snapshot.channelMask)
             << " connected=" << (snapshot.connected ? "yes" : "no")
             << " status=" << ShownBytes(WithoutNewline(site_.StatusMessage(dev))) << '\n';
    }
    return text.str();
}

std::string Console::Fault(const std::string&, int dev, const Args& args) {
    ChannelFault kind;
    long channel = 0;
    bool on = false;
    if (!ParseFaultKind(args[0], kind)) return "fault kind is channel, temp, fan or current";
    if (!ParseNumber(args[1], 1, 7, channel)) return "channel is 1..7";
    if (!ParseOnOff(args[2], on)) return "say on or off";
    site_.SetChannelFault(dev, static_cast<int>(channel), kind, on);
    return {};
}

std::string Console::Supply(const std::string&, int dev, const Args& args) {
    long rail = 0;
    bool on = false;
    if (!ParseNumber(args[0], 0, 3, rail)) return "rail is 0..3";
    if (!ParseOnOff(args[1], on)) return "say on or off";
    site_.SetSupplyFault(dev, static_cast<int>(rail), on);
    return {};
}

std::string Console::Mode(const std::string&, int dev, const Args& args) {
    if (args[0] != "active" && args[0] != "standby") return "mode is active or standby";
    site_.SetActive(dev, args[0] == "active");
    return {};
}

std::string Console::Mask(const std::string&, int dev, const Args& args) {
    unsigned long mask = 0;
    std::size_t used = 0;
    try {
        mask = std::stoul(args[0], &used, 16);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != args[0].size() || mask > 0xFF) return "mask is a hex byte, e.g. 7F";
    site_.SetChannelMask(dev, static_cast<std::uint8_t>(mask));
    return {};
}

std::string Console::Switch(const std::string& name, int dev, const Args& args) {
    bool on = false;
    if (!ParseOnOff(args[0], on)) return "say on or off";
    if (name == "refuse") {
        site_.SetRefuseConnections(dev, on);
    } else if (name == "silent") {
        site_.SetSilent(dev, on);
    } else if (name == "hangup") {
        site_.SetHangUp(dev, on);
    } else if (name == "confirm") {
        site_.SetConfirmCommands(dev, on);
    } else {
        site_.SetDoubleReply(dev, on);
    }
    return {};
}

std::string Console::Delay(const std::string&, int dev, const Args& args) {
    long ms = 0;
    if (!ParseNumber(args[0], 0, 600000, ms)) return "delay is 0..600000 ms";
    site_.SetReplyDelay(dev, static_cast<int>(ms));
    return {};
}

std::string Console::Split(const std::string&, int dev, const Args& args) {
    long pieces = 0;
    long gap = 0;
    if (!ParseNumber(args[0], 1, 1000, pieces)) return "pieces is 1..1000";
    if (!ParseNumber(args[1], 0, 600000, gap)) return "gap is 0..600000 ms";
    site_.SetSplitReply(dev, static_cast<int>(pieces), static_cast<int>(gap));
    return {};
}

std::string Console::Minutes(const std::string&, int dev, const Args& args) {
    long minutes = 0;
    if (!ParseNumber(args[0], -9999999, 99999999, minutes)) return "minutes is -9999999..99999999";
    site_.SetOperatingMinutes(dev, static_cast<std::int32_t>(minutes));
    return {};
}

std::string Console::Order(const std::string&, int dev, const Args& args) {
    if (args[0].find_first_not_of("MRPVADTFCH") != std::string::npos) {
        return "order uses the letters MRPVADTFCH";
    }
    site_.SetFieldOrder(dev, args[0]);
    return {};
}

std::string Console::Simple(const std::string& name, int dev, const Args&) {
    if (name == "clear") {
        site_.ClearFaults(dev);
    } else if (name == "drop") {
        site_.DropConnection(dev);
    } else if (name == "reset") {
        site_.ResetConnection(dev);
    } else if (name == "garbage") {
        // A complete line of junk: the monitor must throw it away and still read the reply behind.
        site_.PrefixNextReply(dev, "#~garbage~#\r\n");
    } else if (name == "overlong") {
        // Starts like a frame but never ends, so only a length limit can reject it.
        site_.PrefixNextReply(dev, "*" + std::string(299, 'X'));
    }
    return {};
}

}  // namespace devsim
