// The history's text index: a search through it finds exactly what looking at every event
// finds, in the same order and pages, with every other filter too, late events (the clock set
// back) and events not yet in the index among them; it stays in step when events are written
// and removed; a history from before the index gets one; short and odd texts are still found.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "history/EventStore.h"
#include "platform/EventIds.h"
#include "platform/EventSink.h"
#include "support/TempDir.h"

namespace {

constexpr std::int64_t Minute = 60LL * 1000000;
constexpr std::int64_t T0 = 1767225600LL * 1000000;  // 2026-01-01 00:00 UTC
constexpr int SiteEvents = 1500;
// The last events are written after the index was brought up to date: not in it yet.
constexpr int Unindexed = 100;

// A site's events: three a minute, devices with and without ASCII names, every kind, a text
// found in three events only, and two stretches written while the clock was set back.
std::vector<EventRecord> MakeSite(int n) {
    std::vector<EventRecord> events;
    for (int i = 0; i < n; ++i) {
        EventRecord r;
        r.timeUs = T0 + (i / 3) * Minute;
        if (i >= n / 2 && i < n / 2 + 30) r.timeUs -= 45 * Minute;
        if (i >= n - 50 && i < n - 45) r.timeUs -= 30 * Minute;
        r.device = i % 11 == 0  ? ""
                   : i % 7 == 0 ? "B\xC3\xBChne Links"
                                : "Amp " + std::to_string(1 + i % 4);
        if (!r.device.empty()) {
            r.address = "127.0.81." + std::to_string(2 + i % 4);
            r.serial = std::to_string(4700 + i % 4);
        }
        switch (i % 50) {
            case 0:
                r.eventId = EV_DEVICE_CONNECTION_LOST;
                r.type = EVENTLOG_WARNING_TYPE;
                r.text = r.device + " at " + r.address;
                break;
            case 1:
                r.eventId = EV_DEVICE_CONNECTED;
                r.type = EVENTLOG_INFORMATION_TYPE;
                r.text = r.device + " at " + r.address;
                break;
            case 2:
                r.eventId = EV_EMAIL_FAILED;
                r.type = EVENTLOG_ERROR_TYPE;
                r.text = "550 \"no\" said the server, 50% load, a_b";
                break;
            case 3:
                r.eventId = EV_MONITOR_STARTED;
                r.type = EVENTLOG_SUCCESS;
                r.text =
                    "\xC3\x89"
                    "COLE de musique";  // "ÉCOLE"
                break;
            default:
                r.eventId = EV_DEVICE_ALERT;
                r.type = EVENTLOG_ERROR_TYPE;
                r.text = "AVLO Alert [RV12, # " + r.serial +
                         "]: " + (i % 3 ? "FAN FAILURE" : "CHANNEL FAILURE, HIGH TEMPERATURE") +
                         "\r\n\nMessage: *M1R2H" + std::to_string(100000 + i) + "\n";
        }
        if (i == 5 || i == n / 2 + 10 || i == n - 2) r.text += " NeedleX";
        events.push_back(std::move(r));
    }
    return events;
}

// The filter's own words, applied to every event: ASCII letters in any case, anything else
// as it is; newest first. The rows' ids.
bool Holds(const std::string& hay, const std::string& needle) {
    const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end(),
                       [&](char a, char b) { return fold(a) == fold(b); }) != hay.end();
}

std::vector<std::int64_t> Expected(std::vector<EventRecord> all, const EventFilter& f) {
    std::sort(all.begin(), all.end(), [](const EventRecord& a, const EventRecord& b) {
        return a.timeUs != b.timeUs ? a.timeUs > b.timeUs : a.rowId > b.rowId;
    });
    std::vector<std::int64_t> ids;
    for (const EventRecord& r : all) {
        if (f.device && r.device != *f.device) continue;
        if (f.kind && KindOfType(r.type) != *f.kind) continue;
        if (f.sinceUs && r.timeUs < *f.sinceUs) continue;
        if (f.untilUs && r.timeUs >= *f.untilUs) continue;
        if (!f.text.empty() && !Holds(r.text, f.text) && !Holds(r.device, f.text) &&
            !Holds(r.address, f.text) && !Holds(r.serial, f.text) &&
            !Holds(EventName(r.eventId), f.text))
            continue;
        ids.push_back(r.rowId);
    }
    return ids;
}

struct Paging {
    std::vector<std::int64_t> ids;
    int calls = 0;
};

// Newest first, page by page, as the window reads.
Paging Paged(CEventStore& store, const EventFilter& filter, int limit, int scan) {
    Paging paging;
    std::optional<EventCursor> at;
    for (; paging.calls < 3000;) {
        EventPage page;
        ++paging.calls;
        EXPECT_TRUE(store.ReadPage(filter, at, limit, scan, &page)) << store.LastError();
        EXPECT_LE(static_cast<int>(page.rows.size()), limit);
        for (const auto& r : page.rows) paging.ids.push_back(r.rowId);
        if (!page.next) return paging;
        at = page.next;
    }
    ADD_FAILURE() << "paging did not end";
    return paging;
}

std::vector<EventRecord> Everything(CEventStore& store) {
    std::vector<EventRecord> rows;
    EXPECT_TRUE(store.ReadAll({}, [&](const EventRecord& r) {
        rows.push_back(r);
        return true;
    }));
    return rows;
}

// What the plain query (every event looked at) gives, newest first.
std::vector<std::int64_t> Plain(CEventStore& store, const EventFilter& filter) {
    std::vector<std::int64_t> ids;
    EXPECT_TRUE(store.ReadAll(filter, [&](const EventRecord& r) {
        ids.push_back(r.rowId);
        return true;
    }));
    std::reverse(ids.begin(), ids.end());
    return ids;
}

bool BuildAll(CEventStore& store) {
    for (int guard = 0; guard < 1000 && store.TextIndexBacklog() > 0; ++guard) {
        if (!store.BuildTextIndex(500)) return false;
    }
    return store.TextIndexBacklog() == 0;
}

// SQLite's own comparison of the index with the events table.
bool IndexMatchesEvents(const std::string& path) {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    const int rc =
        sqlite3_exec(db, "INSERT INTO events_fts(events_fts, rank) VALUES ('integrity-check', 1)",
                     nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return rc == SQLITE_OK;
}

EventFilter Text(const std::string& text) {
    EventFilter f;
    f.text = text;
    return f;
}

class EventTextIndexTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(store_.Open(path_, CEventStore::Mode::Write)) << store_.LastError();
        const auto events = MakeSite(SiteEvents);
        ASSERT_TRUE(store_.Append({events.begin(), events.end() - Unindexed}));
        ASSERT_TRUE(BuildAll(store_)) << store_.LastError();
        ASSERT_TRUE(store_.Append({events.end() - Unindexed, events.end()}));
        ASSERT_EQ(store_.TextIndexBacklog(), Unindexed);
        all_ = Everything(store_);
        ASSERT_EQ(all_.size(), static_cast<std::size_t>(SiteEvents));
    }

    TempDir dir_;
    std::string path_ = dir_.File("site-events.sqlite");
    CEventStore store_;
    std::vector<EventRecord> all_;
};

TEST_F(EventTextIndexTest, SearchesFindWhatLookingAtEveryEventFinds) {
    struct Case {
        const char* name;
        EventFilter filter;
    };
    std::vector<Case> cases;
    const auto add = [&](const char* name, const std::string& text,
                         std::optional<std::string> device = {}, std::optional<EventKind> kind = {},
                         std::optional<std::int64_t> since = {},
                         std::optional<std::int64_t> until = {}) {
        EventFilter f = Text(text);
        f.device = std::move(device);
        f.kind = kind;
        f.sinceUs = since;
        f.untilUs = until;
        cases.push_back({name, f});
    };
    const std::int64_t from = T0 + 200 * Minute, to = T0 + 260 * Minute;
    add("rare, any case", "nEEDLEx");
    add("frequent", "fan");
    add("nowhere", "zzzq");
    add("rare on a device", "needlex", "Amp 4");
    add("frequent on a device", "fan", "Amp 3");
    add("nowhere on a device", "zzzq", "Amp 3");
    add("kind", "temperature", {}, EventKind::Error);
    add("rare of a kind", "needlex", {}, EventKind::Warning);
    add("device and kind", "127.0.81", "Amp 2", EventKind::Information);
    add("range over late events", "fan", {}, {}, from, to);
    add("rare in a range", "needlex", {}, {}, from, to);
    add("since only", "failure", {}, {}, T0 + 480 * Minute);
    add("until only", "failure", {}, {}, {}, T0 + 30 * Minute);
    add("everything at once", "failure", "Amp 1", EventKind::Error, from, to);
    add("event name only", "connection_lost");
    add("event name or text", "conn");
    add("device name, not ASCII", "b\xC3\xBChne");
    add("address", ".81.5");
    add("serial", "4702");
    add("quotes", "\"no\"");
    add("percent", "50% l");
    add("underscore", "a_b");
    // LIKE folds ASCII letters only: "école" is not "ÉCOLE" (the index would say it is).
    add("not ASCII, other case",
        "\xC3\xA9"
        "cole");
    add("not ASCII, same case",
        "\xC3\x89"
        "COLE");
    add("short", "fa");
    add("short, rare", "Ex");
    add("one character, rare", "x");
    add("short, nowhere", "zq");
    add("short, rare on a device", "eX", "Amp 4");
    add("short, rare in a range", "x", {}, {}, from, to);
    add("short, in an event's name only", "_l");
    add("one character, a LIKE wildcard", "%");
    add("one character of two bytes", "\xC3\x89");
    add("not UTF-8", "\xFF\xFE\xFD");
    add("line break inside", "FAILURE\r\n\nMess");

    for (const Case& c : cases) {
        const auto expected = Expected(all_, c.filter);
        EXPECT_EQ(Plain(store_, c.filter), expected) << c.name;
        for (const auto& [limit, scan] : {std::pair{200, 4000}, {5, 40}, {2, 3}}) {
            EXPECT_EQ(Paged(store_, c.filter, limit, scan).ids, expected)
                << c.name << " limit " << limit << " scan " << scan;
        }
    }
}

TEST_F(EventTextIndexTest, ARareTextIsFoundWithoutLookingAtEveryEvent) {
    // Looking at 50 events per call, every event would take 30 calls. The trigram index names
    // the three events that hold "needlex"; a short text's index names whole blocks of 256
    // events (three blocks hold an "x", none a "zq"). The events not in the indexes yet are
    // looked at besides.
    struct Case {
        const char* text;
        int calls;
    };
    for (const Case c : {Case{"needlex", 3}, Case{"zq", 3}, Case{"x", 18}}) {
        for (const auto& device :
             {std::optional<std::string>{}, std::optional<std::string>{"Amp 4"}}) {
            EventFilter f = Text(c.text);
            f.device = device;
            const Paging paging = Paged(store_, f, 200, 50);
            EXPECT_EQ(paging.ids, Expected(all_, f)) << c.text;
            EXPECT_LE(paging.calls, c.calls) << c.text << " " << device.value_or("any device");
        }
    }
}

// The blocks the short-text index holds pairs for.
std::vector<std::int64_t> GramBlocks(const std::string& path) {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_stmt* read = nullptr;
    sqlite3_prepare_v2(db, "SELECT DISTINCT block FROM events_grams ORDER BY block", -1, &read,
                       nullptr);
    std::vector<std::int64_t> blocks;
    while (sqlite3_step(read) == SQLITE_ROW) blocks.push_back(sqlite3_column_int64(read, 0));
    sqlite3_finalize(read);
    sqlite3_close(db);
    return blocks;
}

TEST_F(EventTextIndexTest, RemovingEventsForgetsOnlyTheBlocksLeftEmpty) {
    ASSERT_TRUE(BuildAll(store_));
    ASSERT_EQ(GramBlocks(path_), (std::vector<std::int64_t>{0, 1, 2, 3, 4, 5}));
    // Three events a minute: the first 300 go, block 0 (ids 0-255) is empty, block 1 is not.
    ASSERT_EQ(store_.PruneBefore(T0 + 100 * Minute), 300);
    EXPECT_EQ(GramBlocks(path_), (std::vector<std::int64_t>{1, 2, 3, 4, 5}));
    all_ = Everything(store_);
    for (const char* text : {"x", "zq", "fa", "\xC3\x89"}) {
        EXPECT_EQ(Paged(store_, Text(text), 50, 100).ids, Expected(all_, Text(text))) << text;
    }
}

TEST_F(EventTextIndexTest, AnEventTakingTheIdOfARemovedOneIsIndexed) {
    // The newest event carries a time from long ago (the clock was wrong), so the daily
    // removal takes it; the next event gets its id again.
    ASSERT_TRUE(BuildAll(store_));
    EventRecord stray = all_.front();
    stray.timeUs = T0 - 1000 * Minute;
    stray.text = "stray";
    ASSERT_TRUE(store_.Append({stray}));
    ASSERT_TRUE(BuildAll(store_));
    const std::int64_t strayId = store_.LastRowId();
    ASSERT_EQ(store_.PruneBefore(T0 - 10 * Minute), 1);

    EventRecord next = all_.front();
    next.timeUs = T0 + 100000 * Minute;
    next.text = "Kettledrum";
    ASSERT_TRUE(store_.Append({next}));
    ASSERT_EQ(store_.LastRowId(), strayId);
    ASSERT_TRUE(BuildAll(store_));
    EXPECT_TRUE(IndexMatchesEvents(path_));
    for (const char* text : {"kettledrum", "stray", "dr"}) {
        all_ = Everything(store_);
        EXPECT_EQ(Paged(store_, Text(text), 50, 100).ids, Expected(all_, Text(text))) << text;
    }
    EXPECT_EQ(Paged(store_, Text("kettledrum"), 50, 100).ids.size(), 1u);
}

TEST_F(EventTextIndexTest, TheIndexStaysInStepWithWritesAndRemovals) {
    ASSERT_TRUE(BuildAll(store_));
    EXPECT_TRUE(IndexMatchesEvents(path_));

    // Removing old events takes them out of the index.
    ASSERT_GT(store_.PruneBefore(T0 + 100 * Minute), 0);
    EXPECT_TRUE(IndexMatchesEvents(path_));
    all_ = Everything(store_);
    for (const char* text : {"needlex", "fan", "conn"}) {
        EXPECT_EQ(Paged(store_, Text(text), 50, 100).ids, Expected(all_, Text(text))) << text;
    }

    // A history emptied by the removal starts its ids again at 1: so does the index.
    ASSERT_GT(store_.PruneBefore(T0 + 100000 * Minute), 0);
    EXPECT_TRUE(IndexMatchesEvents(path_));
    const auto again = MakeSite(40);
    ASSERT_TRUE(store_.Append(again));
    ASSERT_TRUE(BuildAll(store_));
    EXPECT_TRUE(IndexMatchesEvents(path_));
    ASSERT_EQ(store_.LastRowId(), 40);
    all_ = Everything(store_);
    EXPECT_EQ(Paged(store_, Text("needlex"), 50, 100).ids, Expected(all_, Text("needlex")));
}

// A history as the program wrote it before there was a text index.
void WriteOlderHistory(const std::string& path, const std::vector<EventRecord>& events) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "PRAGMA journal_mode=WAL;"
                           "CREATE TABLE events(id INTEGER PRIMARY KEY, time INTEGER NOT NULL,"
                           " event_id INTEGER NOT NULL, type INTEGER NOT NULL,"
                           " kind INTEGER NOT NULL, device TEXT NOT NULL DEFAULT '',"
                           " address TEXT NOT NULL DEFAULT '', serial TEXT NOT NULL DEFAULT '',"
                           " text TEXT NOT NULL DEFAULT '');"
                           "CREATE INDEX events_time ON events(time);"
                           "CREATE INDEX events_device ON events(device, time);"
                           "CREATE INDEX events_kind ON events(kind, time);"
                           "BEGIN",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO events(time, event_id, type, kind, device, address, serial,"
                       " text) VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                       -1, &insert, nullptr);
    for (const EventRecord& r : events) {
        sqlite3_reset(insert);
        sqlite3_bind_int64(insert, 1, r.timeUs);
        sqlite3_bind_int64(insert, 2, r.eventId);
        sqlite3_bind_int64(insert, 3, r.type);
        sqlite3_bind_int64(insert, 4, static_cast<int>(KindOfType(r.type)));
        sqlite3_bind_text(insert, 5, r.device.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 6, r.address.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 7, r.serial.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 8, r.text.c_str(), -1, SQLITE_TRANSIENT);
        ASSERT_EQ(sqlite3_step(insert), SQLITE_DONE);
    }
    sqlite3_finalize(insert);
    ASSERT_EQ(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
}

TEST(EventTextIndexUpgrade, AnOlderHistoryGetsTheIndexAndIsSearchedTheSameMeanwhile) {
    TempDir dir;
    const std::string path = dir.File("old-events.sqlite");
    // More events than a search checks outside the index: until it is built, every event is
    // looked at.
    const int n = 6000;
    WriteOlderHistory(path, MakeSite(n));
    CEventStore reader;
    ASSERT_TRUE(reader.Open(path, CEventStore::Mode::Read));
    const auto all = Everything(reader);
    const std::vector<EventFilter> filters = {Text("needlex"), Text("fan"), Text("conn")};

    CEventStore writer;
    ASSERT_TRUE(writer.Open(path, CEventStore::Mode::Write)) << writer.LastError();
    EXPECT_EQ(writer.TextIndexBacklog(), n);
    const auto sameAsEveryEvent = [&](CEventStore& store, const char* when) {
        for (const EventFilter& f : filters) {
            EXPECT_EQ(Paged(store, f, 200, 1000).ids, Expected(all, f)) << f.text << " " << when;
        }
    };
    sameAsEveryEvent(reader, "before");
    EXPECT_GE(Paged(reader, Text("needlex"), 200, 50).calls, n / 50);

    // A batch at a time, while a reader reads.
    int batches = 0;
    while (writer.TextIndexBacklog() > 0 && batches < 100) {
        ASSERT_TRUE(writer.BuildTextIndex(1000)) << writer.LastError();
        ++batches;
        if (batches == 3) sameAsEveryEvent(reader, "half way");
    }
    EXPECT_EQ(batches, n / 1000);
    EXPECT_EQ(writer.TextIndexBacklog(), 0);
    EXPECT_TRUE(IndexMatchesEvents(path));
    sameAsEveryEvent(reader, "after");
    sameAsEveryEvent(writer, "after, writer");
    EXPECT_LE(Paged(reader, Text("needlex"), 200, 50).calls, 2);
}

}  // namespace
