#include "platform/StartupOptions.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <utility>

namespace {

using Setter = std::string (*)(StartupOptions&, const std::string& value);

std::string SetPort(std::uint16_t& port, const std::string& value) {
    unsigned long number = 0;
    for (const char c : value) {
        if (c < '0' || c > '9') return "bad port number: " + value;
        number = number * 10 + static_cast<unsigned long>(c - '0');
        if (number > 65535) return "bad port number: " + value;
    }
    if (number == 0) return "bad port number: " + value;  // also the empty value
    port = static_cast<std::uint16_t>(number);
    return {};
}

std::string SetPath(std::string& path, const std::string& value) {
    if (value.empty()) return "empty path";
    path = value;
    return {};
}

std::string SetMilliseconds(int& ms, const std::string& value) {
    if (value.empty() || value.size() > 6 ||
        value.find_first_not_of("0123456789") != std::string::npos) {
        return "bad number of milliseconds: " + value;
    }
    const int number = std::stoi(value);
    if (number < 10) return "bad number of milliseconds: " + value;
    ms = number;
    return {};
}

// A day as YYYY-MM-DD that the calendar has.
std::string SetDay(std::string& day, const std::string& value) {
    const auto digits = [&](std::size_t from, std::size_t n) {
        int number = 0;
        for (std::size_t i = from; i < from + n; ++i) {
            if (value[i] < '0' || value[i] > '9') return -1;
            number = number * 10 + (value[i] - '0');
        }
        return number;
    };
    if (value.size() != 10 || value[4] != '-' || value[7] != '-') return "not a day: " + value;
    const int y = digits(0, 4), m = digits(5, 2), d = digits(8, 2);
    static const int length[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (y < 1970 || m < 1 || m > 12 || d < 1 || d > length[m - 1]) return "not a day: " + value;
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (m == 2 && d == 29 && !leap) return "not a day: " + value;
    day = value;
    return {};
}

std::string SetName(std::string& name, const std::string& value) {
    if (value.empty()) return "empty user name";
    name = value;
    return {};
}

// The account options go together only as one of: --add-user with --role, --remove-user,
// --list-users. Returns an error text.
std::string CheckUserOptions(const StartupOptions& o) {
    const int commands = !o.addUser.empty() + !o.removeUser.empty() + o.listUsers;
    if (commands > 1) return "give only one of --add-user, --remove-user and --list-users";
    if (!o.addUser.empty() && o.userRole.empty()) return "--add-user needs --role viewer|operator";
    if (o.addUser.empty() && !o.userRole.empty()) return "--role goes with --add-user";
    if (commands == 1 && o.events) return "--events and the user options go separately";
    return {};
}

struct ValueOption {
    const char* name;
    Setter set;
};

const ValueOption valueOptions[] = {
    {"--config",
     [](StartupOptions& o, const std::string& v) {
         o.configGiven = true;
         return SetPath(o.configPath, v);
     }},
    {"--lock-file",
     [](StartupOptions& o, const std::string& v) {
         o.lockGiven = true;
         return SetPath(o.lockPath, v);
     }},
    {"--device-port",
     [](StartupOptions& o, const std::string& v) { return SetPort(o.devicePort, v); }},
    {"--discovery-port",
     [](StartupOptions& o, const std::string& v) { return SetPort(o.discoveryPort, v); }},
    {"--discovery-address",
     [](StartupOptions& o, const std::string& v) -> std::string {
         in_addr address{};
         if (inet_pton(AF_INET, v.c_str(), &address) != 1) return "bad IPv4 address: " + v;
         o.discoveryAddress = v;
         return {};
     }},
    {"--save-every-ms",
     [](StartupOptions& o, const std::string& v) { return SetMilliseconds(o.saveEveryMs, v); }},
    {"--since", [](StartupOptions& o, const std::string& v) { return SetDay(o.eventsSince, v); }},
    {"--until", [](StartupOptions& o, const std::string& v) { return SetDay(o.eventsUntil, v); }},
    {"--device",
     [](StartupOptions& o, const std::string& v) -> std::string {
         if (v.empty()) return "empty device name";
         o.eventsDevice = v;
         return {};
     }},
    {"--type",
     [](StartupOptions& o, const std::string& v) -> std::string {
         if (v != "error" && v != "warning" && v != "information")
             return "not error, warning or information: " + v;
         o.eventsType = v;
         return {};
     }},
    {"--add-user", [](StartupOptions& o, const std::string& v) { return SetName(o.addUser, v); }},
    {"--remove-user",
     [](StartupOptions& o, const std::string& v) { return SetName(o.removeUser, v); }},
    {"--role",
     [](StartupOptions& o, const std::string& v) -> std::string {
         if (v != "viewer" && v != "operator") return "not viewer or operator: " + v;
         o.userRole = v;
         return {};
     }},
};

struct FlagOption {
    const char* name;
    bool StartupOptions::*field;
};

const FlagOption flagOptions[] = {
    {"--headless", &StartupOptions::headless}, {"--help", &StartupOptions::showHelp},
    {"-h", &StartupOptions::showHelp},         {"--version", &StartupOptions::showVersion},
    {"--events", &StartupOptions::events},     {"--csv", &StartupOptions::eventsCsv},
    {"--list-users", &StartupOptions::listUsers},
};

}  // namespace

std::string UserConfigFolder() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/') return xdg;  // a relative value is to be ignored
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0') return std::string(home) + "/.config";
    return {};
}

std::string UserCacheFolder() {
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    if (xdg != nullptr && xdg[0] == '/') return xdg;
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0') return std::string(home) + "/.cache";
    return {};
}

namespace {

// A portable copy keeps its settings beside the program, as the program always did. An
// installed one (a folder the user may not write, such as /usr/bin) keeps them in the user's
// settings folder, where a save can succeed.
// The folder the package installs the program into never holds settings, even for root, who
// could write there.
std::string DefaultConfigPath(const std::string& executablePath) {
    if (executablePath.empty()) return {};
    const std::filesystem::path beside =
        std::filesystem::path(executablePath).replace_extension(".ini");
    const std::string folder = beside.parent_path().string();
    const bool installed = folder == AVLO_INSTALLED_BINDIR;
    if (!installed && (access(beside.c_str(), F_OK) == 0 || access(folder.c_str(), W_OK) == 0)) {
        return beside.string();
    }
    const std::string user = UserConfigFolder();
    if (user.empty()) return beside.string();
    return user + "/avlo-monitor/avlo-monitor.ini";
}

// Handles args[i] (and its value, which may be args[i + 1]); returns an error text.
std::string TakeOption(StartupOptions& o, const std::vector<std::string>& args, std::size_t& i) {
    const std::string& arg = args[i];
    const std::size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    std::optional<std::string> value;
    if (equals != std::string::npos) value = arg.substr(equals + 1);
    for (const FlagOption& flag : flagOptions) {
        if (name != flag.name) continue;
        if (value) return "option " + name + " takes no value";
        o.*flag.field = true;
        return {};
    }
    for (const ValueOption& option : valueOptions) {
        if (name != option.name) continue;
        if (!value) {
            if (i + 1 >= args.size()) return "option " + name + " needs a value";
            value = args[++i];
        }
        const std::string error = option.set(o, *value);
        return error.empty() ? error : "option " + name + ": " + error;
    }
    return "unknown option: " + arg;
}

bool IsOption(const std::string& arg) {
    return arg.rfind("--", 0) == 0 || arg == "-h";
}

}  // namespace

StartupOptions ParseStartupOptions(const std::vector<std::string>& args,
                                   const std::string& executablePath) {
    StartupOptions options;
    options.configPath = DefaultConfigPath(executablePath);
    for (std::size_t i = 0; i < args.size() && options.error.empty(); ++i) {
        if (IsOption(args[i])) {
            options.error = TakeOption(options, args, i);
        } else {
            options.arguments.push_back(args[i]);
        }
    }
    const bool filterGiven = !options.eventsSince.empty() || !options.eventsUntil.empty() ||
                             !options.eventsDevice.empty() || !options.eventsType.empty() ||
                             options.eventsCsv;
    if (options.error.empty() && filterGiven && !options.events) {
        options.error = "--since, --until, --device, --type and --csv go with --events";
    }
    if (options.error.empty()) options.error = CheckUserOptions(options);
    return options;
}

std::string DefaultLockPath() {
    // A relative runtime folder is no valid one (it would depend on the working folder).
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') return std::string(runtime) + "/AVLO.lock";
    // Not /tmp: any user can put a file or a link there first, under the name this user's
    // copy would take. Only without any home does the lock fall back to it.
    const std::string cache = UserCacheFolder();
    if (!cache.empty()) return cache + "/avlo-monitor/AVLO.lock";
    return "/tmp/AVLO-" + std::to_string(getuid()) + ".lock";
}

std::string ExecutablePath() {
    char buffer[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer) return {};
    return std::string(buffer, static_cast<std::size_t>(n));
}

Switches ReadSwitches(const std::vector<std::string>& arguments) {
    Switches switches;
    for (std::string word : arguments) {
        for (char& c : word) {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        if (word == "alerts") switches.alerts = true;
        if (word == "stats") switches.stats = true;
        if (word == "nolimit") switches.nolimit = true;
        if (word == "test") switches.test = true;
    }
    return switches;
}

std::vector<std::string> LogonCommandLine(const StartupOptions& options,
                                          const std::string& executablePath) {
    std::vector<std::string> command{executablePath};
    if (options.configGiven) {
        // Made absolute as it stands: a log-on starts in another folder, and a symbolic link
        // the user chose stays one.
        std::error_code error;
        std::filesystem::path config = std::filesystem::absolute(options.configPath, error);
        if (error) config = options.configPath;  // no working folder: the best there is
        command.insert(command.end(), {"--config", config.string()});
    }
    const StartupOptions defaults;
    if (options.devicePort != defaults.devicePort)
        command.insert(command.end(), {"--device-port", std::to_string(options.devicePort)});
    if (options.discoveryPort != defaults.discoveryPort)
        command.insert(command.end(), {"--discovery-port", std::to_string(options.discoveryPort)});
    if (options.discoveryAddress != defaults.discoveryAddress)
        command.insert(command.end(), {"--discovery-address", options.discoveryAddress});
    const Switches given = ReadSwitches(options.arguments);
    const std::pair<bool, const char*> words[] = {{given.alerts, "alerts"},
                                                  {given.stats, "stats"},
                                                  {given.nolimit, "nolimit"},
                                                  {given.test, "test"}};
    for (const auto& [on, word] : words) {
        if (on) command.push_back(word);
    }
    return command;
}

std::string StartupHelpText() {
    return "Usage: avlo-monitor [options] [switch words]\n"
           "\n"
           "Options:\n"
           "  --config PATH              settings file (default: the program's path with"
           " .ini\n"
           "                             when that file exists or the folder is writable, else\n"
           "                             $XDG_CONFIG_HOME/avlo-monitor/avlo-monitor.ini, which\n"
           "                             an installed program always uses)\n"
           "  --lock-file PATH           single-instance lock file (default\n"
           "                             $XDG_RUNTIME_DIR/AVLO.lock, else\n"
           "                             $XDG_CACHE_HOME/avlo-monitor/AVLO.lock)\n"
           "  --device-port N            TCP port of the devices (default 60002)\n"
           "  --discovery-port N         UDP port of device discovery (default 60003)\n"
           "  --discovery-address A      IPv4 address discovery is sent to"
           " (default 255.255.255.255)\n"
           "  --headless                 run without windows; events are also printed on"
           " stderr\n"
           "  --save-every-ms N          save the settings every N ms (at least 10), changed or\n"
           "                             not; for test beds (default: a few seconds after a\n"
           "                             change, at shutdown and once a day)\n"
           "  --help, -h                 show this text and exit\n"
           "  --version                  show the version and exit\n"
           "  --events                   print the site's event history (beside the settings\n"
           "                             file) and exit; no window, no lock; with:\n"
           "    --since YYYY-MM-DD       events from that local day on\n"
           "    --until YYYY-MM-DD       events up to the end of that local day\n"
           "    --device NAME            events of that device only\n"
           "    --type T                 error, warning or information\n"
           "    --csv                    CSV (RFC 4180, UTF-8) instead of text lines\n"
           "  --add-user NAME --role R   add an account of the web service (R: viewer or\n"
           "                             operator); the password is asked for without echo,\n"
           "                             or read as one line from standard input when that\n"
           "                             is not a terminal\n"
           "  --remove-user NAME         remove an account of the web service\n"
           "  --list-users               list the web service's accounts and their roles\n"
           "  Values may also be given as --option=value.\n"
           "\n"
           "Switch words (any case, any order):\n"
           "  alerts    power-supply, fan, temperature and over-current alert classes can be\n"
           "            chosen; without it only channel failures raise alerts\n"
           "  stats     the device properties dialog shows statistics and summary\n"
           "  nolimit   lifts the once-per-fault-per-day limit on alert e-mails\n"
           "  test      test mode menu and cycling\n";
}
