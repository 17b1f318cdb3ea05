#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "platform/StartupOptions.h"
#include "support/ReadOnlyFolder.h"
#include "support/ScopedEnv.h"

namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

// A fresh folder that stands for the program's own, removed at the end.
class TempFolder {
public:
    TempFolder() {
        std::string pattern = testing::TempDir() + "startup_options_test.XXXXXX";
        if (mkdtemp(pattern.data())) path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        if (!path_.empty()) fs::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

// The program's folder of most cases: writable, so its settings stay beside it.
const std::string& Folder() {
    static const TempFolder folder;
    return folder.Path();
}
const std::string& Exe() {
    static const std::string exe = Folder() + "/avlo-monitor";
    return exe;
}

TEST(StartupOptions, DefaultsAreTheSystemsValues) {
    ASSERT_FALSE(Folder().empty());
    const StartupOptions o = ParseStartupOptions({}, Exe());
    EXPECT_EQ(o.configPath, Folder() + "/avlo-monitor.ini");
    EXPECT_EQ(o.lockPath, DefaultLockPath());
    EXPECT_EQ(o.devicePort, 60002);
    EXPECT_EQ(o.discoveryPort, 60003);
    EXPECT_EQ(o.discoveryAddress, "255.255.255.255");
    EXPECT_FALSE(o.headless);
    EXPECT_FALSE(o.showHelp);
    EXPECT_FALSE(o.showVersion);
    EXPECT_TRUE(o.arguments.empty());
    EXPECT_EQ(o.error, "");
}

TEST(StartupOptions, ConfigPathReplacesTheProgramsExtension) {
    ASSERT_FALSE(Folder().empty());
    ASSERT_TRUE(fs::create_directories(Folder() + "/avlo.d"));
    const struct {
        const char* exe;
        const char* config;
    } cases[] = {
        {"/avlo-monitor", "/avlo-monitor.ini"},
        {"/AVLO.exe", "/AVLO.ini"},
        {"/avlo.d/avlo-monitor", "/avlo.d/avlo-monitor.ini"},
        {"/avlo.monitor.bin", "/avlo.monitor.ini"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseStartupOptions({}, Folder() + c.exe).configPath, Folder() + c.config)
            << c.exe;
    }
}

// An installed program cannot write its own folder; a portable copy can, or already has its
// file there. --config wins over both.
TEST(StartupOptions, DefaultConfigPathIsBesideTheProgramOnlyWhereASaveCanGo) {
    TempFolder installed;
    ASSERT_FALSE(installed.Path().empty());
    const std::string exe = installed.Path() + "/bin/avlo-monitor";
    const std::string beside = installed.Path() + "/bin/avlo-monitor.ini";
    const std::string home = installed.Path() + "/home";
    ASSERT_TRUE(fs::create_directories(installed.Path() + "/bin"));
    const std::string userFile = "/avlo-monitor/avlo-monitor.ini";

    const struct {
        const char* what;
        bool fileBeside;
        std::optional<std::string> xdg;
        Args args;
        std::string config;
    } cases[] = {
        {"XDG_CONFIG_HOME set", false, "/xdg/conf", {}, "/xdg/conf" + userFile},
        {"XDG_CONFIG_HOME unset", false, std::nullopt, {}, home + "/.config" + userFile},
        {"XDG_CONFIG_HOME empty", false, "", {}, home + "/.config" + userFile},
        {"XDG_CONFIG_HOME relative", false, "conf", {}, home + "/.config" + userFile},
        {"a file already beside", true, "/xdg/conf", {}, beside},
        {"--config wins", false, "/xdg/conf", {"--config", "/etc/avlo.ini"}, "/etc/avlo.ini"},
    };
    const ScopedEnv homeEnv("HOME", home);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.fileBeside) {
            std::ofstream(beside) << "[AVLO]\r\n";
        } else {
            fs::remove(beside);
        }
        const ScopedEnv xdgEnv("XDG_CONFIG_HOME", c.xdg);
        // The program's folder as a portable copy has it: writable, so always beside.
        EXPECT_EQ(ParseStartupOptions(c.args, exe).configPath, c.args.empty() ? beside : c.config);
        // Installed by the package: never beside, even where the folder is writable (root).
        if (!c.fileBeside) {
            EXPECT_EQ(ParseStartupOptions(c.args, AVLO_INSTALLED_BINDIR "/avlo-monitor").configPath,
                      c.config);
        }
        ReadOnlyFolder readOnly(installed.Path() + "/bin");
        if (!readOnly.Refuses()) GTEST_SKIP() << ReadOnlyFolder::WhyNot();
        EXPECT_EQ(ParseStartupOptions(c.args, exe).configPath, c.config);
        // Nothing is made before the first save.
        EXPECT_FALSE(fs::exists(home + "/.config"));
    }
    // A program folder that does not exist is no place to save either.
    const ScopedEnv xdgEnv("XDG_CONFIG_HOME", "/xdg/conf");
    EXPECT_EQ(ParseStartupOptions({}, installed.Path() + "/gone/avlo-monitor").configPath,
              "/xdg/conf" + userFile);
}

TEST(StartupOptions, CommandLines) {
    const struct {
        Args args;
        std::string config, lock, address;
        int devicePort, discoveryPort;
        bool headless, help, version;
        Args arguments;
    } cases[] = {
        {{"--config", "/etc/a.ini", "--lock-file=/run/x.lock"},
         "/etc/a.ini",
         "/run/x.lock",
         "255.255.255.255",
         60002,
         60003,
         false,
         false,
         false,
         {}},
        {{"--device-port", "61002", "--discovery-port=61003", "--discovery-address", "127.0.0.255"},
         "",
         "",
         "127.0.0.255",
         61002,
         61003,
         false,
         false,
         false,
         {}},
        {{"--device-port=1", "--discovery-port", "65535"},
         "",
         "",
         "",
         1,
         65535,
         false,
         false,
         false,
         {}},
        {{"--device-port=0060002"}, "", "", "", 60002, 60003, false, false, false, {}},
        {{"stats", "--headless", "ALERTS", "-stats", "/stats", "-", "--version"},
         "",
         "",
         "",
         60002,
         60003,
         true,
         false,
         true,
         {"stats", "ALERTS", "-stats", "/stats", "-"}},
        {{"-h"}, "", "", "", 60002, 60003, false, true, false, {}},
        {{"--help", "test"}, "", "", "", 60002, 60003, false, true, false, {"test"}},
        // The value of an option is taken as it is, even when it looks like a switch word.
        {{"--config", "stats", "--config", "/last.ini"},
         "/last.ini",
         "",
         "",
         60002,
         60003,
         false,
         false,
         false,
         {}},
    };
    for (const auto& c : cases) {
        const StartupOptions o = ParseStartupOptions(c.args, Exe());
        const std::string line = testing::PrintToString(c.args);
        EXPECT_EQ(o.error, "") << line;
        EXPECT_EQ(o.configPath, c.config.empty() ? Exe() + ".ini" : c.config) << line;
        EXPECT_EQ(o.lockPath, c.lock.empty() ? DefaultLockPath() : c.lock) << line;
        EXPECT_EQ(o.discoveryAddress, c.address.empty() ? "255.255.255.255" : c.address) << line;
        EXPECT_EQ(o.devicePort, c.devicePort) << line;
        EXPECT_EQ(o.discoveryPort, c.discoveryPort) << line;
        EXPECT_EQ(o.headless, c.headless) << line;
        EXPECT_EQ(o.showHelp, c.help) << line;
        EXPECT_EQ(o.showVersion, c.version) << line;
        EXPECT_EQ(o.arguments, c.arguments) << line;
    }
}

TEST(StartupOptions, WrongCommandLinesSayWhatIsWrong) {
    const struct {
        Args args;
        const char* mentions;
    } cases[] = {
        {{"--stats"}, "--stats"},
        {{"stats", "--Headless"}, "--Headless"},
        {{"--config"}, "--config"},
        {{"--lock-file="}, "--lock-file"},
        {{"--device-port"}, "--device-port"},
        {{"--device-port", "0"}, "0"},
        {{"--device-port", "65536"}, "65536"},
        {{"--discovery-port=6000x"}, "6000x"},
        {{"--discovery-port=-1"}, "-1"},
        {{"--device-port", "+80"}, "+80"},
        {{"--device-port="}, "--device-port"},
        {{"--device-port", "99999999999999999999999"}, "99999999999999999999999"},
        {{"--discovery-address", "1.2.3"}, "1.2.3"},
        {{"--discovery-address=256.0.0.1"}, "256.0.0.1"},
        {{"--discovery-address", "::1"}, "::1"},
        {{"--discovery-address", "localhost"}, "localhost"},
        {{"--headless=yes"}, "--headless"},
        {{"--help=1"}, "--help"},
        {{"--save-every-ms", "9"}, "9"},
        {{"--save-every-ms=1e3"}, "1e3"},
        {{"--save-every-ms", "-50"}, "-50"},
        {{"--events", "--since", "2026-02-30"}, "2026-02-30"},
        {{"--events", "--since", "2025-02-29"}, "2025-02-29"},
        {{"--events", "--until=2026-1-05"}, "2026-1-05"},
        {{"--events", "--until", "2026-13-01"}, "2026-13-01"},
        {{"--events", "--since", "yesterday"}, "yesterday"},
        {{"--events", "--type", "Error"}, "Error"},
        {{"--events", "--type=fault"}, "fault"},
        {{"--events", "--device="}, "--device"},
        {{"--events=1"}, "--events"},
        {{"--csv"}, "--events"},
        {{"--since", "2026-01-01"}, "--events"},
        {{"--device", "Amp 1", "--type", "error"}, "--events"},
        {{"--add-user", "alice"}, "--role"},
        {{"--add-user", "alice", "--role", "admin"}, "admin"},
        {{"--role", "viewer"}, "--role goes with --add-user"},
        {{"--remove-user", "bob", "--role", "viewer"}, "--role goes with --add-user"},
        {{"--add-user="}, "empty user name"},
        {{"--list-users", "--remove-user", "bob"}, "only one of"},
        {{"--events", "--list-users"}, "separately"},
        {{"--list-users=1"}, "--list-users"},
    };
    for (const auto& c : cases) {
        const StartupOptions o = ParseStartupOptions(c.args, Exe());
        EXPECT_NE(o.error.find(c.mentions), std::string::npos)
            << testing::PrintToString(c.args) << " gave \"" << o.error << "\"";
    }
}

TEST(StartupOptions, SaveEveryMsIsOffUnlessGiven) {
    EXPECT_EQ(ParseStartupOptions({}, Exe()).saveEveryMs, 0);
    const StartupOptions o = ParseStartupOptions({"--save-every-ms=25"}, Exe());
    EXPECT_EQ(o.error, "");
    EXPECT_EQ(o.saveEveryMs, 25);
}

// The history query's options: kept as given once they are checked.
TEST(StartupOptions, EventQueryOptions) {
    const struct {
        Args args;
        std::string since, until, device, type;
        bool csv;
    } cases[] = {
        {{"--events"}, "", "", "", "", false},
        {{"--events", "--since", "2024-02-29", "--until=2026-12-31"}, "2024-02-29", "2026-12-31",
         "", "", false},
        {{"--device", "Amp, \"one\"", "--events", "--type", "warning", "--csv"}, "", "",
         "Amp, \"one\"", "warning", true},
        {{"--events", "--type=information", "--type", "error"}, "", "", "", "error", false},
    };
    for (const auto& c : cases) {
        const StartupOptions o = ParseStartupOptions(c.args, Exe());
        const std::string line = testing::PrintToString(c.args);
        EXPECT_EQ(o.error, "") << line;
        EXPECT_TRUE(o.events) << line;
        EXPECT_EQ(o.eventsSince, c.since) << line;
        EXPECT_EQ(o.eventsUntil, c.until) << line;
        EXPECT_EQ(o.eventsDevice, c.device) << line;
        EXPECT_EQ(o.eventsType, c.type) << line;
        EXPECT_EQ(o.eventsCsv, c.csv) << line;
    }
}

TEST(StartupOptions, UserOptions) {
    const StartupOptions add = ParseStartupOptions(
        {"--add-user", "alice", "--role=operator", "--config", "/x.ini"}, Exe());
    EXPECT_EQ(add.error, "");
    EXPECT_EQ(add.addUser, "alice");
    EXPECT_EQ(add.userRole, "operator");
    const StartupOptions remove = ParseStartupOptions({"--remove-user=bob"}, Exe());
    EXPECT_EQ(remove.error, "");
    EXPECT_EQ(remove.removeUser, "bob");
    const StartupOptions list = ParseStartupOptions({"--list-users"}, Exe());
    EXPECT_EQ(list.error, "");
    EXPECT_TRUE(list.listUsers);
}

TEST(StartupOptions, HelpNamesEveryOptionAndSwitchWord) {
    const std::string help = StartupHelpText();
    for (const char* word : {"--config", "--lock-file", "--device-port", "--discovery-port",
                             "--discovery-address", "--headless", "--save-every-ms", "--help", "-h",
                             "--version", "--events", "--since", "--until", "--device", "--type",
                             "--csv", "--add-user", "--role", "--remove-user", "--list-users",
                             "alerts", "stats", "nolimit", "test"}) {
        EXPECT_NE(help.find(word), std::string::npos) << word;
    }
}

TEST(StartupOptions, ExecutablePathIsThisProgram) {
    const std::string path = ExecutablePath();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path[0], '/');
    struct stat mine {
    }, found{};
    ASSERT_EQ(stat("/proc/self/exe", &mine), 0);
    ASSERT_EQ(stat(path.c_str(), &found), 0);
    EXPECT_EQ(mine.st_ino, found.st_ino);
    EXPECT_EQ(mine.st_dev, found.st_dev);
}

// The log-on entry's command starts the program as it was started: the settings file it was
// given (absolute, as a log-on starts elsewhere), the device and discovery settings that are
// not the defaults, the switch words once each; the lock, the save interval of test beds and
// --headless stay out. Parsed again, it gives the same monitor.
TEST(LogonCommandLine, StartsTheProgramAsItWasStarted) {
    const std::string exe = "/opt/avlo/avlo-monitor";
    const std::string here = fs::current_path().string();
    const struct {
        Args args;
        Args command;  // after the program's path
    } cases[] = {
        {{}, {}},
        {{"--config", "/srv/site.ini", "STATS", "alerts", "stats", "bogus"},
         {"--config", "/srv/site.ini", "alerts", "stats"}},
        {{"--config", "site.ini"}, {"--config", here + "/site.ini"}},
        {{"--config=../sites/hall A.ini"}, {"--config", here + "/../sites/hall A.ini"}},
        {{"--lock-file", "/run/x.lock", "--save-every-ms", "50", "--headless", "Test", "nolimit"},
         {"nolimit", "test"}},
        {{"--device-port", "60002", "--discovery-port", "61003", "--discovery-address",
          "127.0.0.9"},
         {"--discovery-port", "61003", "--discovery-address", "127.0.0.9"}},
        {{"--device-port=7000", "--discovery-address", "255.255.255.255"},
         {"--device-port", "7000"}},
    };
    for (const auto& c : cases) {
        const std::string line = testing::PrintToString(c.args);
        const StartupOptions o = ParseStartupOptions(c.args, exe);
        ASSERT_EQ(o.error, "") << line;
        Args expected{exe};
        expected.insert(expected.end(), c.command.begin(), c.command.end());
        const Args command = LogonCommandLine(o, exe);
        EXPECT_EQ(command, expected) << line;

        const StartupOptions again = ParseStartupOptions({command.begin() + 1, command.end()}, exe);
        EXPECT_EQ(again.error, "") << line;
        EXPECT_EQ(fs::absolute(again.configPath), fs::absolute(o.configPath)) << line;
        EXPECT_EQ(again.devicePort, o.devicePort) << line;
        EXPECT_EQ(again.discoveryPort, o.discoveryPort) << line;
        EXPECT_EQ(again.discoveryAddress, o.discoveryAddress) << line;
        const Switches before = ReadSwitches(o.arguments), after = ReadSwitches(again.arguments);
        EXPECT_EQ(std::tie(after.alerts, after.stats, after.nolimit, after.test),
                  std::tie(before.alerts, before.stats, before.nolimit, before.test))
            << line;
    }
}

TEST(ReadSwitches, WholeWordsInAnyCase) {
    const struct {
        Args args;
        bool stats, alerts, nolimit, test;
    } cases[] = {
        {{}, false, false, false, false},
        {{"stats"}, true, false, false, false},
        {{"STATS"}, true, false, false, false},
        {{"Stats"}, true, false, false, false},
        {{"AlErTs"}, false, true, false, false},
        {{"NOLIMIT"}, false, false, true, false},
        {{"Test"}, false, false, false, true},
        {{"test", "nolimit", "stats", "alerts"}, true, true, true, true},
        {{"alerts", "alerts"}, false, true, false, false},
        {{"-stats", "/stats", "statsx", "stat", " stats", "stats "}, false, false, false, false},
        {{"no limit", "alert", "tests", "", "nolimit=1"}, false, false, false, false},
        {{"junk", "test", "more"}, false, false, false, true},
    };
    for (const auto& c : cases) {
        const Switches s = ReadSwitches(c.args);
        const std::string line = testing::PrintToString(c.args);
        EXPECT_EQ(s.stats, c.stats) << line;
        EXPECT_EQ(s.alerts, c.alerts) << line;
        EXPECT_EQ(s.nolimit, c.nolimit) << line;
        EXPECT_EQ(s.test, c.test) << line;
    }
}

}  // namespace
