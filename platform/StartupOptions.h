#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The single-instance lock of this user: $XDG_RUNTIME_DIR/AVLO.lock, or where no runtime
// folder is set avlo-monitor/AVLO.lock in the user's cache folder (a private folder the lock
// makes); /tmp/AVLO-<uid>.lock only for a user without any home. One lock per user, as the
// program is one per log-on.
std::string DefaultLockPath();

// Everything that used to be a fixed value and that a test or a second installation must be
// able to change, read once from the command line by main().
struct StartupOptions {
    // Default: the executable's path with its extension, if any, replaced by ".ini", when that
    // file exists or its folder is writable; otherwise avlo-monitor/avlo-monitor.ini in
    // $XDG_CONFIG_HOME (~/.config when unset). The folder is made when the file is saved.
    std::string configPath;
    // --config was given: the path is the user's choice, not one the environment decides.
    bool configGiven = false;
    std::string lockPath = DefaultLockPath();
    // --lock-file was given: its folder is the user's to make, not the program's.
    bool lockGiven = false;
    std::uint16_t devicePort = 60002;
    std::uint16_t discoveryPort = 60003;
    std::string discoveryAddress = "255.255.255.255";
    // Test beds that check saves under stress make the monitor save this often (ms), changed
    // or not; 0: only the usual saves.
    int saveEveryMs = 0;
    bool headless = false;
    bool showHelp = false;
    bool showVersion = false;
    // --events: print the events of the site's history and exit, without a window and
    // without the single-instance lock. The filter options as given (checked when parsed):
    // days as YYYY-MM-DD, a device name, error|warning|information; --csv for CSV output.
    bool events = false;
    std::string eventsSince;
    std::string eventsUntil;
    std::string eventsDevice;
    std::string eventsType;
    bool eventsCsv = false;
    // The web service's accounts, managed from a terminal and exit: --add-user NAME with
    // --role viewer|operator, --remove-user NAME, --list-users. No window, no lock.
    std::string addUser;
    std::string userRole;
    std::string removeUser;
    bool listUsers = false;
    // Every argument that is not an option (the switch words), in order.
    std::vector<std::string> arguments;
    // Set when the command line is wrong: unknown "--" option, missing or bad value.
    std::string error;
};

// args is the command line without argv[0]. Options are "--name value" or "--name=value";
// anything else, even "-stats", is an argument, as the switch words always were.
StartupOptions ParseStartupOptions(const std::vector<std::string>& args,
                                   const std::string& executablePath);

std::string StartupHelpText();

// The user's own settings folder: $XDG_CONFIG_HOME, else ~/.config. Empty when neither can
// be told (no home folder).
std::string UserConfigFolder();

// The user's own cache folder: $XDG_CACHE_HOME, else ~/.cache. Empty without a home folder.
std::string UserCacheFolder();

// The full path of the running program; empty if it cannot be read.
std::string ExecutablePath();

// The command line that starts the program again as it was started, for the desktop's log-on
// entry: the program's full path; the settings file, made absolute, when --config chose it;
// the device port and discovery settings that differ from the defaults; the switch words that
// were given, each once. Left out: the single-instance lock (one per user at log-on), the
// test beds' save interval and --headless (a headless monitor writes no log-on entry).
std::vector<std::string> LogonCommandLine(const StartupOptions& options,
                                          const std::string& executablePath);

struct Switches {
    bool stats = false;
    bool alerts = false;
    bool nolimit = false;
    bool test = false;
};

// Matches each argument, ignoring case, against the whole switch words; others are ignored.
Switches ReadSwitches(const std::vector<std::string>& arguments);
