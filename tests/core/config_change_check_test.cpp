// The change check of the configuration file: every kind of change of what the file holds is
// saved within a few checks, whichever code made it, and nothing else is written.
#include <functional>
#include <string>

#include "CoreFixture.h"

namespace {

constexpr int Net = 118;

class ConfigChangeCheckTest : public CoreFixture {
protected:
    ConfigChangeCheckTest() : CoreFixture(Net) { changeCheckMs_ = 20; }

    bool Saved(const std::string& line) {
        return WaitUntil([&] { return ReadConfig().find(line) != std::string::npos; }, 3000);
    }
};

struct Change {
    const char* what;
    std::function<void(CMonitorCore&)> change;
    const char* saved;  // a line of the file that only the change gives
};

// Each row changes one thing the way the program does: the device table and the counters
// through the core's operations, the settings records as the window's pages and dialogs write
// them (directly into the core's records), the statistics as the properties dialog resets them.
std::vector<Change> Changes(const std::function<void(int, bool)>& addSim) {
    auto device = [](CMonitorCore& core, int row) -> CMonitorCore::Device& {
        return *core.FindDeviceByListIndex(row);
    };
    DeviceStatus fanFault = HealthyStatus();
    fanFault.FanOk[2] = 0;
    return {
        {"a device registered by hand",
         [](CMonitorCore& core) {
             DeviceContext c;
             c.Name = "Hall";
             c.IpAddress = "127.0.118.41";
             core.AddDevice(&c);
         },
         "Name 2=Hall\r\n"},
        {"a device renamed",
         [device](CMonitorCore& core) {
             DeviceContext c;
             c.Name = "Lobby";
             c.IpAddress = device(core, 0).IpAddress;
             core.UpdateDevice(0, &c, true);
         },
         "Name 0=Lobby\r\n"},
        {"a device given another address",
         [](CMonitorCore& core) {
             DeviceContext c;
             c.Name = "Lobby";
             c.IpAddress = "127.0.118.21";
             core.UpdateDevice(0, &c, true);
         },
         "IP 0=127.0.118.21\r\n"},
        {"a device's AVLO box ticked",
         [](CMonitorCore& core) {
             DeviceContext c;
             c.Name = "Hall";
             c.IpAddress = "127.0.118.41";
             c.AvloEnabled = true;
             core.UpdateDevice(2, &c, true);
         },
         "avlo 2=1\r\n"},
        {"a model and a serial number learned from a status",
         [device](CMonitorCore& core) {
             core.ApplyStatus(device(core, 0).DeviceId, HealthyStatus(), "55500001", 3);
         },
         "Model 0=3\r\nSerial 0=55500001\r\n"},
        {"a failure counted",
         [device, fanFault](CMonitorCore& core) {
             core.ApplyStatus(device(core, 0).DeviceId, fanFault, "55500001", 3);
         },
         "FanErr2device 0=1\r\n"},
        {"the statistics reset",
         [device](CMonitorCore& core) {
             for (std::int32_t& counter : device(core, 0).Stats) counter = 0;
         },
         "FanErr2device 0=0\r\n"},
        // The counters are all 0 already: only the moment counting began changes.
        {"counters reset again through the core",
         [device](CMonitorCore& core) { core.ResetStatistics(device(core, 0).DeviceId); },
         "\r\ndevice 0=20"},
        {"a device found by discovery",
         [addSim](CMonitorCore& core) {
             addSim(30, false);
             core.BroadcastDiscovery();
         },
         "Serial 3=77700030\r\n"},
        {"a known device found at another address",
         [addSim](CMonitorCore& core) {
             // It moves only once its status at the new address carries its serial.
             addSim(31, true);
             core.BroadcastDiscovery();
         },
         "IP 1=127.0.118.31\r\n"},
        {"a device deleted", [](CMonitorCore& core) { core.DeleteDevice(2); }, "Registered=3\r\n"},

        {"Options: Poll", [](CMonitorCore& core) { core.Options.Poll = 60000; }, "Poll=60000\r\n"},
        {"Options: Log", [](CMonitorCore& core) { core.Options.Log = false; }, "Log=0\r\n"},
        {"Options: Avlo", [](CMonitorCore& core) { core.Options.Avlo = false; }, "Avlo=0\r\n"},
        {"Options: Startup", [](CMonitorCore& core) { core.Options.Startup = false; },
         "Startup=0\r\n"},
        {"Options: Notify", [](CMonitorCore& core) { core.Options.Notify = false; },
         "Notify=0\r\n"},
        {"Web: On", [](CMonitorCore& core) { core.WebSettings.On = true; }, "[Web]\r\nOn=1\r\n"},
        {"Web: Port", [](CMonitorCore& core) { core.WebSettings.Port = 9443; }, "Port=9443\r\n"},
        {"Web: MetricsToken", [](CMonitorCore& core) { core.WebSettings.MetricsToken = "t"; },
         "MetricsToken=t\r\n"},
        {"Webhooks: On1", [](CMonitorCore& core) { core.WebhookSettings.Targets[0].On = true; },
         "[Webhooks]\r\nOn1=1\r\n"},
        {"Webhooks: Url2",
         [](CMonitorCore& core) { core.WebhookSettings.Targets[1].Url = "https://h.example/2"; },
         "Url2=https://h.example/2\r\n"},
        {"Webhooks: Format3",
         [](CMonitorCore& core) { core.WebhookSettings.Targets[2].Format = "ntfy"; },
         "Format3=ntfy\r\n"},
        {"Webhooks: CaFile", [](CMonitorCore& core) { core.WebhookSettings.CaFile = "/ca.pem"; },
         "CaFile=/ca.pem\r\n"},

        {"Events: ChanErr", [](CMonitorCore& core) { core.NotifiableEvents.ChanErr = false; },
         "ChanErr=0\r\n"},
        {"Events: PSupplyErr", [](CMonitorCore& core) { core.NotifiableEvents.PSupplyErr = true; },
         "PSupplyErr=1\r\n"},
        {"Events: FanErr", [](CMonitorCore& core) { core.NotifiableEvents.FanErr = true; },
         "FanErr=1\r\n"},
        {"Events: TempErr", [](CMonitorCore& core) { core.NotifiableEvents.TempErr = true; },
         "TempErr=1\r\n"},
        {"Events: OvcErr", [](CMonitorCore& core) { core.NotifiableEvents.OvcErr = true; },
         "OvcErr=1\r\n"},
        {"Events: LostErr", [](CMonitorCore& core) { core.NotifiableEvents.LostErr = false; },
         "LostErr=0\r\n"},
        {"Events: LostMinutes", [](CMonitorCore& core) { core.NotifiableEvents.LostMinutes = 9; },
         "LostMinutes=9\r\n"},
        {"Events: Recovery", [](CMonitorCore& core) { core.NotifiableEvents.Recovery = true; },
         "Recovery=1\r\n"},
        {"Events: Confirm", [](CMonitorCore& core) { core.NotifiableEvents.Confirm = 3; },
         "Confirm=3\r\n"},
        {"a device muted",
         [device](CMonitorCore& core) {
             core.MuteDevice(device(core, 0).DeviceId, CMonitorCore::MutedIndefinitely);
         },
         "Muted device 0=unmuted\r\n"},
        {"a fault item alerted",
         [device](CMonitorCore& core) { device(core, 0).Notified.ChannelOk[1] = 1; },
         "Notified device 0=00000002\r\n"},

        {"Advanced: Customer", [](CMonitorCore& core) { core.AdvancedEmail.Customer = true; },
         "Customer=1\r\n"},
        {"Advanced: CustomerName",
         [](CMonitorCore& core) { core.AdvancedEmail.CustomerName = "Grand Hall"; },
         "CustomerName=Grand Hall\r\n"},
        {"Advanced: ByEmail", [](CMonitorCore& core) { core.AdvancedEmail.ByEmail = true; },
         "ByEmail=1\r\n"},
        {"Advanced: CustomerPhone",
         [](CMonitorCore& core) { core.AdvancedEmail.CustomerPhone = "555 0100"; },
         "CustomerPhone=555 0100\r\n"},
        {"Advanced: Installer", [](CMonitorCore& core) { core.AdvancedEmail.Installer = true; },
         "Installer=1\r\n"},
        {"Advanced: InstallerName",
         [](CMonitorCore& core) { core.AdvancedEmail.InstallerName = "Sound Co"; },
         "InstallerName=Sound Co\r\n"},
        {"Advanced: InstallDay", [](CMonitorCore& core) { core.AdvancedEmail.InstallDay = "07"; },
         "InstallDay=07\r\n"},
        {"Advanced: InstallMonth",
         [](CMonitorCore& core) { core.AdvancedEmail.InstallMonth = "11"; }, "InstallMonth=11\r\n"},
        {"Advanced: InstallYear", [](CMonitorCore& core) { core.AdvancedEmail.InstallYear = "24"; },
         "InstallYear=24\r\n"},

        {"Test: On",
         [](CMonitorCore& core) {
             core.TestModeSettings.On = true;
             core.TestModeSettingsChanged();
         },
         "On=1\r\n"},
        {"Test: Active", [](CMonitorCore& core) { core.TestModeSettings.Active = 9; },
         "Active=9\r\n"},
        {"Test: Standby", [](CMonitorCore& core) { core.TestModeSettings.Standby = 8; },
         "Standby=8\r\n"},

        {"Email: Alerts", [](CMonitorCore& core) { core.EmailSettings.Enabled = true; },
         "Alerts=1\r\n"},
        {"Email: ServerIp", [](CMonitorCore& core) { core.EmailSettings.server = "127.0.0.9"; },
         "ServerIp=127.0.0.9\r\n"},
        {"Email: ServerPort", [](CMonitorCore& core) { core.EmailSettings.port = "2525"; },
         "ServerPort=2525\r\n"},
        {"Email: UserName", [](CMonitorCore& core) { core.EmailSettings.userName = "amps"; },
         "UserName=amps\r\n"},
        {"Email: UserEmail",
         [](CMonitorCore& core) { core.EmailSettings.sender = "amps@site.test"; },
         "UserEmail=amps@site.test\r\n"},
        {"Email: Email 1",
         [](CMonitorCore& core) { core.EmailSettings.recipient[0] = "one@site.test"; },
         "Email 1=one@site.test\r\n"},
        {"Email: Email 2",
         [](CMonitorCore& core) { core.EmailSettings.recipient[1] = "two@site.test"; },
         "Email 2=two@site.test\r\n"},
        {"Email: Email 3",
         [](CMonitorCore& core) { core.EmailSettings.recipient[2] = "three@site.test"; },
         "Email 3=three@site.test\r\n"},
        {"Email: Security", [](CMonitorCore& core) { core.EmailSettings.Security = 2; },
         "Security=2\r\n"},
        {"Email: SignIn", [](CMonitorCore& core) { core.EmailSettings.SignIn = true; },
         "SignIn=1\r\n"},
        {"Email: SignInUser",
         [](CMonitorCore& core) { core.EmailSettings.SignInUser = "relay-user"; },
         "SignInUser=relay-user\r\n"},
        {"Email: CaFile",
         [](CMonitorCore& core) { core.EmailSettings.CaFile = "/etc/site-ca.pem"; },
         "CaFile=/etc/site-ca.pem\r\n"},
    };
}

TEST_F(ConfigChangeCheckTest, EveryKindOfChangeIsSavedByTheCheck) {
    WriteConfig(
        "[AVLO]\r\nRegistered=2\r\nName 0=Foyer\r\nIP 0=127.0.118.20\r\navlo 0=0\r\n"
        "Name 1=Stage\r\nIP 1=127.0.118.22\r\navlo 1=0\r\nSerial 1=77700031\r\n");
    StartCore();
    WaitForFirstPoll();
    ASSERT_EQ(core_->DeviceCount(), 2);
    auto addSim = [this](int host, bool answersStatus) {
        devsim::DeviceConfig c;
        c.address = Address(host);
        c.serial = "777000" + std::to_string(host);
        c.udpPort = options_.discoveryPort;
        c.acceptTcp = answersStatus;
        ASSERT_GE(Site().AddDevice(c), 0) << Site().LastError();
    };
    for (const Change& c : Changes(addSim)) {
        SCOPED_TRACE(c.what);
        c.change(*core_);
        EXPECT_TRUE(Saved(c.saved)) << ReadConfig();
    }
}

TEST_F(ConfigChangeCheckTest, ARecordChangeTheFileDoesNotHoldWritesNothing) {
    // Not the way a save writes it: any save would show.
    const std::string initial = "[avlo]\r\nregistered=1\r\nname 0=Foyer\r\nip 0=127.0.118.20\r\n";
    WriteConfig(initial);
    StartCore();
    // What a failed delivery said is kept with the e-mail fields, but not in the file.
    core_->EmailSettings.reason = "certificate expired";
    Pump(300);
    EXPECT_EQ(ReadConfig(), initial);
    // The check goes on: the next real change is saved.
    core_->Options.Poll = 120000;
    EXPECT_TRUE(Saved("Poll=120000\r\n")) << ReadConfig();
}

}  // namespace
