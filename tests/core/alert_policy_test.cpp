// The alert policy beside the fault decision: silent devices, recovery notices, the mute,
// confirmation of faults and the marks a restart keeps. The core's clock is the test's; the
// routes are observed through AlertRaised, which every alert and notice takes.
#include <QDate>
#include <QDateTime>
#include <QTime>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "CoreFixture.h"
#include "platform/EventIds.h"

namespace {

LocalDateTime Fields(const QDateTime& t) {
    const QDate d = t.date();
    const QTime h = t.time();
    return {d.year(), d.month(), d.day(), h.hour(), h.minute(), h.second(), 0, d.dayOfWeek() % 7};
}

QDateTime Moment(const LocalDateTime& t) {
    return QDateTime(QDate(t.year, t.month, t.day), QTime(t.hour, t.minute, t.second),
                     Qt::LocalTime);
}

DeviceStatus FanFault(int channel = 2) {
    DeviceStatus s = HealthyStatus();
    s.FanOk[channel] = 0;
    return s;
}

struct Raised {
    std::uint16_t deviceId;
    AlertNotice notice;
};

}  // namespace

class AlertPolicyTest : public CoreFixture {
protected:
    AlertPolicyTest() : CoreFixture(191) {}

    void SetUp() override {
        CoreFixture::SetUp();
        SetClockOverride([clock = clock_] { return *clock; });
    }

    // Only the test's calls check reachability, unless a test asks for the timer.
    void BeforeCoreStart() override {
        core_->ReachabilityCheckMs = checkMs_;
        QObject::connect(core_.get(), &CMonitorCore::AlertRaised, core_.get(),
                         [this](std::uint16_t id, const AlertNotice& notice) {
                             raised_.push_back({id, notice});
                         });
    }

    // A fresh core, every option on, alerts by the routes only (no e-mail).
    void Fresh(std::vector<std::string> arguments = {"alerts"}) {
        StopCore();
        *clock_ = Start;
        std::remove(options_.configPath.c_str());
        Restart(std::move(arguments));
        core_->NotifiableEvents.FanErr = true;
    }
    // The same settings file, read again by a new core.
    void Restart(std::vector<std::string> arguments = {"alerts"}) {
        StopCore();
        raised_.clear();
        StartCore(std::move(arguments));
    }

    void Advance(int seconds) { *clock_ = Fields(Moment(*clock_).addSecs(seconds)); }

    // A monitored device at a loopback address where nothing listens.
    std::uint16_t Watched(const std::string& name = "Stage", int host = 2) {
        DeviceContext c = Ctx(name, Address(host), true);
        c.ModelCode = 3;
        c.Serial = "31000100";
        const int id = core_->AddDevice(&c);
        EXPECT_GT(id, 0);
        return static_cast<std::uint16_t>(id);
    }
    CMonitorCore::Device& Dev(std::uint16_t id) { return *core_->FindDeviceById(id); }
    // A status arrives, as from the device's connection.
    void Reply(std::uint16_t id, const DeviceStatus& s) {
        core_->ApplyStatus(id, s, "31000100", 3);
        Dev(id).StatusTime = CMonitorCore::WallSeconds();
    }
    std::vector<std::string> Subjects() const {
        std::vector<std::string> out;
        for (const Raised& r : raised_) out.push_back(r.notice.Subject);
        return out;
    }

    static constexpr LocalDateTime Start{2026, 3, 10, 9, 0, 0, 0, 2};
    std::shared_ptr<LocalDateTime> clock_ = std::make_shared<LocalDateTime>(Start);
    int checkMs_ = 3600000;
    std::vector<Raised> raised_;
};

const std::string Unreachable = "AVLO Alert [RV12, # 31000100]: NOT REACHABLE";
const std::string BackToOk = "AVLO Notice [RV12, # 31000100]: back to OK";
const std::string FanAlert = "AVLO Alert [RV12, # 31000100]: FAN FAILURE";

// ---------------------------------------------------------------- silent devices

TEST_F(AlertPolicyTest, SilentDeviceIsAlertedOnceAfterTheHoldTime) {
    const struct {
        const char* name;
        std::vector<std::string> arguments;
        bool lostErr;
        int minutes;
        std::vector<std::string> subjects;
    } table[] = {
        {"limit mode, default hold", {"alerts"}, true, 2, {Unreachable}},
        {"nolimit mode, longer hold", {"alerts", "nolimit"}, true, 7, {Unreachable}},
        {"unreachable alerts off", {"alerts"}, false, 2, {}},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        Fresh(row.arguments);
        core_->NotifiableEvents.LostErr = row.lostErr;
        core_->NotifiableEvents.LostMinutes = row.minutes;
        const std::size_t eventsBefore = EventsWithId(EV_DEVICE_UNREACHABLE).size();
        const std::uint16_t id = Watched();
        core_->CheckReachability();  // watched from now: never heard from since start-up
        Advance(row.minutes * 60 - 1);
        core_->CheckReachability();
        EXPECT_TRUE(raised_.empty());
        EXPECT_EQ(EventsWithId(EV_DEVICE_UNREACHABLE).size(), eventsBefore);
        Advance(1);
        core_->CheckReachability();
        Advance(600);
        core_->CheckReachability();
        EXPECT_EQ(Subjects(), row.subjects);
        // One warning per outage, alerted or not.
        const auto events = EventsWithId(EV_DEVICE_UNREACHABLE);
        ASSERT_EQ(events.size(), eventsBefore + 1);
        EXPECT_EQ(events.back().type, EVENTLOG_WARNING_TYPE);
        if (!raised_.empty()) {
            const AlertNotice& n = raised_[0].notice;
            EXPECT_EQ(raised_[0].deviceId, id);
            EXPECT_EQ(n.What, AlertNotice::Kind::Alert);
            EXPECT_EQ(n.Problems, std::vector<std::string>{"unreachable"});
            EXPECT_EQ(n.Since, Moment(LocalDateTime{2026, 3, 10, 9, 0, 0}).toSecsSinceEpoch());
            EXPECT_NE(n.Text.find("Stage"), std::string::npos) << n.Text;
            EXPECT_NE(n.Text.find(Address(2)), std::string::npos) << n.Text;
            EXPECT_NE(n.Text.find("2026-03-10 09:00:00"), std::string::npos) << n.Text;
            EXPECT_NE(n.Text.find("none since the monitor started"), std::string::npos) << n.Text;
        }
    }
}

TEST_F(AlertPolicyTest, ConnectedButSilentCountsFromTheLastStatus) {
    Fresh();
    const std::uint16_t id = Watched();
    core_->CheckReachability();
    Advance(90);
    Reply(id, FanFault());  // alerted at once (fans selected)
    ASSERT_EQ(Subjects(), std::vector<std::string>{FanAlert});
    Advance(100);  // 190 s since start-up, 100 s since the status
    core_->CheckReachability();
    EXPECT_EQ(raised_.size(), 1u);
    Advance(20);
    core_->CheckReachability();
    ASSERT_EQ(Subjects(), (std::vector<std::string>{FanAlert, Unreachable}));
    EXPECT_NE(raised_[1].notice.Text.find("Fan Failure"), std::string::npos)
        << "the last known condition: " << raised_[1].notice.Text;
}

TEST_F(AlertPolicyTest, TheTimerFindsSilentDevicesWithoutAPoll) {
    checkMs_ = 20;
    Fresh();
    Watched();
    Pump(100);
    Advance(121);
    EXPECT_TRUE(WaitUntil([&] { return raised_.size() == 1; }, 3000));
    Pump(100);
    EXPECT_EQ(Subjects(), std::vector<std::string>{Unreachable});
}

TEST_F(AlertPolicyTest, LimitModeAlertsADevicesOutagesOnceADay) {
    for (const bool nolimit : {false, true}) {
        SCOPED_TRACE(nolimit ? "nolimit" : "limit");
        Fresh(nolimit ? std::vector<std::string>{"alerts", "nolimit"}
                      : std::vector<std::string>{"alerts"});
        const std::size_t eventsBefore = EventsWithId(EV_DEVICE_UNREACHABLE).size();
        const std::uint16_t id = Watched();
        core_->CheckReachability();
        Advance(121);
        core_->CheckReachability();
        Reply(id, HealthyStatus());
        Advance(121);
        core_->CheckReachability();  // a second outage the same day
        EXPECT_EQ(raised_.size(), nolimit ? 2u : 1u);
        EXPECT_EQ(EventsWithId(EV_DEVICE_UNREACHABLE).size(), eventsBefore + 2);
        *clock_ = LocalDateTime{2026, 3, 11, 9, 0, 0, 0, 3};
        core_->PollTimerTimer();  // the first poll of a new day clears the marks
        Reply(id, HealthyStatus());
        Advance(121);
        core_->CheckReachability();
        EXPECT_EQ(raised_.size(), nolimit ? 3u : 2u);
    }
}

// ---------------------------------------------------------------- recovery notices

TEST_F(AlertPolicyTest, AlertedProblemsThatClearGiveOneNotice) {
    for (const bool recovery : {true, false}) {
        SCOPED_TRACE(recovery ? "Recovery on" : "Recovery off");
        Fresh();
        core_->NotifiableEvents.Recovery = recovery;
        const std::uint16_t id = Watched();
        core_->CheckReachability();
        Advance(121);
        core_->CheckReachability();
        Advance(300);
        Reply(id, HealthyStatus());
        Reply(id, HealthyStatus());
        if (recovery) {
            ASSERT_EQ(Subjects(), (std::vector<std::string>{Unreachable, BackToOk}));
            const AlertNotice& n = raised_[1].notice;
            EXPECT_EQ(n.What, AlertNotice::Kind::Notice);
            EXPECT_NE(n.Text.find("Not reachable"), std::string::npos) << n.Text;
            EXPECT_NE(n.Text.find("lasted 7 min"), std::string::npos) << n.Text;
        } else {
            EXPECT_EQ(Subjects(), std::vector<std::string>{Unreachable});
        }

        raised_.clear();
        Reply(id, FanFault());
        Advance(3600 + 60 * 5);
        Reply(id, FanFault());
        Reply(id, HealthyStatus());
        Reply(id, HealthyStatus());
        if (recovery) {
            ASSERT_EQ(Subjects(), (std::vector<std::string>{FanAlert, BackToOk}));
            const AlertNotice& n = raised_[1].notice;
            EXPECT_EQ(n.Problems, std::vector<std::string>{"fan"});
            EXPECT_NE(n.Text.find("lasted 1 h 5 min"), std::string::npos) << n.Text;
        } else {
            EXPECT_EQ(Subjects(), std::vector<std::string>{FanAlert});
        }
    }
}

TEST_F(AlertPolicyTest, FaultThatWasNeverAlertedClearsWithoutNotice) {
    Fresh();
    core_->NotifiableEvents.Recovery = true;
    core_->NotifiableEvents.FanErr = false;  // a fan fault is counted but not alerted
    const std::uint16_t id = Watched();
    Reply(id, FanFault());
    Reply(id, HealthyStatus());
    EXPECT_TRUE(raised_.empty());
}

// An alert e-mail that failed is tried again at the next status; the other routes were told
// the first time and are not told again, until the fault clears and comes back.
TEST_F(AlertPolicyTest, AFailedMailIsRetriedWithoutTellingTheOtherRoutesAgain) {
    for (const bool nolimit : {false, true}) {
        SCOPED_TRACE(nolimit ? "nolimit" : "limit");
        Fresh(nolimit ? std::vector<std::string>{"alerts", "nolimit"}
                      : std::vector<std::string>{"alerts"});
        core_->EmailSettings.Enabled = true;
        bool deliver = false;
        int mails = 0;
        core_->AlertRecorder = [&](CMonitorCore::Device&, const DeviceStatus&) {
            ++mails;
            return deliver;
        };
        const std::uint16_t id = Watched();
        Reply(id, FanFault());
        Reply(id, FanFault());
        EXPECT_EQ(mails, nolimit ? 1 : 2);
        EXPECT_EQ(raised_.size(), 1u);
        deliver = true;
        Reply(id, HealthyStatus());
        Reply(id, FanFault());  // a new onset: in nolimit mode every route hears of it
        EXPECT_EQ(mails, nolimit ? 2 : 3);
        EXPECT_EQ(raised_.size(), 2u);
        Reply(id, FanFault());
        EXPECT_EQ(raised_.size(), 2u);
    }
}

// ---------------------------------------------------------------- mute

TEST_F(AlertPolicyTest, MutedFaultIsCountedAndLoggedAndAlertedOnceWhenTheMuteEnds) {
    const struct {
        const char* name;
        std::vector<std::string> arguments;
        bool expires;  // the mute runs out; otherwise it is lifted by hand
    } table[] = {
        {"limit, unmuted", {"alerts"}, false},
        {"limit, runs out", {"alerts"}, true},
        {"nolimit, unmuted", {"alerts", "nolimit"}, false},
        {"nolimit, runs out", {"alerts", "nolimit"}, true},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        Fresh(row.arguments);
        core_->NotifiableEvents.LostMinutes = MaxLostMinutes;  // silence plays no part here
        const std::size_t mutedBefore = EventsWithId(EV_ALERTS_MUTED).size();
        const std::size_t unmutedBefore = EventsWithId(EV_ALERTS_UNMUTED).size();
        const std::uint16_t id = Watched();
        Reply(id, HealthyStatus());
        int rowsChanged = 0;
        QObject::connect(core_.get(), &CMonitorCore::DeviceRowChanged, core_.get(),
                         [&](std::uint16_t d) { rowsChanged += d == id; });
        const std::int64_t until =
            row.expires ? CMonitorCore::WallSeconds() + 3600 : CMonitorCore::MutedIndefinitely;
        const std::size_t alertLogs = EventsWithId(EV_DEVICE_ALERT).size();
        core_->MuteDevice(id, until);
        EXPECT_TRUE(core_->AlertsMuted(Dev(id)));
        EXPECT_EQ(rowsChanged, 1);
        const auto muted = EventsWithId(EV_ALERTS_MUTED);
        ASSERT_EQ(muted.size(), mutedBefore + 1);
        const std::string mutedText = muted.back().text.value_or("");
        EXPECT_NE(mutedText.find(row.expires ? "until 2026-03-10 10:00" : "until unmuted"),
                  std::string::npos)
            << mutedText;

        Reply(id, FanFault());
        Reply(id, FanFault());
        Advance(1800);
        core_->CheckReachability();
        EXPECT_TRUE(raised_.empty());
        EXPECT_EQ(Dev(id).Stats[StatsFanErr + 2], 1);
        EXPECT_EQ(EventsWithId(EV_DEVICE_ALERT).size(), alertLogs + 2);
        EXPECT_EQ(EventsWithId(EV_ALERTS_UNMUTED).size(), unmutedBefore);

        if (row.expires) {
            Advance(1800);
            EXPECT_FALSE(core_->AlertsMuted(Dev(id)));
            core_->CheckReachability();  // the timer ends the mute
        } else {
            core_->MuteDevice(id, 0);
        }
        EXPECT_EQ(Dev(id).MutedUntil, 0);
        EXPECT_EQ(EventsWithId(EV_ALERTS_UNMUTED).size(), unmutedBefore + 1);
        EXPECT_EQ(rowsChanged, 2);
        EXPECT_EQ(Subjects(), std::vector<std::string>{FanAlert});
        Reply(id, FanFault());
        core_->CheckReachability();
        EXPECT_EQ(raised_.size(), 1u) << "the standing fault is alerted once";
    }
}

TEST_F(AlertPolicyTest, MutedSilentDeviceIsAlertedWhenTheMuteEnds) {
    Fresh();
    const std::uint16_t id = Watched();
    core_->MuteDevice(id, CMonitorCore::MutedIndefinitely);
    core_->CheckReachability();
    Advance(600);
    core_->CheckReachability();
    EXPECT_TRUE(raised_.empty());
    EXPECT_EQ(EventsWithId(EV_DEVICE_UNREACHABLE).size(), 1u) << "logged while muted";
    core_->MuteDevice(id, 0);
    core_->CheckReachability();
    core_->CheckReachability();
    EXPECT_EQ(Subjects(), std::vector<std::string>{Unreachable});
}

TEST_F(AlertPolicyTest, AMomentAlreadyPastMutesNothing) {
    Fresh();
    const std::uint16_t id = Watched();
    core_->MuteDevice(id, CMonitorCore::WallSeconds() - 1);
    EXPECT_FALSE(core_->AlertsMuted(Dev(id)));
    EXPECT_TRUE(EventsWithId(EV_ALERTS_MUTED).empty());
    Reply(id, FanFault());
    EXPECT_EQ(raised_.size(), 1u);
}

// ---------------------------------------------------------------- confirmation

TEST_F(AlertPolicyTest, ConfirmWaitsForThatManyFaultyStatusesInARow) {
    const struct {
        const char* name;
        std::vector<std::string> arguments;
        int confirm;
        std::vector<int> replies;  // 1 healthy, 0 fan fault
        std::size_t alerts;
    } table[] = {
        {"confirm 1: the first fault", {"alerts"}, 1, {0}, 1},
        {"confirm 3: seen twice", {"alerts"}, 3, {0, 0}, 0},
        {"confirm 3: twice, a healthy one, twice", {"alerts"}, 3, {0, 0, 1, 0, 0}, 0},
        {"confirm 3: three in a row", {"alerts"}, 3, {0, 0, 1, 0, 0, 0}, 1},
        {"confirm 3, nolimit: two onsets confirmed",
         {"alerts", "nolimit"},
         3,
         {1, 0, 0, 0, 0, 1, 0, 0, 0},
         2},
        {"confirm 3, nolimit: seen twice", {"alerts", "nolimit"}, 3, {1, 0, 0, 1, 0, 0}, 0},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        Fresh(row.arguments);
        core_->NotifiableEvents.Confirm = row.confirm;
        const std::uint16_t id = Watched();
        for (const int ok : row.replies) Reply(id, ok ? HealthyStatus() : FanFault());
        EXPECT_EQ(raised_.size(), row.alerts);
    }
}

// ---------------------------------------------------------------- settings and restarts

TEST_F(AlertPolicyTest, MarksOfTheDaySurviveARestartAndANewDayClearsThem) {
    Fresh();
    core_->NotifiableEvents.Recovery = true;
    const std::uint16_t id = Watched();
    Reply(id, FanFault());
    ASSERT_EQ(raised_.size(), 1u);
    core_->SaveConfiguration();

    Restart();
    const std::uint16_t again = core_->FindDeviceByName("Stage")->DeviceId;
    Reply(again, FanFault());
    Reply(again, FanFault());
    EXPECT_TRUE(raised_.empty()) << "mailed already today";
    Reply(again, HealthyStatus());
    EXPECT_EQ(Subjects(), std::vector<std::string>{BackToOk}) << "its recovery is still due";
    Reply(again, FanFault());
    EXPECT_EQ(raised_.size(), 1u);

    *clock_ = LocalDateTime{2026, 3, 11, 8, 0, 0, 0, 3};
    Restart();  // the file's marks belong to yesterday
    const std::uint16_t third = core_->FindDeviceByName("Stage")->DeviceId;
    Reply(third, FanFault());
    EXPECT_EQ(Subjects(), std::vector<std::string>{FanAlert});
}

TEST_F(AlertPolicyTest, AnOutageAlertedBeforeARestartIsNotAlertedAgain) {
    Fresh();
    core_->NotifiableEvents.Recovery = true;
    Watched();
    core_->CheckReachability();
    Advance(121);
    core_->CheckReachability();
    ASSERT_EQ(raised_.size(), 1u);
    Restart({"alerts", "nolimit"});
    core_->CheckReachability();
    Advance(600);
    core_->CheckReachability();
    EXPECT_TRUE(raised_.empty());
    Reply(core_->FindDeviceByName("Stage")->DeviceId, HealthyStatus());
    EXPECT_EQ(Subjects(), std::vector<std::string>{BackToOk});
}

TEST_F(AlertPolicyTest, MuteSurvivesARestart) {
    Fresh();
    const std::uint16_t id = Watched();
    const std::uint16_t other = Watched("Hall", 3);
    core_->MuteDevice(id, CMonitorCore::MutedIndefinitely);
    core_->MuteDevice(other, CMonitorCore::WallSeconds() + 600);
    core_->SaveConfiguration();
    Restart();
    EXPECT_EQ(core_->FindDeviceByName("Stage")->MutedUntil, CMonitorCore::MutedIndefinitely);
    EXPECT_EQ(core_->FindDeviceByName("Hall")->MutedUntil, CMonitorCore::WallSeconds() + 600);
    Reply(core_->FindDeviceByName("Stage")->DeviceId, FanFault());
    EXPECT_TRUE(raised_.empty());
}

TEST_F(AlertPolicyTest, NewEventsKeysRoundTripAndAreClamped) {
    const struct {
        const char* file;
        bool lostErr;
        int minutes;
        bool recovery;
        int confirm;
    } table[] = {
        {"[Events]\nChanErr=1\n", true, 2, false, 1},
        {"[Events]\nLostErr=0\nLostMinutes=15\nRecovery=1\nConfirm=4\n", false, 15, true, 4},
        {"[Events]\nLostMinutes=0\nConfirm=50\n", true, 1, false, 10},
        {"[Events]\nLostMinutes=-3\nConfirm=0\n", true, 1, false, 1},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.file);
        StopCore();
        WriteConfig(row.file);
        Restart();
        const NotifiableEvents_Type ev = core_->NotifiableEvents;
        EXPECT_EQ(ev.LostErr, row.lostErr);
        EXPECT_EQ(ev.LostMinutes, row.minutes);
        EXPECT_EQ(ev.Recovery, row.recovery);
        EXPECT_EQ(ev.Confirm, row.confirm);
        core_->SaveConfiguration();
        Restart();
        EXPECT_EQ(core_->NotifiableEvents, ev) << "read back as written";
    }
}

TEST_F(AlertPolicyTest, AFileWithoutAlertMarksWritesNone) {
    Fresh();
    Watched();
    core_->SaveConfiguration();
    const std::string text = ReadConfig();
    EXPECT_EQ(text.find("[Alerts]"), std::string::npos) << text;
    EXPECT_NE(text.find("LostErr=1"), std::string::npos) << text;
}
