// The alert policy on the whole road: simulated amplifiers on loopback addresses, the monitor
// polling them, and a real SMTP server (Debian's aiosmtpd) storing what arrives. The core's
// clock is the test's, so hold times pass without waiting for them.
#include <QDate>
#include <QDateTime>
#include <QTime>
#include <chrono>
#include <cstdlib>
#include <memory>

#include "CoreFixture.h"
#include "integration/SmtpSink.h"
#include "platform/EventIds.h"

using namespace std::chrono_literals;

class AlertPolicyMailTest : public CoreFixture {
protected:
    AlertPolicyMailTest() : CoreFixture(192) {}

    void SetUp() override {
        CoreFixture::SetUp();
        if (!smtpsink::AiosmtpdInstalled()) {
            if (const char* ci = std::getenv("CI"); ci && std::string(ci) == "true") {
                FAIL() << "python3-aiosmtpd is needed under CI";
            }
            GTEST_SKIP() << "python3-aiosmtpd is not installed for /usr/bin/python3";
        }
        SetClockOverride([clock = clock_] { return *clock; });
        server_ = std::make_unique<smtpsink::Server>("127.0.0.1");
        ASSERT_TRUE(server_->Running());
    }
    void BeforeCoreStart() override { core_->ReachabilityCheckMs = 50; }

    // A core whose settings file has e-mail to the test's server and fan faults selected.
    void StartMailing(const std::string& events = "") {
        WriteConfig("[Events]\nChanErr=1\nFanErr=1\n" + events +
                    "[Email]\nAlerts=1\nServerIp=127.0.0.1\nServerPort=" + server_->PortText() +
                    "\nUserName=AVLO Monitor\nUserEmail=monitor@site.example.com\n"
                    "Email 1=one@example.com\n");
        StartCore({"alerts"});
    }
    void Advance(int seconds) {
        const QDateTime t = QDateTime(QDate(clock_->year, clock_->month, clock_->day),
                                      QTime(clock_->hour, clock_->minute, clock_->second))
                                .addSecs(seconds);
        *clock_ = {t.date().year(),
                   t.date().month(),
                   t.date().day(),
                   t.time().hour(),
                   t.time().minute(),
                   t.time().second(),
                   0,
                   t.date().dayOfWeek() % 7};
    }
    // A simulated amplifier and its registration; returns the simulator's index.
    int Amplifier(std::uint16_t* id, bool fanFault = false, int host = 3) {
        const int dev = AddSimDevice(host, "02", "31000100");
        if (fanFault) Site().SetChannelFault(dev, 2, devsim::ChannelFault::Fan, true);
        *id = static_cast<std::uint16_t>(Add("Balcony", Address(host)));
        return dev;
    }
    bool HeardOnce(std::uint16_t id) {
        return WaitUntil([&] { return core_->FindDeviceById(id)->StatusKnown; }, 10000);
    }
    // One more status from the device, handled.
    bool Polled(int dev) {
        const int before = Site().Snapshot(dev).statusQueries;
        core_->PollAll();
        if (!WaitUntil([&] { return Site().Snapshot(dev).statusQueries > before; })) return false;
        Pump(300);
        return true;
    }
    void SwitchOff(int dev) {
        Pump(500);  // the statuses of the first connection are in
        Site().SetRefuseConnections(dev, true);
        Site().DropConnection(dev);
    }
    // Message number n as stored, waiting for it while the monitor goes on; empty when none.
    std::map<std::string, std::string> Message(int n) {
        std::optional<std::filesystem::path> path;
        WaitUntil([&] { return (path = server_->WaitMessage(n, 0ms)).has_value(); }, 10000);
        return path ? smtpsink::Parse(*path) : std::map<std::string, std::string>{};
    }
    std::string Subject(int n) { return Message(n)["subject"]; }
    std::string Body(int n) { return Message(n)["body"]; }
    // No message number n arrives while the monitor goes on for a while.
    bool NoMessage(int n) {
        Pump(1500);
        return !server_->WaitMessage(n, 200ms);
    }

    std::shared_ptr<LocalDateTime> clock_ =
        std::make_shared<LocalDateTime>(LocalDateTime{2026, 3, 10, 9, 0, 0, 0, 2});
    std::unique_ptr<smtpsink::Server> server_;
};

const std::string Unreachable = "AVLO Alert [RV12, # 31000100]: NOT REACHABLE";
const std::string BackToOk = "AVLO Notice [RV12, # 31000100]: back to OK";
const std::string FanAlert = "AVLO Alert [RV12, # 31000100]: FAN FAILURE";

TEST_F(AlertPolicyMailTest, SwitchedOffDeviceGivesOneAlertAndOneNoticeWhenBack) {
    StartMailing("Recovery=1\n");
    std::uint16_t id = 0;
    const int dev = Amplifier(&id);
    ASSERT_TRUE(HeardOnce(id));
    SwitchOff(dev);
    Advance(100);
    EXPECT_TRUE(NoMessage(1)) << "before the hold time";
    Advance(30);
    EXPECT_EQ(Subject(1), Unreachable);
    const std::string body = Body(1);
    EXPECT_NE(body.find("Balcony"), std::string::npos) << body;
    EXPECT_NE(body.find("Last known condition:\tOK"), std::string::npos) << body;
    Advance(600);
    EXPECT_TRUE(NoMessage(2)) << "once per outage";
    EXPECT_EQ(EventsWithId(EV_DEVICE_UNREACHABLE).size(), 1u);

    Site().SetRefuseConnections(dev, false);
    ASSERT_TRUE(WaitUntil(
        [&] {
            core_->PollAll();
            Pump(200);
            return core_->FindDeviceById(id)->UnreachableSince == 0;
        },
        10000));
    EXPECT_EQ(Subject(2), BackToOk);
    EXPECT_NE(Body(2).find("lasted 12 min"), std::string::npos) << Body(2);
    EXPECT_TRUE(NoMessage(3));
}

TEST_F(AlertPolicyMailTest, SwitchedOffDeviceMailsNothingWithLostErrOffOrWhileMuted) {
    for (const bool muted : {false, true}) {
        SCOPED_TRACE(muted ? "muted" : "LostErr off");
        StopCore();
        StartMailing(muted ? "" : "LostErr=0\n");
        std::uint16_t id = 0;
        const int dev = Amplifier(&id, false, muted ? 4 : 3);
        if (muted) core_->MuteDevice(id, CMonitorCore::MutedIndefinitely);
        ASSERT_TRUE(HeardOnce(id));
        SwitchOff(dev);
        Advance(3600);
        EXPECT_TRUE(NoMessage(1));
        EXPECT_TRUE(WaitUntil([&] { return core_->FindDeviceById(id)->UnreachableSince != 0; }))
            << "the outage is still noticed";
    }
}

TEST_F(AlertPolicyMailTest, MutedFaultMailsOnceWhenTheMuteEnds) {
    StartMailing("LostErr=0\n");  // the half hour of silence is not this test's concern
    std::uint16_t id = 0;
    const int dev = Amplifier(&id, true);
    core_->MuteDevice(id, CMonitorCore::WallSeconds() + 1800);
    ASSERT_TRUE(HeardOnce(id));
    ASSERT_TRUE(Polled(dev));
    EXPECT_TRUE(NoMessage(1));
    Advance(1801);  // the mute runs out: the reachability timer ends it
    EXPECT_EQ(Subject(1), FanAlert);
    ASSERT_TRUE(Polled(dev));
    EXPECT_TRUE(NoMessage(2));
    EXPECT_EQ(EventsWithId(EV_ALERTS_UNMUTED).size(), 1u);
}

TEST_F(AlertPolicyMailTest, RestartOnTheSameDayMailsNothingNewAndTheNextDayMailsAgain) {
    StartMailing();
    std::uint16_t id = 0;
    const int dev = Amplifier(&id, true);
    EXPECT_EQ(Subject(1), FanAlert);
    ASSERT_TRUE(WaitUntil([&] { return core_->FindDeviceById(id)->Notified.FanOk[1] == 1; }));

    StopCore();  // the shutdown's save keeps the day's marks
    StartCore({"alerts"});
    id = core_->FindDeviceByName("Balcony")->DeviceId;
    ASSERT_TRUE(HeardOnce(id));
    ASSERT_TRUE(Polled(dev));
    EXPECT_TRUE(NoMessage(2));

    StopCore();
    Advance(24 * 3600);
    StartCore({"alerts"});
    EXPECT_EQ(Subject(2), FanAlert);
}

TEST_F(AlertPolicyMailTest, ConfirmThreeMailsNothingForAFaultSeenTwice) {
    StartMailing("Confirm=3\n");
    std::uint16_t id = 0;
    const int dev = Amplifier(&id, true);
    ASSERT_TRUE(HeardOnce(id));
    Pump(500);
    // The connection's first status may come twice (its query and the poll's).
    if (core_->FindDeviceById(id)->FaultRun[StatsFanErr + 1] < 2) {
        ASSERT_TRUE(Polled(dev));
    }
    ASSERT_EQ(core_->FindDeviceById(id)->FaultRun[StatsFanErr + 1], 2);
    EXPECT_TRUE(NoMessage(1));
    ASSERT_TRUE(Polled(dev));  // the third status confirms it
    EXPECT_EQ(Subject(1), FanAlert);
}
