// The configuration file as the program reads and writes it.
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "MainFormFixture.h"
#include "support/ReadOnlyFolder.h"

namespace {

std::string Fixture(const std::string& name) {
    std::ifstream in(std::string(AVLO_GUI_FIXTURES) + "/" + name, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

class ConfigFileTest : public MainFormFixture {
protected:
    ConfigFileTest() : MainFormFixture(6) {}
};

TEST_F(ConfigFileTest, NoFileGivesEveryDefault) {
    StartForm();
    EXPECT_EQ(form_->Core().DeviceCount(), 0);
    EXPECT_TRUE(form_->Core().NotifiableEvents.ChanErr);
    EXPECT_FALSE(form_->Core().NotifiableEvents.PSupplyErr);
    EXPECT_FALSE(form_->Core().NotifiableEvents.FanErr);
    EXPECT_FALSE(form_->Core().NotifiableEvents.TempErr);
    EXPECT_FALSE(form_->Core().NotifiableEvents.OvcErr);
    EXPECT_FALSE(form_->EnableEmailRadioBtn->isChecked());
    EXPECT_TRUE(form_->DisableEmailRadioBtn->isChecked());
    EXPECT_EQ(form_->ServerPortEdit->text(), "25");
    EXPECT_EQ(form_->ServerIpAddrEdit->text(), "");
    EXPECT_EQ(form_->Email1Edit->text(), "service@example.com");
    EXPECT_EQ(form_->Email2Edit->text(), "");
    EXPECT_EQ(form_->Core().Options.Poll, 300000);
    EXPECT_EQ(form_->Core().PollTimer->interval(), 300000);
    EXPECT_TRUE(form_->Core().Options.Log);
    EXPECT_TRUE(form_->Core().Options.Avlo);
    EXPECT_TRUE(form_->Core().Options.Startup);
    EXPECT_FALSE(form_->Core().TestModeSettings.On);
    EXPECT_EQ(form_->Core().TestModeSettings.Active, 2);
    EXPECT_EQ(form_->Core().TestModeSettings.Standby, 2);
    EXPECT_FALSE(form_->Core().AdvancedEmail.Customer);
    EXPECT_EQ(form_->Core().AdvancedEmail.CustomerName, "");
    EXPECT_FALSE(form_->ServerPortEdit->isEnabled());  // e-mail disabled: its fields too
}

TEST_F(ConfigFileTest, SavedFileIsExactlyTheExpectedLayoutWithRenumberedEntries) {
    WriteConfig(Fixture("three_devices.ini"));
    StartForm();
    ASSERT_EQ(form_->Core().DeviceCount(), 3);
    EXPECT_EQ(form_->Core().Devices()[2]->Stats[StatsPlus72VBErr], 3031);
    form_->Core().DeleteDevice(0);
    StopForm();
    EXPECT_EQ(ReadConfig(), Fixture("saved_after_deleting_first.ini"));
}

TEST_F(ConfigFileTest, RoundTripKeepsEverything) {
    WriteConfig(Fixture("three_devices.ini"));
    StartForm();
    StopForm();
    EXPECT_EQ(ReadConfig(), Fixture("three_devices.ini"));
}

TEST_F(ConfigFileTest, WithoutTheAlertsSwitchOnlyChannelAlertsSurvive) {
    WriteConfig("[Events]\r\nChanErr=1\r\nPSupplyErr=1\r\nFanErr=1\r\nTempErr=1\r\nOvcErr=1\r\n");
    StartForm();
    EXPECT_TRUE(form_->Core().NotifiableEvents.ChanErr);
    EXPECT_FALSE(form_->Core().NotifiableEvents.PSupplyErr);
    EXPECT_FALSE(form_->Core().NotifiableEvents.FanErr);
    EXPECT_FALSE(form_->Core().NotifiableEvents.TempErr);
    EXPECT_FALSE(form_->Core().NotifiableEvents.OvcErr);
    StopForm();
    EXPECT_NE(ReadConfig().find("PSupplyErr=0\r\nFanErr=0\r\nTempErr=0\r\nOvcErr=0\r\n"), std::string::npos);

    WriteConfig("[Events]\r\nPSupplyErr=1\r\nFanErr=1\r\n");
    StartForm({"ALERTS"});
    EXPECT_TRUE(form_->Core().NotifiableEvents.PSupplyErr);
    EXPECT_TRUE(form_->Core().NotifiableEvents.FanErr);
}

TEST_F(ConfigFileTest, NamesMatchWithoutRegardToCaseAndIntegersTakeHex) {
    WriteConfig("[options]\r\npoll=0xEA60\r\nLOG=0\r\n[email]\r\nserverport=587\r\nALERTS=1\r\n"
                "[avlo]\r\nregistered=1\r\nname 0=Foyer\r\nip 0=127.0.6.20\r\nMODEL 0=$3\r\n"
                "[stats]\r\nfanerr2DEVICE 0=7\r\nminus5verrdevice 0=4\r\n");
    StartForm();
    EXPECT_EQ(form_->Core().Options.Poll, 60000);
    EXPECT_FALSE(form_->Core().Options.Log);
    EXPECT_EQ(form_->ServerPortEdit->text(), "587");
    EXPECT_TRUE(form_->EnableEmailRadioBtn->isChecked());
    EXPECT_TRUE(form_->ServerPortEdit->isEnabled());
    ASSERT_EQ(form_->Core().DeviceCount(), 1);
    EXPECT_EQ(form_->Core().Devices()[0]->ModelCode, 3);
    EXPECT_EQ(form_->Core().Devices()[0]->Stats[StatsFanErr + 2], 7);
    EXPECT_EQ(form_->Core().Devices()[0]->Stats[StatsMinus5VErr], 4);
    EXPECT_EQ(form_->Core().Devices()[0]->ConnState, Disconnected);
}

TEST_F(ConfigFileTest, ReceivedTextCannotAddKeysToTheFile) {
    StartForm();
    TRegisterDlg::Context c = Ctx("Evil", "127.0.6.30", false);
    c.Serial = "AB\r\n[X]\r\n";
    ASSERT_GT(form_->Core().AddDevice(&c), 0);
    StopForm();
    const std::string saved = ReadConfig();
    EXPECT_EQ(saved.find("[X]\r\n"), std::string::npos);
    StartForm();
    ASSERT_EQ(form_->Core().DeviceCount(), 1);
    EXPECT_EQ(form_->Core().Devices()[0]->Name, "Evil");
}

TEST_F(ConfigFileTest, TestModeTimerStartsOnlyWithTheTestSwitch) {
    WriteConfig("[Test]\r\nOn=1\r\n");
    StartForm();
    EXPECT_FALSE(form_->Core().TestModeTimer->isActive());
    EXPECT_FALSE(form_->TestModeSettingsMenu->isVisible());
    StopForm();
    StartForm({"Test"});
    EXPECT_TRUE(form_->Core().TestModeTimer->isActive());
}

TEST_F(ConfigFileTest, LoggingOrderAndLoggingOff) {
    WriteConfig(Fixture("three_devices.ini"));
    StartForm();
    const auto events = sink_.Events();
    ASSERT_GE(events.size(), 4u);
    EXPECT_EQ(events[0].id, EV_MONITOR_STARTED);
    EXPECT_EQ(events[0].type, EVENTLOG_SUCCESS);
    for (int i = 1; i <= 3; ++i) {
        EXPECT_EQ(events[i].id, EV_DEVICE_REGISTERED);
        EXPECT_EQ(events[i].type, EVENTLOG_INFORMATION_TYPE);
    }
    EXPECT_EQ(events[1].text.value_or(""), "Amp A at 127.0.6.2");
    StopForm();
    EXPECT_EQ(sink_.Events().back().id, EV_MONITOR_STOPPED);

    std::string quiet = Fixture("three_devices.ini");
    quiet.replace(quiet.find("Log=1"), 5, "Log=0");
    WriteConfig(quiet);
    const std::size_t before = sink_.Events().size();
    StartForm();
    StopForm();
    EXPECT_EQ(sink_.Events().size(), before);
}

TEST_F(ConfigFileTest, DailySaveAtTheFirstPollOfANewDayClearsNotified) {
    LocalDateTime today{2026, 12, 10, 23, 59, 0, 0, 4};
    SetClockOverride([&today] { return today; });
    StartForm();
    TRegisterDlg::Context c = Ctx("Hall", "127.0.6.40", false);
    ASSERT_GT(form_->Core().AddDevice(&c), 0);
    form_->Core().Devices()[0]->Notified.FanOk[1] = 1;

    form_->Core().PollTimerTimer();  // same day: no save
    EXPECT_EQ(ReadConfig(), "");
    EXPECT_EQ(form_->Core().Devices()[0]->Notified.FanOk[1], 1);

    today = LocalDateTime{2026, 12, 11, 0, 0, 5, 0, 5};
    form_->Core().PollTimerTimer();
    EXPECT_NE(ReadConfig().find("Name 0=Hall"), std::string::npos);
    EXPECT_EQ(form_->Core().Devices()[0]->Notified.FanOk[1], 0);
    EXPECT_EQ(form_->Core().ReferenceDate.day, 11);
    EXPECT_TRUE(form_->Core().PollTimer->isActive());
}

// ---- saves between the shutdown and the day, and saves that cannot be made ----

bool Holds(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST_F(ConfigFileTest, EveryChangeOfWhatTheFileHoldsIsSavedWithinSecondsAndNothingElse) {
    // Not the way a save writes it: any save would show.
    const std::string initial = "[avlo]\r\nregistered=1\r\nname 0=Foyer\r\nip 0=127.0.6.20\r\n";
    WriteConfig(initial);
    StartForm();
    ASSERT_EQ(form_->Core().DeviceCount(), 1);
    const std::uint16_t foyer = form_->Core().Devices()[0]->DeviceId;
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
             const TRegisterDlg::Context c = Ctx("Hall", "127.0.6.41", false);
             form_->Core().AddDevice(&c);
         },
         "Name 1=Hall\r\n"},
        {"a failure counted",
         [&] {
             form_->Core().ApplyStatus(foyer, HealthyStatus(), "55500001", 2);
             form_->Core().ApplyStatus(foyer, fanFault, "55500001", 2);
         },
         "FanErr2device 0=1\r\n"},
        {"an e-mail setting typed", [&] { form_->ServerIpAddrEdit->setText("127.0.0.9"); },
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
    LocalDateTime today{2026, 12, 10, 23, 59, 0, 0, 4};
    SetClockOverride([&today] { return today; });
    StartForm();

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
    EXPECT_EQ(form_->Core().DeviceCount(), 0);
    EXPECT_EQ(form_->Core().Options.Poll, 300000);

    // Neither a change, nor the daily save, nor the shutdown writes.
    const TRegisterDlg::Context c = Ctx("Hall", "127.0.6.42", false);
    ASSERT_GT(form_->Core().AddDevice(&c), 0);
    Pump(2500);
    today = LocalDateTime{2026, 12, 11, 0, 0, 5, 0, 5};
    form_->Core().PollTimerTimer();
    EXPECT_EQ(form_->Core().ReferenceDate.day, 11);
    StopForm();
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
    StartForm();
    const TRegisterDlg::Context c = Ctx("Hall", "127.0.6.43", false);
    ASSERT_GT(form_->Core().AddDevice(&c), 0);
    EXPECT_TRUE(WaitUntil([] { return !MessageBoxSeam::TakeShown().empty(); }, 6000))
        << "the change's save said nothing";
    // The box was taken above; the event stays.
    ASSERT_EQ(EventsWithId(EV_MONITOR_ERROR).size(), 1u);
    const std::string text = EventsWithId(EV_MONITOR_ERROR)[0].text.value_or("");
    EXPECT_TRUE(Holds(text, options_.configPath)) << text;
    EXPECT_TRUE(Holds(text, "could not be saved")) << text;

    form_->Core().SaveConfiguration();
    StopForm();
    EXPECT_TRUE(MessageBoxSeam::TakeShown().empty());
    EXPECT_EQ(EventsWithId(EV_MONITOR_ERROR).size(), 1u);
    EXPECT_FALSE(std::filesystem::exists(options_.configPath));
}

TEST_F(ConfigFileTest, AFileInAFolderThatRefusesNewFilesIsRewrittenInPlace) {
    const std::string folder = Path("installed");
    ASSERT_TRUE(std::filesystem::create_directory(folder));
    options_.configPath = folder + "/avlo-monitor.ini";
    WriteConfig(Fixture("three_devices.ini"));
    ReadOnlyFolder readOnly(folder);
    if (!readOnly.Refuses()) GTEST_SKIP() << ReadOnlyFolder::WhyNot();
    StartForm();
    form_->Core().DeleteDevice(0);
    StopForm();
    EXPECT_EQ(ReadConfig(), Fixture("saved_after_deleting_first.ini"));
    EXPECT_TRUE(MessageBoxSeam::TakeShown().empty());
    EXPECT_TRUE(EventsWithId(EV_MONITOR_ERROR).empty());
}

TEST_F(ConfigFileTest, TheFoldersOfTheFileAreMadeAtItsFirstSave) {
    options_.configPath = Path("config-home/avlo-monitor/avlo-monitor.ini");
    StartForm();
    StopForm();
    EXPECT_TRUE(Holds(ReadConfig(), "[Events]\r\nChanErr=1\r\n")) << ReadConfig();
    EXPECT_TRUE(EventsWithId(EV_MONITOR_ERROR).empty());
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
        ASSERT_EQ(form_->Core().DeviceCount(), 6);
        EXPECT_EQ(form_->RegisteredNumLabel->text(), "6");
        for (int i = 0; i < 6; ++i) {
            SCOPED_TRACE(expected[i].name);
            const TMainForm::Device& d = *form_->Core().Devices()[static_cast<std::size_t>(i)];
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
        const TMainForm::Device& balcony = *form_->Core().Devices()[2];
        EXPECT_EQ(balcony.Serial, "61000002");
        EXPECT_EQ(balcony.ModelCode, 3);
        EXPECT_EQ(balcony.Stats[StatsPlus72VBErr], 32);
        EXPECT_EQ(form_->Core().Devices()[4]->Serial, "61000005");
        EXPECT_EQ(form_->Core().Devices()[4]->Stats[StatsFanErr + 6], 65);
    };

    WriteConfig(Fixture("duplicate_entries.ini"));
    StartForm();
    check("loaded from the file with duplicates");
    if (HasFatalFailure()) return;
    Pump(300);  // a connection thread started by mistake would report by now
    EXPECT_EQ(form_->Core().Devices()[2]->ConnState, Disconnected);
    EXPECT_EQ(form_->Core().Devices()[4]->ConnState, Disconnected);
    StopForm();

    const std::string saved = ReadConfig();
    EXPECT_NE(saved.find("Registered=6\r\n"), std::string::npos);
    EXPECT_NE(saved.find("Name 2=Balcony\r\nIP 2=\r\navlo 2=1\r\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("Name 1=Stage 2\r\nIP 1=127.0.6.11\r\n"), std::string::npos) << saved;
    StartForm();
    check("loaded again from the file it saved");
}

// The e-mail fields limit what can be typed, but a longer text in the file is the user's
// setting all the same: it is shown and saved whole, and the other fields keep their limit.
TEST_F(ConfigFileTest, LongerTextsFromTheFileThanAFieldTakesAreKeptWhole) {
    StartForm();
    const int limit = form_->UserEmailEdit->maxLength();
    StopForm();
    ASSERT_LT(limit, 300);
    const std::string sender = std::string(300, 's') + "@example.com";
    const std::string recipient =
        "r\xC3\xA9" + std::string(290, 'r') + "@example.com";  // "é": 2 bytes
    WriteConfig("[Email]\r\nUserEmail=" + sender + "\r\nEmail 1=" + recipient + "\r\n");
    StartForm();
    EXPECT_EQ(form_->UserEmailEdit->text().toStdString(), sender);
    EXPECT_EQ(form_->Email1Edit->text().toStdString(), recipient);
    EXPECT_EQ(form_->Email2Edit->maxLength(), limit);
    StopForm();
    const std::string saved = ReadConfig();
    EXPECT_NE(saved.find("UserEmail=" + sender + "\r\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("Email 1=" + recipient + "\r\n"), std::string::npos) << saved;
}

}  // namespace
