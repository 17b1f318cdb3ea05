// The history file: what goes in comes out unchanged, the filters select what they say, a
// paged reading gives the same events as a whole one, old events go, and a file that cannot be
// used says why instead of taking the program down.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "history/EventStore.h"
#include "platform/EventIds.h"
#include "platform/EventSink.h"
#include "support/ReadOnlyFolder.h"
#include "support/ScopedTimeZone.h"
#include "support/ScopedUmask.h"
#include "support/TempDir.h"

namespace {

using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

constexpr std::int64_t Day = 86400LL * 1000000;
constexpr std::int64_t T0 = 1767225600LL * 1000000;  // 2026-01-01 00:00 UTC

EventRecord Ev(std::int64_t time, std::uint32_t id, std::uint16_t type, std::string device,
               std::string text, std::string address = {}, std::string serial = {}) {
    EventRecord r;
    r.timeUs = time;
    r.eventId = id;
    r.type = type;
    r.device = std::move(device);
    r.address = std::move(address);
    r.serial = std::move(serial);
    r.text = std::move(text);
    return r;
}

std::vector<std::string> Texts(const std::vector<EventRecord>& rows) {
    std::vector<std::string> texts;
    for (const auto& r : rows) texts.push_back(r.text);
    return texts;
}

std::vector<EventRecord> All(CEventStore& store, const EventFilter& filter = {}) {
    std::vector<EventRecord> rows;
    EXPECT_TRUE(store.ReadAll(filter, [&](const EventRecord& r) {
        rows.push_back(r);
        return true;
    })) << store.LastError();
    return rows;
}

// Newest first, page by page, as the window reads.
std::vector<EventRecord> Paged(CEventStore& store, const EventFilter& filter, int limit, int scan) {
    std::vector<EventRecord> rows;
    std::optional<EventCursor> at;
    for (int guard = 0; guard < 1000; ++guard) {
        EventPage page;
        EXPECT_TRUE(store.ReadPage(filter, at, limit, scan, &page)) << store.LastError();
        EXPECT_LE(static_cast<int>(page.rows.size()), limit);
        rows.insert(rows.end(), page.rows.begin(), page.rows.end());
        if (!page.next) return rows;
        at = page.next;
    }
    ADD_FAILURE() << "paging did not end";
    return rows;
}

class EventStoreTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(store_.Open(dir_.File("h-events.sqlite"), CEventStore::Mode::Write))
            << store_.LastError();
    }
    // A site's few days: two devices, monitor events without one, every kind.
    void FillSite() {
        ASSERT_TRUE(store_.Append({
            Ev(T0, EV_MONITOR_STARTED, EVENTLOG_SUCCESS, "", "xzy"),
            Ev(T0 + 1, EV_DEVICE_REGISTERED, EVENTLOG_INFORMATION_TYPE, "Amp 1",
               "Amp 1 at 127.0.81.2", "127.0.81.2"),
            Ev(T0 + 2, EV_DEVICE_REGISTERED, EVENTLOG_INFORMATION_TYPE, "Stage_Left",
               "Stage_Left at 127.0.81.3", "127.0.81.3"),
            Ev(T0 + Day, EV_DEVICE_ALERT, EVENTLOG_ERROR_TYPE, "Amp 1",
               "AVLO Alert [RV12, # 4711]: FAN FAILURE\r\n\nMessage: *x\n", "127.0.81.2", "4711"),
            Ev(T0 + Day + 5, EV_DEVICE_CONNECTION_LOST, EVENTLOG_WARNING_TYPE, "Stage_Left",
               "Stage_Left at 127.0.81.3", "127.0.81.3"),
            Ev(T0 + 2 * Day, EV_EMAIL_FAILED, EVENTLOG_ERROR_TYPE, "Amp 1", "[3] load 50% now",
               "127.0.81.2", "4711"),
            Ev(T0 + 3 * Day, EV_MONITOR_STOPPED, EVENTLOG_INFORMATION_TYPE, "", "x_y"),
        })) << store_.LastError();
    }

    TempDir dir_;
    CEventStore store_;
};

TEST_F(EventStoreTest, WhatGoesInComesOutUnchanged) {
    // Device names, serials and server replies come from outside: quotes, SQL, line breaks
    // and UTF-8 are kept as they are and never change the statement.
    const EventRecord hostile = Ev(
        T0, EV_EMAIL_FAILED, EVENTLOG_ERROR_TYPE, "Amp'); DROP TABLE events;--",
        "550 \"no\", said the server\r\nline two\nline three \xC2\xB7 end", "127.0.81.9", "S'1\"2");
    ASSERT_TRUE(store_.Append({hostile, Ev(T0 + 1, EV_MONITOR_STOPPED, 4, "", "")}));
    const auto rows = All(store_);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].device, hostile.device);
    EXPECT_EQ(rows[0].text, hostile.text);
    EXPECT_EQ(rows[0].address, hostile.address);
    EXPECT_EQ(rows[0].serial, hostile.serial);
    EXPECT_EQ(rows[0].eventId, EV_EMAIL_FAILED);
    EXPECT_EQ(rows[0].type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(rows[0].timeUs, T0);
    EXPECT_LT(rows[0].rowId, rows[1].rowId);
    // A text that looks like a filter's SQL finds itself and nothing else.
    EventFilter f;
    f.device = hostile.device;
    EXPECT_THAT(Texts(All(store_, f)), ElementsAreArray({hostile.text}));
}

TEST_F(EventStoreTest, FiltersSelectWhatTheySay) {
    FillSite();
    const auto since = [](std::int64_t t) {
        EventFilter f;
        f.sinceUs = t;
        return f;
    };
    struct Case {
        const char* name;
        EventFilter filter;
        std::vector<std::uint32_t> ids;  // oldest first
    };
    std::vector<Case> cases;
    cases.push_back(
        {"nothing",
         {},
         {EV_MONITOR_STARTED, EV_DEVICE_REGISTERED, EV_DEVICE_REGISTERED, EV_DEVICE_ALERT,
          EV_DEVICE_CONNECTION_LOST, EV_EMAIL_FAILED, EV_MONITOR_STOPPED}});
    EventFilter f;
    f.device = "Amp 1";
    cases.push_back({"device", f, {EV_DEVICE_REGISTERED, EV_DEVICE_ALERT, EV_EMAIL_FAILED}});
    f = {};
    f.device = "amp 1";  // names are exact
    cases.push_back({"device case", f, {}});
    f = {};
    f.kind = EventKind::Error;
    cases.push_back({"errors", f, {EV_DEVICE_ALERT, EV_EMAIL_FAILED}});
    f.kind = EventKind::Warning;
    cases.push_back({"warnings", f, {EV_DEVICE_CONNECTION_LOST}});
    f.kind = EventKind::Information;  // success counts as information
    cases.push_back(
        {"information",
         f,
         {EV_MONITOR_STARTED, EV_DEVICE_REGISTERED, EV_DEVICE_REGISTERED, EV_MONITOR_STOPPED}});
    f.device = "Amp 1";
    cases.push_back({"device and kind", f, {EV_DEVICE_REGISTERED}});
    cases.push_back(
        {"since",
         since(T0 + Day),
         {EV_DEVICE_ALERT, EV_DEVICE_CONNECTION_LOST, EV_EMAIL_FAILED, EV_MONITOR_STOPPED}});
    f = since(T0 + Day);
    f.untilUs = T0 + 2 * Day;  // the end is not included
    cases.push_back({"range", f, {EV_DEVICE_ALERT, EV_DEVICE_CONNECTION_LOST}});
    f = {};
    f.text = "fan failure";  // letters in any case
    cases.push_back({"text", f, {EV_DEVICE_ALERT}});
    f.text = "4711";  // the serial
    cases.push_back({"serial", f, {EV_DEVICE_ALERT, EV_EMAIL_FAILED}});
    f.text = "81.3";  // the address
    cases.push_back({"address", f, {EV_DEVICE_REGISTERED, EV_DEVICE_CONNECTION_LOST}});
    f.text = "connection_lost";  // the event's name
    cases.push_back({"event name", f, {EV_DEVICE_CONNECTION_LOST}});
    f.text = "0%";  // % and _ are plain characters
    cases.push_back({"percent", f, {EV_EMAIL_FAILED}});
    f.text = "x_y";
    cases.push_back({"underscore", f, {EV_MONITOR_STOPPED}});
    f.text = "'";
    cases.push_back({"quote", f, {}});
    f = since(T0 + Day);
    f.device = "Amp 1";
    f.kind = EventKind::Error;
    f.text = "load";
    cases.push_back({"all at once", f, {EV_EMAIL_FAILED}});

    for (const Case& c : cases) {
        std::vector<std::uint32_t> ids;
        for (const auto& r : All(store_, c.filter)) ids.push_back(r.eventId);
        EXPECT_EQ(ids, c.ids) << c.name;
        // The window's newest-first pages hold the same events, whatever the page and scan.
        for (const auto& [limit, scan] : {std::pair{100, 1000}, {2, 3}, {1, 1}}) {
            std::vector<std::uint32_t> paged;
            for (const auto& r : Paged(store_, c.filter, limit, scan)) paged.push_back(r.eventId);
            EXPECT_EQ(paged, std::vector<std::uint32_t>(c.ids.rbegin(), c.ids.rend()))
                << c.name << " limit " << limit << " scan " << scan;
        }
    }
}

// Every event the program writes is found by a part of its name, whatever its text says.
TEST_F(EventStoreTest, EveryEventIsFoundByItsName) {
    const std::uint32_t ids[] = {
        EV_EMAIL_PASSWORD_PLACE, EV_DEVICE_MOVED,       EV_DISCOVERY_BURST, EV_WEB_SIGN_IN,
        EV_WEB_SIGN_IN_REFUSED,  EV_DEVICE_UNREACHABLE, EV_ALERTS_MUTED,    EV_ALERTS_UNMUTED,
        EV_WEBHOOK_SENT,         EV_WEBHOOK_FAILED};
    std::vector<EventRecord> records;
    std::int64_t t = T0;
    for (std::uint32_t id : ids) records.push_back(Ev(t++, id, 4, "", "a text"));
    ASSERT_TRUE(store_.Append(records));
    for (std::uint32_t id : ids) {
        EventFilter f;
        f.text = EventName(id) + 3;  // without the "EV_"
        std::vector<std::uint32_t> found;
        for (const auto& r : All(store_, f)) found.push_back(r.eventId);
        EXPECT_THAT(found, ::testing::Contains(id)) << f.text;
    }
}

TEST_F(EventStoreTest, PagesOfEventsAtTheSameTimeMissAndRepeatNone) {
    std::vector<EventRecord> batch;
    for (int i = 0; i < 50; ++i) {
        batch.push_back(Ev(T0 + (i / 7) * 1000, EV_DEVICE_ALERT, 1, "Amp " + std::to_string(i % 3),
                           (i % 4 ? "fault " : "other ") + std::to_string(i)));
    }
    ASSERT_TRUE(store_.Append(batch));
    EventFilter text;
    text.text = "fault";
    EventFilter device;
    device.device = "Amp 1";
    for (const EventFilter& f : {EventFilter{}, text, device}) {
        std::vector<std::string> whole = Texts(All(store_, f));
        std::reverse(whole.begin(), whole.end());
        for (const auto& [limit, scan] : {std::pair{3, 4}, {5, 2}, {1, 50}, {7, 1}}) {
            EXPECT_EQ(Texts(Paged(store_, f, limit, scan)), whole)
                << "limit " << limit << " scan " << scan;
        }
    }
}

TEST_F(EventStoreTest, NewerEventsAreThoseAfterTheLastSeen) {
    FillSite();
    const std::int64_t seen = store_.LastRowId();
    ASSERT_GT(seen, 0);
    ASSERT_TRUE(store_.Append({Ev(T0 + 4 * Day, EV_DEVICE_CONNECTED, 4, "Amp 1", "a"),
                               Ev(T0 + 4 * Day, EV_DEVICE_CONNECTED, 4, "Stage_Left", "b"),
                               Ev(T0 + 4 * Day, EV_DEVICE_CONNECTED, 4, "Amp 1", "c")}));
    const std::int64_t newest = store_.LastRowId();
    EXPECT_EQ(newest, seen + 3);
    std::vector<EventRecord> rows;
    EventFilter f;
    f.device = "Amp 1";
    ASSERT_TRUE(store_.ReadNewer(f, seen, newest, &rows));
    EXPECT_THAT(Texts(rows), ElementsAreArray({"c", "a"}));
    ASSERT_TRUE(store_.ReadNewer({}, seen + 1, newest - 1, &rows));
    EXPECT_THAT(Texts(rows), ElementsAreArray({"b"}));
}

TEST_F(EventStoreTest, DeviceNamesAreSortedAndDistinct) {
    FillSite();
    std::vector<std::string> names;
    ASSERT_TRUE(store_.DeviceNames(&names));
    EXPECT_THAT(names, ElementsAreArray({"Amp 1", "Stage_Left"}));
}

TEST_F(EventStoreTest, PruningRemovesOnlyWhatIsOlder) {
    // More than one batch of the pruning statement, and a day's worth that stays.
    std::vector<EventRecord> batch;
    for (int i = 0; i < 12000; ++i) batch.push_back(Ev(T0 + i, EV_DEVICE_ALERT, 1, "Old", "old"));
    for (int i = 0; i < 5; ++i) batch.push_back(Ev(T0 + Day + i, EV_DEVICE_ALERT, 1, "New", "new"));
    ASSERT_TRUE(store_.Append(batch));
    EXPECT_EQ(store_.PruneBefore(T0 + Day), 12000);
    const auto rows = All(store_);
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows.front().timeUs, T0 + Day);
    EXPECT_EQ(store_.PruneBefore(T0 + Day), 0);
}

TEST_F(EventStoreTest, TheLogIsCopiedIntoTheFileWhenTheWriterAsks) {
    for (int i = 0; i < 300; ++i) {
        ASSERT_TRUE(store_.Append({Ev(T0 + i, EV_DEVICE_ALERT, 1, "Amp 1", "x")}));
    }
    EXPECT_EQ(store_.Checkpoint(CEventStore::AutoCheckpointPages), 0);  // not yet
    EXPECT_GT(store_.Checkpoint(100), 100) << store_.LastError();
    // The log starts again; what was in it is in the file, for this and any other reader.
    ASSERT_TRUE(store_.Append({Ev(T0 + 300, EV_DEVICE_ALERT, 1, "Amp 1", "after")}));
    CEventStore reader;
    ASSERT_TRUE(reader.Open(store_.Path(), CEventStore::Mode::Read));
    const auto rows = All(reader);
    ASSERT_EQ(rows.size(), 301u);
    EXPECT_EQ(rows.back().text, "after");
}

TEST(EventStorePath, BesideTheSettingsFile) {
    const struct {
        const char* config;
        const char* store;
    } cases[] = {
        {"/etc/avlo/site.ini", "/etc/avlo/site-events.sqlite"},
        {"/etc/avlo/SITE.INI", "/etc/avlo/SITE-events.sqlite"},
        {"relative.ini", "relative-events.sqlite"},
        {"/a.b/settings", "/a.b/settings-events.sqlite"},
        {"/a/.ini", "/a/.ini-events.sqlite"},
        {"/a/site.conf", "/a/site.conf-events.sqlite"},
    };
    for (const auto& c : cases) EXPECT_EQ(EventStorePath(c.config), c.store) << c.config;
}

TEST(EventStoreTimes, LocalDaysAndTexts) {
    const ScopedTimeZone zone("Europe/Berlin");
    // Midnight of a local winter and summer day, and the texts of one instant.
    EXPECT_EQ(LocalToUtcMicros(2026, 1, 15), 1768431600LL * 1000000);
    EXPECT_EQ(LocalToUtcMicros(2026, 7, 15), 1784066400LL * 1000000);
    EXPECT_EQ(LocalToUtcMicros(2026, 1, 32), LocalToUtcMicros(2026, 2, 1));
    EXPECT_EQ(LocalTimeText(1768431600LL * 1000000 + 3723000001LL), "2026-01-15 01:02:03");
    EXPECT_EQ(UtcTimeText(1768431600LL * 1000000 + 3723000001LL), "2026-01-15T00:02:03.000001Z");
}

class EventStoreFailures : public testing::Test {
protected:
    TempDir dir_;
    std::string path_ = dir_.File("site-events.sqlite");
};

TEST_F(EventStoreFailures, ACorruptFileIsRefusedWithTheReason) {
    {
        std::ofstream out(path_, std::ios::binary);
        out << std::string(8192, 'x');
    }
    CEventStore store;
    EXPECT_FALSE(store.Open(path_, CEventStore::Mode::Write));
    EXPECT_THAT(store.LastError(), HasSubstr("not a database"));
    EXPECT_FALSE(store.Open(path_, CEventStore::Mode::Read));
    EXPECT_FALSE(store.IsOpen());
    EXPECT_FALSE(store.Append({Ev(T0, EV_MONITOR_STARTED, 0, "", "")}));
}

// The history tells who was on site and when, and the log file holds the latest events before
// they reach the file: none of the three is for other users, whatever the umask.
TEST_F(EventStoreFailures, ANewHistoryAndItsLogFilesAreTheUsersAlone) {
    const ScopedUmask scoped(0);
    CEventStore store;
    ASSERT_TRUE(store.Open(path_, CEventStore::Mode::Write)) << store.LastError();
    ASSERT_TRUE(store.Append({Ev(T0, EV_MONITOR_STARTED, 0, "", "started")}));
    CEventStore reader;
    ASSERT_TRUE(reader.Open(path_, CEventStore::Mode::Read)) << reader.LastError();
    for (const char* suffix : {"", "-wal", "-shm"}) {
        SCOPED_TRACE(suffix);
        EXPECT_EQ(PermissionsAt(path_ + suffix), 0600);
    }
}

TEST_F(EventStoreFailures, ReadingNeverMakesAFile) {
    CEventStore store;
    EXPECT_FALSE(store.Open(path_, CEventStore::Mode::Read));
    EXPECT_THAT(store.LastError(), HasSubstr("no event history"));
    std::ifstream in(path_);
    EXPECT_FALSE(in.good());
}

TEST_F(EventStoreFailures, AFolderThatRefusesFilesRefusesTheHistory) {
    const ReadOnlyFolder folder(dir_.Path());
    if (!folder.Refuses()) GTEST_SKIP() << ReadOnlyFolder::WhyNot();
    CEventStore store;
    EXPECT_FALSE(store.Open(path_, CEventStore::Mode::Write));
    EXPECT_THAT(store.LastError(), HasSubstr("unable to open"));
}

TEST_F(EventStoreFailures, AFileLockedByAnotherProcessFailsAfterTheBusyTimeout) {
    CEventStore store;
    CEventStore::Settings settings;
    settings.busyTimeoutMs = 50;
    ASSERT_TRUE(store.Open(path_, CEventStore::Mode::Write, settings)) << store.LastError();
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_FALSE(store.Append({Ev(T0, EV_MONITOR_STARTED, 0, "", "")}));
    EXPECT_THAT(store.LastError(), HasSubstr("locked"));
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    // Once the lock is gone the same connection writes again.
    EXPECT_TRUE(store.Append({Ev(T0, EV_MONITOR_STARTED, 0, "", "")})) << store.LastError();
}

TEST_F(EventStoreFailures, AFullDiskFailsTheWriteAndKeepsWhatWasThere) {
    CEventStore store;
    CEventStore::Settings settings;
    settings.maxPageCount = 12;
    ASSERT_TRUE(store.Open(path_, CEventStore::Mode::Write, settings)) << store.LastError();
    ASSERT_TRUE(store.Append({Ev(T0, EV_MONITOR_STARTED, 0, "", "kept")}));
    bool failed = false;
    for (int i = 0; i < 100 && !failed; ++i) {
        failed = !store.Append({Ev(T0 + 1, EV_DEVICE_ALERT, 1, "Amp", std::string(4000, 'f'))});
    }
    ASSERT_TRUE(failed);
    EXPECT_THAT(store.LastError(), HasSubstr("full"));
    const auto rows = All(store);
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows.front().text, "kept");
}

}  // namespace
