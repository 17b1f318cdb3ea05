// The configuration file as the program reads and writes it.
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>

#include "CoreFixture.h"
#include "history/EventStore.h"
#include "support/ReadOnlyFolder.h"
#include "support/ScopedUmask.h"

namespace {

std::string Fixture(const std::string& name) {
    std::ifstream in(std::string(AVLO_CORE_FIXTURES) + "/" + name, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

class ConfigFileTest : public CoreFixture {
protected:
    ConfigFileTest() : CoreFixture(6) {}
};

TEST_F(ConfigFileTest, NoFileGivesEveryDefault) {
    StartCore();
    EXPECT_EQ(core_->DeviceCount(), 0);
    EXPECT_TRUE(core_->NotifiableEvents.ChanErr);
    EXPECT_FALSE(core_->NotifiableEvents.PSupplyErr);
    EXPECT_FALSE(core_->NotifiableEvents.FanErr);
    EXPECT_FALSE(core_->NotifiableEvents.TempErr);
    EXPECT_FALSE(core_->NotifiableEvents.OvcErr);
    EXPECT_FALSE(core_->EmailSettings.Enabled);
    EXPECT_EQ(core_->EmailSettings.port, "25");
    EXPECT_EQ(core_->EmailSettings.server, "");
    EXPECT_EQ(core_->EmailSettings.recipient[0], "service@example.com");
    EXPECT_EQ(core_->EmailSettings.recipient[1], "");
    EXPECT_EQ(core_->Options.Poll, 300000);
    EXPECT_EQ(core_->PollTimer->interval(), 300000);
    EXPECT_TRUE(core_->Options.Log);
    EXPECT_TRUE(core_->Options.Avlo);
    EXPECT_TRUE(core_->Options.Startup);
    EXPECT_FALSE(core_->TestModeSettings.On);
    EXPECT_EQ(core_->TestModeSettings.Active, 2);
    EXPECT_EQ(core_->TestModeSettings.Standby, 2);
    EXPECT_FALSE(core_->AdvancedEmail.Customer);
    EXPECT_EQ(core_->AdvancedEmail.CustomerName, "");
    EXPECT_EQ(core_->WebSettings, WebSettings_Type{}) << "no Web section: the service is off";
    EXPECT_FALSE(core_->WebSettings.On);
}

TEST_F(ConfigFileTest, SavedFileIsExactlyTheExpectedLayoutWithRenumberedEntries) {
    WriteConfig(Fixture("three_devices.ini"));
    StartCore();
    ASSERT_EQ(core_->DeviceCount(), 3);
    EXPECT_EQ(core_->Devices()[2]->Stats[StatsPlus72VBErr], 3031);
    // Since when each device counts: its own moment, or before the first start that kept one.
    const std::pair<std::int64_t, bool> since[] = {
        {1896163200, true}, {1893456000, false}, {1898587800, true}};
    for (int n = 0; n < 3; ++n) {
        EXPECT_EQ(core_->Devices()[n]->StatsSince, since[n].first) << n;
        EXPECT_EQ(core_->Devices()[n]->StatsSinceKnown, since[n].second) << n;
    }
    core_->DeleteDevice(0);
    StopCore();
    EXPECT_EQ(ReadConfig(), Fixture("saved_after_deleting_first.ini"));
}

TEST_F(ConfigFileTest, RoundTripKeepsEverything) {
    WriteConfig(Fixture("three_devices.ini"));
    StartCore();
    StopCore();
    EXPECT_EQ(ReadConfig(), Fixture("three_devices.ini"));
}

TEST_F(ConfigFileTest, WithoutTheAlertsSwitchOnlyChannelAlertsSurvive) {
    WriteConfig("[Events]\r\nChanErr=1\r\nPSupplyErr=1\r\nFanErr=1\r\nTempErr=1\r\nOvcErr=1\r\n");
    StartCore();
    EXPECT_TRUE(core_->NotifiableEvents.ChanErr);
    EXPECT_FALSE(core_->NotifiableEvents.PSupplyErr);
    EXPECT_FALSE(core_->NotifiableEvents.FanErr);
    EXPECT_FALSE(core_->NotifiableEvents.TempErr);
    EXPECT_FALSE(core_->NotifiableEvents.OvcErr);
    StopCore();
    EXPECT_NE(ReadConfig().find("PSupplyErr=0\r\nFanErr=0\r\nTempErr=0\r\nOvcErr=0\r\n"), std::string::npos);

    WriteConfig("[Events]\r\nPSupplyErr=1\r\nFanErr=1\r\n");
    StartCore({"ALERTS"});
    EXPECT_TRUE(core_->NotifiableEvents.PSupplyErr);
    EXPECT_TRUE(core_->NotifiableEvents.FanErr);
}

TEST_F(ConfigFileTest, NamesMatchWithoutRegardToCaseAndIntegersTakeHex) {
    WriteConfig("[options]\r\npoll=0xEA60\r\nLOG=0\r\n[email]\r\nserverport=587\r\nALERTS=1\r\n"
                "[avlo]\r\nregistered=1\r\nname 0=Foyer\r\nip 0=127.0.6.20\r\nMODEL 0=$3\r\n"
                "[stats]\r\nfanerr2DEVICE 0=7\r\nminus5verrdevice 0=4\r\n");
    StartCore();
    EXPECT_EQ(core_->Options.Poll, 60000);
    EXPECT_FALSE(core_->Options.Log);
    EXPECT_EQ(core_->EmailSettings.port, "587");
    EXPECT_TRUE(core_->EmailSettings.Enabled);
    ASSERT_EQ(core_->DeviceCount(), 1);
    EXPECT_EQ(core_->Devices()[0]->ModelCode, 3);
    EXPECT_EQ(core_->Devices()[0]->Stats[StatsFanErr + 2], 7);
    EXPECT_EQ(core_->Devices()[0]->Stats[StatsMinus5VErr], 4);
    EXPECT_EQ(core_->Devices()[0]->ConnState, Disconnected);
}

TEST_F(ConfigFileTest, ReceivedTextCannotAddKeysToTheFile) {
    StartCore();
    DeviceContext c = Ctx("Evil", "127.0.6.30", false);
    c.Serial = "AB\r\n[X]\r\n";
    ASSERT_GT(core_->AddDevice(&c), 0);
    StopCore();
    const std::string saved = ReadConfig();
    EXPECT_EQ(saved.find("[X]\r\n"), std::string::npos);
    StartCore();
    ASSERT_EQ(core_->DeviceCount(), 1);
    EXPECT_EQ(core_->Devices()[0]->Name, "Evil");
}

TEST_F(ConfigFileTest, TestModeTimerStartsOnlyWithTheTestSwitch) {
    WriteConfig("[Test]\r\nOn=1\r\n");
    StartCore();
    EXPECT_FALSE(core_->TestModeTimer->isActive());
    StopCore();
    StartCore({"Test"});
    EXPECT_TRUE(core_->TestModeTimer->isActive());
}

TEST_F(ConfigFileTest, LoggingOrderAndLoggingOff) {
    WriteConfig(Fixture("three_devices.ini"));
    StartCore();
    const auto events = sink_.Events();
    ASSERT_GE(events.size(), 4u);
    EXPECT_EQ(events[0].id, EV_MONITOR_STARTED);
    EXPECT_EQ(events[0].type, EVENTLOG_SUCCESS);
    for (int i = 1; i <= 3; ++i) {
        EXPECT_EQ(events[i].id, EV_DEVICE_REGISTERED);
        EXPECT_EQ(events[i].type, EVENTLOG_INFORMATION_TYPE);
    }
    EXPECT_EQ(events[1].text.value_or(""), "Amp A at 127.0.6.2");
    StopCore();
    EXPECT_EQ(sink_.Events().back().id, EV_MONITOR_STOPPED);

    std::string quiet = Fixture("three_devices.ini");
    quiet.replace(quiet.find("Log=1"), 5, "Log=0");
    WriteConfig(quiet);
    const std::size_t before = sink_.Events().size();
    StartCore();
    StopCore();
    EXPECT_EQ(sink_.Events().size(), before);
}

TEST_F(ConfigFileTest, DailySaveAtTheFirstPollOfANewDayClearsNotified) {
    // The clock outlives this body: the core's shutdown in TearDown still asks it the time.
    auto today = std::make_shared<LocalDateTime>(LocalDateTime{2026, 12, 10, 23, 59, 0, 0, 4});
    SetClockOverride([today] { return *today; });
    StartCore();
    DeviceContext c = Ctx("Hall", "127.0.6.40", false);
    ASSERT_GT(core_->AddDevice(&c), 0);
    core_->Devices()[0]->Notified.FanOk[1] = 1;

    core_->PollTimerTimer();  // same day: no save
    EXPECT_EQ(ReadConfig(), "");
    EXPECT_EQ(core_->Devices()[0]->Notified.FanOk[1], 1);

    *today = LocalDateTime{2026, 12, 11, 0, 0, 5, 0, 5};
    core_->PollTimerTimer();
    EXPECT_NE(ReadConfig().find("Name 0=Hall"), std::string::npos);
    EXPECT_EQ(core_->Devices()[0]->Notified.FanOk[1], 0);
    EXPECT_EQ(core_->ReferenceDate.day, 11);
    EXPECT_TRUE(core_->PollTimer->isActive());
}

// ---- saves between the shutdown and the day, and saves that cannot be made ----

bool Holds(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST_F(ConfigFileTest, EveryChangeOfWhatTheFileHoldsIsSavedWithinSecondsAndNothingElse) {
    // Not the way a save writes it: any save would show.
    const std::string initial = "[avlo]\r\nregistered=1\r\nname 0=Foyer\r\nip 0=127.0.6.20\r\n";
    WriteConfig(initial);
    StartCore();
    ASSERT_EQ(core_->DeviceCount(), 1);
    const std::uint16_t foyer = core_->Devices()[0]->DeviceId;
    Pump(2500);
    EXPECT_EQ(ReadConfig(), initial) << "written without a change";

    DeviceStatus fanFault = HealthyStatus();
    fanFault.FanOk[2] = 0;
    const struct {
        const char* what;
        std::function<void()> change;
        const char* saved;
    } changes[] = {
        {"a device registered",
         [&] {
             const DeviceContext c = Ctx("Hall", "127.0.6.41", false);
             core_->AddDevice(&c);
         },
         "Name 1=Hall\r\n"},
        {"a failure counted",
         [&] {
             core_->ApplyStatus(foyer, HealthyStatus(), "55500001", 2);
             core_->ApplyStatus(foyer, fanFault, "55500001", 2);
         },
         "FanErr2device 0=1\r\n"},
        {"an e-mail setting changed", [&] { core_->EmailSettings.server = "127.0.0.9"; },
         "ServerIp=127.0.0.9\r\n"},
    };
    for (const auto& c : changes) {
        SCOPED_TRACE(c.what);
        c.change();
        EXPECT_TRUE(WaitUntil([&] { return Holds(ReadConfig(), c.saved); }, 6000)) << ReadConfig();
    }
    EXPECT_TRUE(Holds(ReadConfig(), "Serial 0=55500001\r\n")) << ReadConfig();
    EXPECT_TRUE(MessageBoxSeam::TakeShown().empty());
}

TEST_F(ConfigFileTest, AFileThatCannotBeReadIsReportedAndNeverWrittenOver) {
    // As root no permission keeps a file from being read; a folder in its place cannot be read
    // either, and is no more to be replaced than a file of settings that are only unknown.
    ASSERT_TRUE(std::filesystem::create_directory(options_.configPath));
    // The clock outlives this body: the core's shutdown in TearDown still asks it the time.
    auto today = std::make_shared<LocalDateTime>(LocalDateTime{2026, 12, 10, 23, 59, 0, 0, 4});
    SetClockOverride([today] { return *today; });
    StartCore();

    const auto shown = MessageBoxSeam::TakeShown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].kind, MsgKind::Error);
    EXPECT_TRUE(shown[0].text.contains(QString::fromStdString(options_.configPath)))
        << shown[0].text.toStdString();
    EXPECT_TRUE(shown[0].text.contains("could not be read")) << shown[0].text.toStdString();
    const auto errors = EventsWithId(EV_MONITOR_ERROR);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(errors[0].text.value_or(""), shown[0].text.toStdString());
    // The defaults, as without a file.
    EXPECT_EQ(core_->DeviceCount(), 0);
    EXPECT_EQ(core_->Options.Poll, 300000);

    // Neither a change, nor the daily save, nor the shutdown writes.
    const DeviceContext c = Ctx("Hall", "127.0.6.42", false);
    ASSERT_GT(core_->AddDevice(&c), 0);
    Pump(2500);
    *today = LocalDateTime{2026, 12, 11, 0, 0, 5, 0, 5};
    core_->PollTimerTimer();
    EXPECT_EQ(core_->ReferenceDate.day, 11);
    StopCore();
    EXPECT_TRUE(std::filesystem::is_directory(options_.configPath));
    EXPECT_TRUE(std::filesystem::is_empty(options_.configPath));
    EXPECT_TRUE(MessageBoxSeam::TakeShown().empty());
    EXPECT_EQ(EventsWithId(EV_MONITOR_ERROR).size(), 1u);
}

TEST_F(ConfigFileTest, AFailedSaveIsReportedOnceAndLogged) {
    const std::string folder = Path("installed");
    ASSERT_TRUE(std::filesystem::create_directory(folder));
    options_.configPath = folder + "/avlo-monitor.ini";
    ReadOnlyFolder readOnly(folder);
    if (!readOnly.Refuses()) GTEST_SKIP() << ReadOnlyFolder::WhyNot();
    StartCore();
    const DeviceContext c = Ctx("Hall", "127.0.6.43", false);
    ASSERT_GT(core_->AddDevice(&c), 0);
    EXPECT_TRUE(WaitUntil([] { return !MessageBoxSeam::TakeShown().empty(); }, 6000))
        << "the change's save said nothing";
    // The box was taken above; the event stays. (The event history beside the file cannot be
    // made in that folder either: it says so in an event of its own.)
    const auto settingsErrors = [this] {
        std::vector<CapturedEvent> errors;
        for (const auto& e : EventsWithId(EV_MONITOR_ERROR)) {
            if (Holds(e.text.value_or(""), options_.configPath)) errors.push_back(e);
        }
        return errors;
    };
    ASSERT_EQ(settingsErrors().size(), 1u);
    const std::string text = settingsErrors()[0].text.value_or("");
    EXPECT_TRUE(Holds(text, options_.configPath)) << text;
    EXPECT_TRUE(Holds(text, "could not be saved")) << text;

    core_->SaveConfiguration();
    StopCore();
    EXPECT_TRUE(MessageBoxSeam::TakeShown().empty());
    EXPECT_EQ(settingsErrors().size(), 1u);
    EXPECT_FALSE(std::filesystem::exists(options_.configPath));
}

TEST_F(ConfigFileTest, AFileInAFolderThatRefusesNewFilesIsRewrittenInPlace) {
    const std::string folder = Path("installed");
    ASSERT_TRUE(std::filesystem::create_directory(folder));
    options_.configPath = folder + "/avlo-monitor.ini";
    WriteConfig(Fixture("three_devices.ini"));
    ReadOnlyFolder readOnly(folder);
    if (!readOnly.Refuses()) GTEST_SKIP() << ReadOnlyFolder::WhyNot();
    StartCore();
    core_->DeleteDevice(0);
    StopCore();
    EXPECT_EQ(ReadConfig(), Fixture("saved_after_deleting_first.ini"));
    EXPECT_TRUE(MessageBoxSeam::TakeShown().empty());
    EXPECT_TRUE(EventsWithId(EV_MONITOR_ERROR).empty());
}

TEST_F(ConfigFileTest, TheFoldersOfTheFileAreMadeAtItsFirstSave) {
    options_.configPath = Path("config-home/avlo-monitor/avlo-monitor.ini");
    StartCore();
    StopCore();
    EXPECT_TRUE(Holds(ReadConfig(), "[Events]\r\nChanErr=1\r\n")) << ReadConfig();
    EXPECT_TRUE(EventsWithId(EV_MONITOR_ERROR).empty());
}

// Under umask 000 the folders would be anyone's to fill: another local user could put in
// settings that send the mail password to a server of theirs. What the monitor makes for its
// settings is its user's alone; the folder that was there before is left as it was.
TEST_F(ConfigFileTest, WhatTheMonitorMakesBesideItsSettingsIsPrivateWhateverTheUmask) {
    ASSERT_EQ(chmod(Path("").c_str(), 0755), 0);
    options_.configPath = Path("config-home/avlo-monitor/avlo-monitor.ini");
    const std::string history = EventStorePath(options_.configPath);
    const std::string secret = options_.configPath + ".secret";
    {
        const ScopedUmask scoped(0);
        StartCore();
        core_->PasswordStore().Save("pw");
        EXPECT_TRUE(WaitUntil([&] { return std::filesystem::exists(secret); }));
        EXPECT_TRUE(WaitUntil([&] { return std::filesystem::exists(history + "-wal"); }));
        EXPECT_EQ(PermissionsAt(history + "-wal"), 0600);
        EXPECT_EQ(PermissionsAt(history + "-shm"), 0600);
        StopCore();
    }
    EXPECT_EQ(PermissionsAt(Path("")), 0755);
    EXPECT_EQ(PermissionsAt(Path("config-home")), 0700);
    EXPECT_EQ(PermissionsAt(Path("config-home/avlo-monitor")), 0700);
    for (const std::string& file : {options_.configPath, history, secret}) {
        SCOPED_TRACE(file);
        EXPECT_EQ(PermissionsAt(file), 0600);
    }
}

// A file holding two entries with one name or one address (hand edits, or a version that let
// a moved device share an address) loses no device: a later duplicate name gets the first
// number no stored device has, a later duplicate address is dropped (the device waits for
// discovery), and an entry stored without an address comes back without one. Only an entry
// without a name, which a "Registered" count beyond the entries gives, is no device.
TEST_F(ConfigFileTest, DuplicateEntriesAndEntriesWithoutAnAddressAllLoad) {
    struct Expected {
        const char* name;
        const char* address;
        bool avlo;
        int chanErr0;
    };
    const Expected expected[] = {
        {"Stage", "127.0.6.10", false, 10},
        {"Stage 2", "127.0.6.11", false, 11},
        {"Balcony", "", true, 12},
        {"Stage 1", "127.0.6.13", false, 14},
        {"Wings", "", true, 15},
        {"Foyer", "", false, 16},
    };
    const auto check = [&](const char* when) {
        SCOPED_TRACE(when);
        ASSERT_EQ(core_->DeviceCount(), 6);
        for (int i = 0; i < 6; ++i) {
            SCOPED_TRACE(expected[i].name);
            const CMonitorCore::Device& d = *core_->Devices()[static_cast<std::size_t>(i)];
            EXPECT_EQ(d.Name, expected[i].name);
            EXPECT_EQ(d.IpAddress, expected[i].address);
            EXPECT_EQ(d.AvloEnabled, expected[i].avlo);
            EXPECT_EQ(d.Stats[StatsChanErr], expected[i].chanErr0);
            EXPECT_EQ(Cell(i, 1).toStdString(), expected[i].name);
            EXPECT_EQ(Cell(i, 2).toStdString(), expected[i].address);
            EXPECT_EQ(Ticked(i), expected[i].avlo);
            if (*expected[i].address == '\0') {
                // Nothing to connect to, even with AVLO on.
                EXPECT_FALSE(d.Connection);
                EXPECT_EQ(d.ConnState, Disconnected);
                EXPECT_EQ(Cell(i, 3), "Disconnected");
            }
        }
        const CMonitorCore::Device& balcony = *core_->Devices()[2];
        EXPECT_EQ(balcony.Serial, "61000002");
        EXPECT_EQ(balcony.ModelCode, 3);
        EXPECT_EQ(balcony.Stats[StatsPlus72VBErr], 32);
        EXPECT_EQ(core_->Devices()[4]->Serial, "61000005");
        EXPECT_EQ(core_->Devices()[4]->Stats[StatsFanErr + 6], 65);
    };

    WriteConfig(Fixture("duplicate_entries.ini"));
    StartCore();
    check("loaded from the file with duplicates");
    if (HasFatalFailure()) return;
    Pump(300);  // a connection thread started by mistake would report by now
    EXPECT_EQ(core_->Devices()[2]->ConnState, Disconnected);
    EXPECT_EQ(core_->Devices()[4]->ConnState, Disconnected);
    StopCore();

    const std::string saved = ReadConfig();
    EXPECT_NE(saved.find("Registered=6\r\n"), std::string::npos);
    EXPECT_NE(saved.find("Name 2=Balcony\r\nIP 2=\r\navlo 2=1\r\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("Name 1=Stage 2\r\nIP 1=127.0.6.11\r\n"), std::string::npos) << saved;
    StartCore();
    check("loaded again from the file it saved");
}

// A text in the file longer than the e-mail page's fields take is the user's setting all the
// same: it is kept and saved whole.
TEST_F(ConfigFileTest, LongerTextsFromTheFileThanAFieldTakesAreKeptWhole) {
    const std::string sender = std::string(300, 's') + "@example.com";
    const std::string recipient =
        "r\xC3\xA9" + std::string(290, 'r') + "@example.com";  // "é": 2 bytes
    WriteConfig("[Email]\r\nUserEmail=" + sender + "\r\nEmail 1=" + recipient + "\r\n");
    StartCore();
    EXPECT_EQ(core_->EmailSettings.sender, sender);
    EXPECT_EQ(core_->EmailSettings.recipient[0], recipient);
    StopCore();
    const std::string saved = ReadConfig();
    EXPECT_NE(saved.find("UserEmail=" + sender + "\r\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("Email 1=" + recipient + "\r\n"), std::string::npos) << saved;
}

// The e-mail page refuses a port that is not a number as it is typed; one in the file is
// refused the same way, so that the page and the file agree.
TEST_F(ConfigFileTest, APortThatIsNotANumberIsNotTaken) {
    WriteConfig("[Email]\r\nServerPort=2x5\r\n");
    StartCore();
    EXPECT_EQ(core_->EmailSettings.port, "");
    StopCore();
    EXPECT_NE(ReadConfig().find("ServerPort=\r\n"), std::string::npos) << ReadConfig();
}

}  // namespace
