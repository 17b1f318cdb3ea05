#include "platform/StartupOptions.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

namespace {

using Args = std::vector<std::string>;
const std::string kExe = "/opt/avlo/avlo-monitor";

TEST(StartupOptions, DefaultsAreTheSystemsValues) {
    const StartupOptions o = ParseStartupOptions({}, kExe);
    EXPECT_EQ(o.configPath, "/opt/avlo/avlo-monitor.ini");
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
    const struct {
        const char* exe;
        const char* config;
    } cases[] = {
        {"/opt/avlo/avlo-monitor", "/opt/avlo/avlo-monitor.ini"},
        {"/opt/avlo/AVLO.exe", "/opt/avlo/AVLO.ini"},
        {"/opt/avlo.d/avlo-monitor", "/opt/avlo.d/avlo-monitor.ini"},
        {"/opt/avlo/avlo.monitor.bin", "/opt/avlo/avlo.monitor.ini"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseStartupOptions({}, c.exe).configPath, c.config) << c.exe;
    }
}

TEST(StartupOptions, CommandLines) {
    const struct {
        Args args;
        std::string config, lock, address;
        int devicePort, discoveryPort;
        bool headless, help, version;
        Args arguments;
    } cases[] = {
        {{"--config", "/etc/a.ini", "--lock-file=/run/x.lock"}, "/etc/a.ini", "/run/x.lock",
         "255.255.255.255", 60002, 60003, false, false, false, {}},
        {{"--device-port", "61002", "--discovery-port=61003", "--discovery-address",
          "127.0.0.255"},
         "", "", "127.0.0.255", 61002, 61003, false, false, false, {}},
        {{"--device-port=1", "--discovery-port", "65535"}, "", "", "", 1, 65535, false, false,
         false, {}},
        {{"--device-port=0060002"}, "", "", "", 60002, 60003, false, false, false, {}},
        {{"stats", "--headless", "ALERTS", "-stats", "/stats", "-", "--version"}, "", "", "",
         60002, 60003, true, false, true, {"stats", "ALERTS", "-stats", "/stats", "-"}},
        {{"-h"}, "", "", "", 60002, 60003, false, true, false, {}},
        {{"--help", "test"}, "", "", "", 60002, 60003, false, true, false, {"test"}},
        // The value of an option is taken as it is, even when it looks like a switch word.
        {{"--config", "stats", "--config", "/last.ini"}, "/last.ini", "", "", 60002, 60003,
         false, false, false, {}},
    };
    for (const auto& c : cases) {
        const StartupOptions o = ParseStartupOptions(c.args, kExe);
        const std::string line = testing::PrintToString(c.args);
        EXPECT_EQ(o.error, "") << line;
        EXPECT_EQ(o.configPath, c.config.empty() ? kExe + ".ini" : c.config) << line;
        EXPECT_EQ(o.lockPath, c.lock.empty() ? DefaultLockPath() : c.lock) << line;
        EXPECT_EQ(o.discoveryAddress, c.address.empty() ? "255.255.255.255" : c.address)
            << line;
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
    };
    for (const auto& c : cases) {
        const StartupOptions o = ParseStartupOptions(c.args, kExe);
        EXPECT_NE(o.error.find(c.mentions), std::string::npos)
            << testing::PrintToString(c.args) << " gave \"" << o.error << "\"";
    }
}

TEST(StartupOptions, HelpNamesEveryOptionAndSwitchWord) {
    const std::string help = StartupHelpText();
    for (const char* word : {"--config", "--lock-file", "--device-port", "--discovery-port",
                             "--discovery-address", "--headless", "--help", "-h", "--version",
                             "alerts", "stats", "nolimit", "test"}) {
        EXPECT_NE(help.find(word), std::string::npos) << word;
    }
}

TEST(StartupOptions, ExecutablePathIsThisProgram) {
    const std::string path = ExecutablePath();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path[0], '/');
    struct stat mine {}, found {};
    ASSERT_EQ(stat("/proc/self/exe", &mine), 0);
    ASSERT_EQ(stat(path.c_str(), &found), 0);
    EXPECT_EQ(mine.st_ino, found.st_ino);
    EXPECT_EQ(mine.st_dev, found.st_dev);
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
