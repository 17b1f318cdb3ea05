// The autostart entry: where it goes, how the program's path is written into Exec, that the
// desktop's own checker accepts it, and that removing it and failing are quiet.
#include "platform/Autostart.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "support/DesktopEntry.h"
#include "support/ScopedEnv.h"
#include "support/ScopedUmask.h"

namespace {

namespace fs = std::filesystem;

class AutostartTest : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/avlo-autostart-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        xdg_.emplace("XDG_CONFIG_HOME", dir_ + "/config");
    }
    void TearDown() override {
        xdg_.reset();
        fs::remove_all(dir_);
    }
    std::string Entry() const { return dir_ + "/config/autostart/avlo-monitor.desktop"; }

    std::string dir_;
    std::optional<ScopedEnv> xdg_;
};

struct ExecCase {
    const char* path;
    const char* value;  // the Exec value as the file must hold it
};

// The desktop-entry rules: a path with a reserved character is quoted; inside the quotes
// '"', '`', '$' and '\' take a backslash; then every backslash of the value is doubled as in
// any string value, and '%' is doubled so that it is no field code.
const ExecCase kExecCases[] = {
    {"/usr/bin/avlo-monitor", "/usr/bin/avlo-monitor"},
    {"/opt/AVLO Monitor/avlo-monitor", "\"/opt/AVLO Monitor/avlo-monitor\""},
    {"/opt/a$b/avlo", "\"/opt/a\\\\$b/avlo\""},
    {"/opt/a\\b/avlo", "\"/opt/a\\\\\\\\b/avlo\""},
    {"/opt/say \"hi\"/avlo", "\"/opt/say \\\\\"hi\\\\\"/avlo\""},
    {"/opt/it's/avlo", "\"/opt/it's/avlo\""},
    {"/opt/50%/avlo", "/opt/50%%/avlo"},
    {"/opt/50% off/avlo", "\"/opt/50%% off/avlo\""},
    {"/opt/`x`&(y);z|w<v>u~t*s?r#q/avlo", "\"/opt/\\\\`x\\\\`&(y);z|w<v>u~t*s?r#q/avlo\""},
    {"/opt/tab\there/avlo", "\"/opt/tab\\there/avlo\""},
    {"/opt/a=b,c/avlo", "/opt/a=b,c/avlo"},
};

TEST_F(AutostartTest, ExecValueQuotesAndEscapesAsTheFormatRequires) {
    for (const ExecCase& c : kExecCases) {
        SCOPED_TRACE(c.path);
        const std::string value = DesktopExecValue(c.path);
        EXPECT_EQ(value, c.value);
        // Read back by the format's rules it is the same program again.
        EXPECT_EQ(desktopentry::ExecProgram(value), std::optional<std::string>(c.path));
    }
}

// A command line goes in whole: every argument comes back as it was, blanks and all, and an
// empty one is kept as an argument.
TEST_F(AutostartTest, ExecLineCarriesEveryArgumentOfTheCommand) {
    const std::vector<std::vector<std::string>> commands = {
        {"/usr/bin/avlo-monitor"},
        {"/usr/bin/avlo-monitor", "--config", "/srv/site/avlo.ini", "alerts", "stats"},
        {"/opt/AVLO Monitor/avlo-monitor", "--config", "/home/me/My Sites/hall $1 \"A\".ini",
         "--discovery-address", "127.0.0.9", "nolimit", "test"},
        {"/opt/50% off/avlo", "--config", "/tmp/100%.ini", ""},
    };
    for (const auto& command : commands) {
        SCOPED_TRACE(command.front());
        const std::string line = DesktopExecLine(command);
        EXPECT_EQ(desktopentry::ExecArguments(line), std::optional(command)) << line;
    }
}

TEST_F(AutostartTest, OnWritesAnEntryTheDesktopAcceptsAndThatStartsTheProgram) {
    if (auto missing = desktopentry::ValidatorMissing()) GTEST_SKIP() << *missing;
    for (const ExecCase& c : kExecCases) {
        SCOPED_TRACE(c.path);
        std::string failure;
        ASSERT_TRUE(SetRunAtLogon(true, {c.path}, &failure)) << failure;
        EXPECT_EQ(AutostartEntryPath(), Entry());
        std::string complaints;
        EXPECT_TRUE(desktopentry::Validate(Entry(), &complaints)) << complaints;
        EXPECT_EQ(desktopentry::Value(Entry(), "Exec"), std::optional<std::string>(c.value));
        // TryExec names the program as a plain string value: a removed program, no entry.
        const auto tryExec = desktopentry::Value(Entry(), "TryExec");
        ASSERT_TRUE(tryExec);
        EXPECT_EQ(desktopentry::UnescapeString(*tryExec), std::optional<std::string>(c.path));
        EXPECT_EQ(desktopentry::Value(Entry(), "Type"), std::optional<std::string>("Application"));
        EXPECT_EQ(desktopentry::Value(Entry(), "Name"), std::optional<std::string>("AVLO Monitor"));
        EXPECT_TRUE(desktopentry::Value(Entry(), "Icon"));
        EXPECT_TRUE(desktopentry::Value(Entry(), "Comment"));
        EXPECT_EQ(desktopentry::Value(Entry(), "X-GNOME-Autostart-enabled"),
                  std::optional<std::string>("true"));
    }
    // Nothing but the entry is left in the folder (no temporary of the replacement).
    int files = 0;
    for ([[maybe_unused]] const auto& f : fs::directory_iterator(dir_ + "/config/autostart"))
        ++files;
    EXPECT_EQ(files, 1);
}

TEST_F(AutostartTest, OffRemovesTheEntryAndAMissingEntryIsNoError) {
    ASSERT_TRUE(SetRunAtLogon(true, {"/usr/bin/avlo-monitor"}));
    ASSERT_TRUE(fs::exists(Entry()));
    std::string failure;
    EXPECT_TRUE(SetRunAtLogon(false, {"/usr/bin/avlo-monitor"}, &failure)) << failure;
    EXPECT_FALSE(fs::exists(Entry()));
    EXPECT_TRUE(SetRunAtLogon(false, {"/usr/bin/avlo-monitor"}, &failure)) << failure;
    // Not even the folder is needed to have nothing there.
    fs::remove_all(dir_ + "/config");
    EXPECT_TRUE(SetRunAtLogon(false, {"/usr/bin/avlo-monitor"}, &failure)) << failure;
}

// Whoever can write the autostart folder decides what runs at the user's next log-on: what
// the program makes there is private whatever the umask; a folder the user made stays as it is.
TEST_F(AutostartTest, WhatTheEntryNeedsIsMadePrivateWhateverTheUmask) {
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);  // the user's own folder, there already
    for (const mode_t mask : {00, 0277}) {
        SCOPED_TRACE(mask);
        fs::remove_all(dir_ + "/config");
        {
            const ScopedUmask scoped(mask);
            std::string failure;
            ASSERT_TRUE(SetRunAtLogon(true, {"/usr/bin/avlo-monitor"}, &failure)) << failure;
            ASSERT_TRUE(SetRunAtLogon(true, {"/usr/bin/avlo-monitor"}, &failure)) << failure;
        }
        EXPECT_EQ(PermissionsAt(dir_), 0755);
        EXPECT_EQ(PermissionsAt(dir_ + "/config"), 0700);
        EXPECT_EQ(PermissionsAt(dir_ + "/config/autostart"), 0700);
        EXPECT_EQ(PermissionsAt(Entry()), 0600);
    }
}

TEST_F(AutostartTest, ARewriteReplacesAnEntryOfAnotherPath) {
    ASSERT_TRUE(SetRunAtLogon(true, {"/old/place/avlo-monitor"}));
    ASSERT_TRUE(SetRunAtLogon(true, {"/new place/avlo-monitor"}));
    EXPECT_EQ(desktopentry::Value(Entry(), "Exec"),
              std::optional<std::string>("\"/new place/avlo-monitor\""));
}

TEST_F(AutostartTest, FolderFollowsXdgConfigHomeElseHome) {
    const ScopedEnv home("HOME", dir_ + "/home");
    EXPECT_EQ(AutostartEntryPath(), dir_ + "/config/autostart/avlo-monitor.desktop");
    {
        // A relative value is to be ignored, as an unset or empty one.
        for (const std::optional<std::string>& xdg :
             {std::optional<std::string>(), std::optional<std::string>(""),
              std::optional<std::string>("relative/config")}) {
            const ScopedEnv unset("XDG_CONFIG_HOME", xdg);
            EXPECT_EQ(AutostartEntryPath(), dir_ + "/home/.config/autostart/avlo-monitor.desktop");
        }
        const ScopedEnv noXdg("XDG_CONFIG_HOME", std::nullopt);
        ASSERT_TRUE(SetRunAtLogon(true, {"/usr/bin/avlo-monitor"}));
        EXPECT_TRUE(fs::exists(dir_ + "/home/.config/autostart/avlo-monitor.desktop"));
        const ScopedEnv noHome("HOME", std::nullopt);
        EXPECT_EQ(AutostartEntryPath(), "");
        std::string failure;
        EXPECT_FALSE(SetRunAtLogon(true, {"/usr/bin/avlo-monitor"}, &failure));
        EXPECT_FALSE(failure.empty());
    }
}

TEST_F(AutostartTest, FailuresAreReportedNotThrown) {
    std::string failure;
    // The settings folder is a file: no autostart folder can be made in it.
    { std::ofstream(dir_ + "/config") << "not a folder"; }
    EXPECT_FALSE(SetRunAtLogon(true, {"/usr/bin/avlo-monitor"}, &failure));
    EXPECT_NE(failure.find(dir_ + "/config"), std::string::npos) << failure;
    fs::remove(dir_ + "/config");

    // Something that is not a file stands where the entry goes: it cannot be removed.
    fs::create_directories(Entry() + "/inside");
    failure.clear();
    EXPECT_FALSE(SetRunAtLogon(false, {"/usr/bin/avlo-monitor"}, &failure));
    EXPECT_NE(failure.find("avlo-monitor.desktop"), std::string::npos) << failure;
    failure.clear();
    EXPECT_FALSE(SetRunAtLogon(true, {"/usr/bin/avlo-monitor"}, &failure));
    EXPECT_FALSE(failure.empty());

    // Without the program's own path there is nothing to start.
    fs::remove_all(Entry());
    failure.clear();
    EXPECT_FALSE(SetRunAtLogon(true, {}, &failure));
    EXPECT_FALSE(failure.empty());
    EXPECT_FALSE(fs::exists(Entry()));
}

}  // namespace
