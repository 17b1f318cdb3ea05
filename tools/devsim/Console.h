#pragma once

#include <functional>
#include <string>
#include <vector>

#include "tools/devsim/Site.h"

namespace devsim {

// The commands typed on avlo-devsim's standard input, one per line.
class Console {
public:
    using Print = std::function<void(const std::string&)>;

    Console(Site& site, std::vector<DeviceConfig> devices, Print print);

    // False when the command asks the program to stop.
    bool Execute(const std::string& line);
    static std::string CommandsHelp();

private:
    using Args = std::vector<std::string>;
    struct Command;
    static const std::vector<Command>& Commands();

    std::string List();
    std::string Fault(const std::string& name, int dev, const Args& args);
    std::string Supply(const std::string& name, int dev, const Args& args);
    std::string Mode(const std::string& name, int dev, const Args& args);
    std::string Mask(const std::string& name, int dev, const Args& args);
    std::string Switch(const std::string& name, int dev,
                       const Args& args);  // refuse, silent, hangup, confirm, double
    std::string Delay(const std::string& name, int dev, const Args& args);
    std::string Split(const std::string& name, int dev, const Args& args);
    std::string Minutes(const std::string& name, int dev, const Args& args);
    std::string Order(const std::string& name, int dev, const Args& args);
    std::string Simple(const std::string& name, int dev, const Args& args);  // clear, drop, ...

    Site& site_;
    std::vector<DeviceConfig> devices_;
    Print print_;
};

}  // namespace devsim
