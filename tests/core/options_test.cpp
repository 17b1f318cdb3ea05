// The options record as the settings file holds it, and the run-at-log-on option carried out
// at start-up: the desktop's autostart entry appears or goes with the loaded option and starts
// the monitor as it was started, a failure stops nothing, and the headless monitor leaves the
// entry alone. (The real program's entry, read back and run: monitor_process_test.)
#include <filesystem>
#include <optional>
#include <string>

#include "CoreFixture.h"
#include "platform/Autostart.h"
#include "support/DesktopEntry.h"

namespace {

namespace fs = std::filesystem;

class OptionsTest : public CoreFixture {
protected:
    OptionsTest() : CoreFixture(72) {}
    std::string Entry() const { return Path("autostart/avlo-monitor.desktop"); }
};

struct NotifyCase {
    const char* name;
    const char* file;  // the settings file's text before the start
    bool notify;       // what the monitor then holds
};

const NotifyCase kNotifyCases[] = {
    {"no_file", "", true},
    {"no_key", "[Options]\r\nPoll=60000\r\n", true},
    {"off", "[Options]\r\nNotify=0\r\n", false},
    {"on", "[Options]\r\nNotify=1\r\n", true},
    {"other_case", "[options]\r\nnotify=0\r\n", false},
};

TEST_F(OptionsTest, NotifyIsReadWithDefaultOnAndWrittenAfterTheOtherOptions) {
    for (const NotifyCase& c : kNotifyCases) {
        SCOPED_TRACE(c.name);
        fs::remove(options_.configPath);
        if (*c.file) WriteConfig(c.file);
        StartCore();
        EXPECT_EQ(core_->Options.Notify, c.notify);
        core_->Options.Notify = !c.notify;
        StopCore();
        const std::string expected =
            std::string("\r\nStartup=1\r\nNotify=") + (c.notify ? "0" : "1") + "\r\n[Test]\r\n";
        EXPECT_NE(ReadConfig().find(expected), std::string::npos) << ReadConfig();
    }
}

// The entry starts this program with the settings file it was given and its switch words, so
// that the monitor of the next log-on is the same.
TEST_F(OptionsTest, StartUpWritesTheEntryForThisProgramAsItWasStartedWhenTheOptionIsOn) {
    ASSERT_FALSE(fs::exists(Entry()));
    options_.configGiven = true;
    StartCore({"Alerts", "nolimit", "other"});
    ASSERT_TRUE(fs::exists(Entry()));
    const auto exec = desktopentry::Value(Entry(), "Exec");
    ASSERT_TRUE(exec);
    const auto command = desktopentry::ExecArguments(*exec);
    ASSERT_TRUE(command && !command->empty()) << *exec;
    EXPECT_EQ(command->front(), ExecutablePath());
    const StartupOptions parsed =
        ParseStartupOptions({command->begin() + 1, command->end()}, command->front());
    EXPECT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.configPath, options_.configPath);
    EXPECT_EQ(parsed.discoveryAddress, options_.discoveryAddress);
    EXPECT_EQ(parsed.discoveryPort, options_.discoveryPort);
    const Switches words = ReadSwitches(parsed.arguments);
    EXPECT_TRUE(words.alerts && words.nolimit && !words.stats && !words.test) << *exec;
}

TEST_F(OptionsTest, StartUpRemovesTheEntryWhenTheOptionIsOff) {
    ASSERT_TRUE(SetRunAtLogon(true, {"/somewhere/else/avlo-monitor"}));
    ASSERT_TRUE(fs::exists(Entry()));
    WriteConfig("[Options]\r\nStartup=0\r\n");
    StartCore();
    EXPECT_FALSE(fs::exists(Entry()));
}

// A settings folder where no autostart folder can be made: the windowed monitor runs all the
// same and tells nobody. The headless monitor does not even try: it says once that it leaves
// the entry alone.
TEST_F(OptionsTest, AFailureIsIgnoredAndTheHeadlessMonitorLeavesTheEntryAlone) {
    const std::string blocked = Path("blocked");
    { std::ofstream(blocked) << "a file where a folder should be"; }
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(blocked));
    for (const bool headless : {false, true}) {
        SCOPED_TRACE(headless ? "headless" : "windowed");
        options_.headless = headless;
        testing::internal::CaptureStderr();
        StartQuiet();
        const std::string errors = testing::internal::GetCapturedStderr();
        EXPECT_TRUE(MessageBoxSeam::TakeShown().empty());
        EXPECT_EQ(errors.find("cannot create"), std::string::npos) << errors;
        const std::string notice =
            "Run at log-on: the headless monitor leaves the desktop's autostart entry as it is";
        EXPECT_EQ(errors.find(notice) != std::string::npos, headless) << errors;
        EXPECT_TRUE(core_->HasDiscoveryThread());
        StopCore();
    }
}

}  // namespace
