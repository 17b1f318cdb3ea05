// The monitor and its event history: every event of a run lands in the history with its type
// and device; a history file that cannot be used never stops monitoring and is reported once;
// the daily save tries it again and removes what is older than 400 days.
#include <sqlite3.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>

#include "CoreFixture.h"
#include "history/EventStore.h"
#include "platform/EventIds.h"
#include "support/ReadOnlyFolder.h"

namespace {

LocalDateTime DaysAfter(LocalDateTime t, int days) {
    std::tm tm{};
    tm.tm_year = t.year - 1900;
    tm.tm_mon = t.month - 1;
    tm.tm_mday = t.day + days;
    tm.tm_hour = t.hour;
    tm.tm_isdst = -1;
    std::mktime(&tm);
    t.year = tm.tm_year + 1900;
    t.month = tm.tm_mon + 1;
    t.day = tm.tm_mday;
    t.dayOfWeek = tm.tm_wday;
    return t;
}

class MonitorHistoryTest : public CoreFixture {
protected:
    MonitorHistoryTest() : CoreFixture(81) {}

    std::string StorePath() const { return EventStorePath(options_.configPath); }
    std::vector<EventRecord> Stored() {
        if (core_ && core_->History()) {
            EXPECT_TRUE(core_->History()->WaitIdle(5000));
        }
        CEventStore reader;
        std::vector<EventRecord> rows;
        if (!reader.Open(StorePath(), CEventStore::Mode::Read)) return rows;
        reader.ReadAll({}, [&](const EventRecord& r) {
            rows.push_back(r);
            return true;
        });
        return rows;
    }
    void ConfigWithDevice(const std::string& name, int host, const std::string& extra = "") {
        WriteConfig(extra + "[AVLO]\r\nRegistered=1\r\nName 0=" + name +
                    "\r\nIP 0=" + Address(host) + "\r\navlo 0=1\r\n");
    }
    std::vector<CapturedEvent> HistoryErrors() const {
        std::vector<CapturedEvent> out;
        for (const auto& e : EventsWithId(EV_MONITOR_ERROR)) {
            if (e.text && e.text->find(StorePath()) != std::string::npos) out.push_back(e);
        }
        return out;
    }
};

TEST_F(MonitorHistoryTest, EveryEventOfARunLandsWithItsTypeAndDevice) {
    const int sim = QuietSim(2, "7700");
    Site().SetChannelFault(sim, 2, devsim::ChannelFault::Fan, true);
    ConfigWithDevice("Amp, \"A\"", 2);
    StartQuiet();
    ASSERT_TRUE(WaitUntil([&] { return !EventsWithId(EV_DEVICE_ALERT).empty(); }));
    Site().DropConnection(sim);
    ASSERT_TRUE(WaitUntil([&] { return !EventsWithId(EV_DEVICE_CONNECTION_LOST).empty(); }));
    core_->LogEmailOutcome("\r\n\nTo : a@b.c,,\r\nSubject : s", SmtpOk);
    core_->LogEmailOutcome("\r\n\nTo : a@b.c,,\r\nSubject : s", SmtpReplyTimeout);
    StopCore();

    const auto logged = sink_.Events();
    const auto stored = Stored();
    ASSERT_EQ(stored.size(), logged.size());
    std::set<std::uint32_t> kinds;
    for (std::size_t i = 0; i < stored.size(); ++i) {
        const EventRecord& r = stored[i];
        EXPECT_EQ(r.eventId, logged[i].id) << i;
        EXPECT_EQ(r.type, logged[i].type) << EventName(r.eventId);
        EXPECT_EQ(r.text, logged[i].text.value_or("")) << EventName(r.eventId);
        if (i > 0) {
            EXPECT_GE(r.timeUs, stored[i - 1].timeUs);
        }
        kinds.insert(r.eventId);
        switch (r.eventId) {
            case EV_DEVICE_REGISTERED:
            case EV_DEVICE_CONNECTED:
            case EV_DEVICE_CONNECTION_LOST:
                EXPECT_EQ(r.device, "Amp, \"A\"") << EventName(r.eventId);
                EXPECT_EQ(r.address, Address(2)) << EventName(r.eventId);
                break;
            case EV_DEVICE_ALERT:
                EXPECT_EQ(r.device, "Amp, \"A\"");
                EXPECT_EQ(r.address, Address(2));
                EXPECT_EQ(r.serial, "77001002");  // known from the status that reported it
                break;
            default:
                EXPECT_EQ(r.device, "") << EventName(r.eventId);
        }
    }
    EXPECT_EQ(kinds,
              (std::set<std::uint32_t>{
                  EV_MONITOR_STARTED, EV_DEVICE_REGISTERED, EV_DEVICE_CONNECTED, EV_DEVICE_ALERT,
                  EV_DEVICE_CONNECTION_LOST, EV_EMAIL_SENT, EV_EMAIL_FAILED, EV_MONITOR_STOPPED}));
}

TEST_F(MonitorHistoryTest, WithLoggingOffNoHistoryIsKept) {
    QuietSim(2, "7700");
    ConfigWithDevice("Amp A", 2, "[Options]\r\nLog=0\r\n");
    StartQuiet();
    ASSERT_TRUE(WaitUntil([&] { return Shows(0, "Connected", "OK"); }));
    core_->PollTimerTimer();
    StopCore();
    std::ifstream in(StorePath());
    EXPECT_FALSE(in.good());
}

// A new user's first start: the settings folder does not exist yet (it is made for the first
// save). The history beside the settings file keeps the first events all the same.
TEST_F(MonitorHistoryTest, AFirstStartWithoutTheSettingsFolderKeepsItsEvents) {
    options_.configPath = Path("home/.config/avlo-monitor/avlo-monitor.ini");
    ASSERT_FALSE(std::filesystem::exists(Path("home")));
    StartQuiet();
    ASSERT_TRUE(core_->History()->WaitIdle(5000));
    EXPECT_TRUE(HistoryErrors().empty()) << HistoryErrors().front().text.value_or("");
    const auto stored = Stored();
    ASSERT_FALSE(stored.empty());
    EXPECT_EQ(stored.front().eventId, EV_MONITOR_STARTED);
}

// The ways a history file can be unusable while the monitor runs, each undone afterwards.
enum class Trouble { Corrupt, Locked, Unwritable };

class UnusableHistoryTest : public MonitorHistoryTest, public testing::WithParamInterface<Trouble> {
protected:
    void TearDown() override {
        Undo();
        MonitorHistoryTest::TearDown();
    }
    // false: cannot be made here (the test is skipped).
    bool Make(Trouble trouble) {
        switch (trouble) {
            case Trouble::Corrupt:
                std::ofstream(StorePath(), std::ios::binary) << std::string(8192, '#');
                return true;
            case Trouble::Locked: {
                CEventStore store;  // a history that another process holds
                EXPECT_TRUE(store.Open(StorePath(), CEventStore::Mode::Write));
                store.Close();
                EXPECT_EQ(sqlite3_open(StorePath().c_str(), &locker_), SQLITE_OK);
                return sqlite3_exec(locker_, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) ==
                       SQLITE_OK;
            }
            case Trouble::Unwritable:
                readOnly_ = std::make_unique<ReadOnlyFolder>(dir_.path().toStdString());
                return readOnly_->Refuses();
        }
        return false;
    }
    void Undo() {
        if (locker_) {
            sqlite3_exec(locker_, "ROLLBACK", nullptr, nullptr, nullptr);
            sqlite3_close(locker_);
            locker_ = nullptr;
        }
        readOnly_.reset();
        if (GetParam() == Trouble::Corrupt) std::remove(StorePath().c_str());
    }

    sqlite3* locker_ = nullptr;
    std::unique_ptr<ReadOnlyFolder> readOnly_;
};

TEST_P(UnusableHistoryTest, MonitoringGoesOnAndOneEventSaysWhy) {
    // The clock is still asked when the core shuts down in the tear-down, after this body:
    // it owns its time.
    const auto today = std::make_shared<LocalDateTime>(LocalDateTime{2026, 6, 1, 10, 0, 0, 0, 1});
    SetClockOverride([today] { return *today; });
    const int sim = QuietSim(2, "7700");
    ConfigWithDevice("Amp A", 2);
    if (!Make(GetParam())) GTEST_SKIP() << ReadOnlyFolder::WhyNot();
    StartQuiet();
    ASSERT_TRUE(WaitUntil([&] { return HistoryErrors().size() == 1; }));
    const std::string why = HistoryErrors().front().text.value_or("");
    EXPECT_NE(why.find("next daily save"), std::string::npos) << why;

    // Monitoring goes on: the device is connected and polled, its fault is reported in the
    // system log, and the history's trouble is not said again.
    ASSERT_TRUE(WaitUntil([&] { return Shows(0, "Connected", "OK"); }));
    Site().SetChannelFault(sim, 1, devsim::ChannelFault::Channel, true);
    core_->PollTimerTimer();
    ASSERT_TRUE(WaitUntil([&] { return !EventsWithId(EV_DEVICE_ALERT).empty(); }));
    Pump(200);
    EXPECT_EQ(HistoryErrors().size(), 1u);

    // The trouble is gone; the next daily save tries the file again.
    Undo();
    const std::size_t alerts = EventsWithId(EV_DEVICE_ALERT).size();
    *today = DaysAfter(*today, 1);
    core_->PollTimerTimer();
    ASSERT_TRUE(WaitUntil([&] { return EventsWithId(EV_DEVICE_ALERT).size() > alerts; }));
    const auto stored = Stored();
    ASSERT_FALSE(stored.empty());
    EXPECT_EQ(stored.back().eventId, EV_DEVICE_ALERT);
    EXPECT_EQ(stored.back().device, "Amp A");
    EXPECT_EQ(HistoryErrors().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Troubles, UnusableHistoryTest,
                         testing::Values(Trouble::Corrupt, Trouble::Locked, Trouble::Unwritable),
                         [](const auto& info) {
                             switch (info.param) {
                                 case Trouble::Corrupt:
                                     return "Corrupt";
                                 case Trouble::Locked:
                                     return "Locked";
                                 case Trouble::Unwritable:
                                     break;
                             }
                             return "Unwritable";
                         });

TEST_F(MonitorHistoryTest, TheDailySaveRemovesEventsOlderThan400Days) {
    const LocalDateTime first{2025, 3, 10, 12, 0, 0, 0, 1};
    const auto today = std::make_shared<LocalDateTime>(first);
    SetClockOverride([today] { return *today; });
    ConfigWithDevice("Amp A", 2);
    StartQuiet();
    StopCore();
    const std::size_t firstRun = Stored().size();
    ASSERT_GE(firstRun, 3u);  // started, registered, stopped

    *today = DaysAfter(first, 399);
    StartQuiet();
    ASSERT_TRUE(core_->History()->WaitIdle(5000));
    EXPECT_GT(Stored().size(), firstRun) << "a 399-day-old event went";

    *today = DaysAfter(first, 401);
    core_->PollTimerTimer();  // a new day: the daily save
    const auto stored = Stored();
    ASSERT_FALSE(stored.empty());
    const std::int64_t cutoff =
        LocalToUtcMicros(today->year, today->month, today->day, today->hour) -
        400LL * 86400 * 1000000;
    for (const auto& r : stored) EXPECT_GE(r.timeUs, cutoff) << EventName(r.eventId);
    EXPECT_EQ(stored.front().eventId, EV_MONITOR_STARTED);
}

}  // namespace
