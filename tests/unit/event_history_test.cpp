// The history's writer thread: events land with the clock's time and their device; a file
// that cannot be used is reported once, never holds up the caller, and is tried again at the
// daily save; old events go at the daily save.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "history/EventHistory.h"
#include "platform/Clock.h"
#include "platform/EventIds.h"
#include "platform/EventSink.h"
#include "support/QueueTarget.h"

namespace {

using ::testing::HasSubstr;
using namespace std::chrono_literals;

constexpr std::int64_t Day = 86400LL * 1000000;

class EventHistoryTest : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/avlo-history-XXXXXX";
        dir_ = mkdtemp(pattern);
        path_ = dir_ + "/site-events.sqlite";
    }
    void TearDown() override {
        SetClockOverride({});
        std::system(("rm -rf '" + dir_ + "'").c_str());
    }

    std::vector<EventRecord> Stored() {
        CEventStore reader;
        std::vector<EventRecord> rows;
        if (!reader.Open(path_, CEventStore::Mode::Read)) return rows;
        reader.ReadAll({}, [&](const EventRecord& r) {
            rows.push_back(r);
            return true;
        });
        return rows;
    }
    bool Reported(HistoryReport report, std::chrono::milliseconds limit = 3000ms) {
        return target_
            .WaitFor(
                [report](const auto& m) { return m.msg == WM_EVENTHISTORY && m.wParam == report; },
                limit)
            .has_value();
    }
    int CountReports(HistoryReport report) {
        int n = 0;
        while (target_
                   .WaitFor(
                       [report](const auto& m) {
                           return m.msg == WM_EVENTHISTORY && m.wParam == report;
                       },
                       0ms)
                   .has_value()) {
            ++n;
        }
        return n;
    }
    static EventRecord Old(std::int64_t time, const std::string& text) {
        EventRecord r;
        r.timeUs = time;
        r.eventId = EV_DEVICE_ALERT;
        r.type = EVENTLOG_ERROR_TYPE;
        r.text = text;
        return r;
    }

    std::string dir_;
    std::string path_;
    QueueTarget target_;
};

TEST_F(EventHistoryTest, EventsLandWithTheClocksTimeAndTheirDevice) {
    SetClockOverride([] {
        LocalDateTime t;
        t.year = 2026, t.month = 4, t.day = 5, t.hour = 6, t.minute = 7, t.second = 8;
        t.milliseconds = 9;
        return t;
    });
    CEventHistory history(path_, &target_);
    const std::string text = "Amp 1 at 127.0.81.2";
    const EventDevice device{"Amp 1", "127.0.81.2", "4711"};
    history.Record(EVENTLOG_INFORMATION_TYPE, EV_DEVICE_CONNECTED, &text, &device);
    history.Record(EVENTLOG_SUCCESS, EV_MONITOR_STARTED, nullptr, nullptr);
    ASSERT_TRUE(history.WaitIdle(3000));
    const auto rows = Stored();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].timeUs, LocalToUtcMicros(2026, 4, 5, 6, 7, 8, 9));
    EXPECT_EQ(rows[0].eventId, EV_DEVICE_CONNECTED);
    EXPECT_EQ(rows[0].type, EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(rows[0].device, "Amp 1");
    EXPECT_EQ(rows[0].address, "127.0.81.2");
    EXPECT_EQ(rows[0].serial, "4711");
    EXPECT_EQ(rows[0].text, text);
    EXPECT_EQ(rows[1].eventId, EV_MONITOR_STARTED);
    EXPECT_EQ(rows[1].device, "");
    EXPECT_EQ(rows[1].text, "");
    EXPECT_EQ(history.TakeFailure(), "");
}

TEST_F(EventHistoryTest, NothingIsTouchedBeforeTheFirstEvent) {
    { CEventHistory history(path_, &target_); }
    std::ifstream in(path_);
    EXPECT_FALSE(in.good());
}

TEST_F(EventHistoryTest, WhatIsQueuedAtTheEndIsStillWritten) {
    {
        CEventHistory history(path_, &target_);
        for (int i = 0; i < 2500; ++i) history.Add(Old(1000 + i, std::to_string(i)));
    }
    const auto rows = Stored();
    ASSERT_EQ(rows.size(), 2500u);
    EXPECT_EQ(rows.back().text, "2499");
}

TEST_F(EventHistoryTest, ALockedFileIsReportedOnceAndNeverHoldsUpTheCaller) {
    CEventStore::Settings settings;
    settings.busyTimeoutMs = 400;
    CEventHistory history(path_, &target_, settings);
    history.Add(Old(1, "before"));
    ASSERT_TRUE(history.WaitIdle(3000));

    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    // While the writer waits for the lock, every call returns at once (far below the wait).
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 200; ++i) history.Add(Old(2 + i, "during"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 200ms);
    ASSERT_TRUE(Reported(HistoryFailed));
    const std::string why = history.TakeFailure();
    EXPECT_THAT(why, HasSubstr(path_));
    EXPECT_THAT(why, HasSubstr("locked"));
    EXPECT_EQ(history.TakeFailure(), "");  // said once
    // Until the daily save, events are dropped without another report.
    for (int i = 0; i < 10; ++i) history.Add(Old(300 + i, "dropped"));
    ASSERT_TRUE(history.WaitIdle(3000));
    EXPECT_EQ(CountReports(HistoryFailed), 0);
    EXPECT_GE(history.Dropped(), 210u);

    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    history.DailyMaintenance(1000);
    history.Add(Old(500, "after"));
    ASSERT_TRUE(history.WaitIdle(3000));
    const auto rows = Stored();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].text, "before");
    EXPECT_EQ(rows[1].text, "after");
}

TEST_F(EventHistoryTest, ACorruptFileIsReportedAndTriedAgainAtTheDailySave) {
    std::ofstream(path_, std::ios::binary) << std::string(4096, 'x');
    CEventHistory history(path_, &target_);
    history.Add(Old(1, "lost"));
    ASSERT_TRUE(Reported(HistoryFailed));
    EXPECT_THAT(history.TakeFailure(), HasSubstr("not a database"));
    // The start-up pruning is no new attempt: nothing is said again.
    history.Prune(Day);
    history.Add(Old(2, "dropped"));
    ASSERT_TRUE(history.WaitIdle(3000));
    EXPECT_EQ(CountReports(HistoryFailed), 0);
    // Still broken at the next daily save: said again, once.
    history.DailyMaintenance(Day);
    history.Add(Old(2, "lost too"));
    ASSERT_TRUE(Reported(HistoryFailed));
    ASSERT_TRUE(history.WaitIdle(3000));
    EXPECT_EQ(CountReports(HistoryFailed), 0);

    std::remove(path_.c_str());  // someone moved the damaged file away
    history.DailyMaintenance(Day);
    history.Add(Old(3, "kept"));
    ASSERT_TRUE(history.WaitIdle(3000));
    const auto rows = Stored();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].text, "kept");
}

TEST_F(EventHistoryTest, AFullDiskIsReported) {
    CEventStore::Settings settings;
    settings.maxPageCount = 12;
    CEventHistory history(path_, &target_, settings);
    for (int i = 0; i < 40; ++i) history.Add(Old(i, std::string(4000, 'f')));
    ASSERT_TRUE(Reported(HistoryFailed));
    EXPECT_THAT(history.TakeFailure(), HasSubstr("full"));
}

TEST_F(EventHistoryTest, TheDailySaveRemovesEventsOlderThan400Days) {
    const std::int64_t now = 2000 * Day;
    CEventHistory history(path_, &target_);
    history.Add(Old(now - 401 * Day, "too old"));
    history.Add(Old(now - 400 * Day - 1, "just too old"));
    history.Add(Old(now - 400 * Day, "just kept"));
    history.Add(Old(now - Day, "yesterday"));
    ASSERT_TRUE(history.WaitIdle(3000));
    history.DailyMaintenance(now);
    ASSERT_TRUE(history.WaitIdle(3000));
    const auto rows = Stored();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].text, "just kept");
    EXPECT_EQ(rows[1].text, "yesterday");
}

TEST_F(EventHistoryTest, TheWriterGivesAnOlderHistoryItsTextIndex) {
    constexpr int Older = 3000;
    {
        CEventStore store;
        ASSERT_TRUE(store.Open(path_, CEventStore::Mode::Write));
        std::vector<EventRecord> batch;
        for (int i = 0; i < Older; ++i) batch.push_back(Old(Day + i, "old " + std::to_string(i)));
        ASSERT_TRUE(store.Append(batch));
    }
    // What the history looked like before it had a text index.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "DROP TRIGGER events_late_noted; DROP TRIGGER events_unindexed;"
                           "DROP TABLE events_fts; DROP TABLE events_late; DROP TABLE events_grams;"
                           "DROP TABLE events_index_state; DROP INDEX events_event;",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);

    const auto search = [&](int* calls) {
        CEventStore reader;
        EXPECT_TRUE(reader.Open(path_, CEventStore::Mode::Read));
        EventFilter f;
        f.text = "OLD 1234";
        std::vector<std::string> texts;
        std::optional<EventCursor> at;
        for (*calls = 1; *calls < 1000; ++*calls) {
            EventPage page;
            EXPECT_TRUE(reader.ReadPage(f, at, 200, 50, &page));
            for (const auto& r : page.rows) texts.push_back(r.text);
            if (!page.next) break;
            at = page.next;
        }
        return texts;
    };
    int calls = 0;
    EXPECT_EQ(search(&calls), std::vector<std::string>{"old 1234"});
    EXPECT_GT(calls, Older / 50);  // every event looked at

    CEventHistory history(path_, &target_);
    history.Add(Old(Day + Older, "new"));
    ASSERT_TRUE(history.WaitIdle(20000));
    EXPECT_EQ(CountReports(HistoryFailed), 0);
    EXPECT_EQ(search(&calls), std::vector<std::string>{"old 1234"});
    EXPECT_LE(calls, 2);  // the index names the one event
    EXPECT_EQ(Stored().size(), static_cast<std::size_t>(Older + 1));
}

}  // namespace
