// GET /api/events against a real history file: every filter combination lists exactly what
// `avlo-monitor --events` lists (newest first, over all pages), the text filter and paging
// with a cursor, and the refusals of bad queries.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "history/EventQuery.h"
#include "platform/EventIds.h"
#include "platform/EventSink.h"
#include "support/ScopedTimeZone.h"
#include "web/EventsApi.h"

namespace {

using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

class EventsApiTest : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/avlo-events-api-XXXXXX";
        dir_ = mkdtemp(pattern);
        configPath_ = dir_ + "/site.ini";
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    std::string HistoryPath() const { return EventStorePath(configPath_); }

    // A site's history over four local days: three devices (one name with a space, one that
    // starts like another), every kind, events just before and after local midnight, where a
    // day read as UTC would go wrong. Every event's text is unique: "e<number>".
    void FillHistory() {
        const std::string devices[] = {"", "Amp 1", "Amp 10", "Stage Left"};
        const std::uint16_t types[] = {EVENTLOG_SUCCESS, EVENTLOG_ERROR_TYPE, EVENTLOG_WARNING_TYPE,
                                       EVENTLOG_INFORMATION_TYPE};
        const std::uint32_t ids[] = {EV_MONITOR_STARTED, EV_DEVICE_ALERT, EV_DEVICE_CONNECTION_LOST,
                                     EV_DEVICE_CONNECTED};
        const int hours[] = {0, 6, 12, 23};
        std::vector<EventRecord> records;
        int n = 0;
        for (int day = 1; day <= 4; ++day) {
            for (const int hour : hours) {
                for (int i = 0; i < 3; ++i, ++n) {
                    EventRecord r;
                    r.timeUs = LocalToUtcMicros(2026, 3, day, hour, 10 * i + 5, 0);
                    r.type = types[n % 4];
                    r.eventId = ids[n % 4];
                    r.device = devices[(n / 4 + i) % 4];
                    if (!r.device.empty()) r.address = "127.0.0." + std::to_string(n % 7 + 2);
                    r.text = "e" + std::to_string(n) + (n % 5 == 0 ? " fan fault" : "");
                    records.push_back(r);
                }
            }
        }
        // Two events in the same microsecond: the cursor must not lose or repeat either.
        EventRecord twin = records.back();
        twin.text = "e" + std::to_string(n);
        records.push_back(twin);
        CEventStore store;
        ASSERT_TRUE(store.Open(HistoryPath(), CEventStore::Mode::Write)) << store.LastError();
        ASSERT_TRUE(store.Append(records)) << store.LastError();
    }

    // What avlo-monitor --events prints for these options: the texts of its lines, oldest
    // first (each line ends in two spaces and the event's text).
    std::vector<std::string> CommandLineTexts(std::vector<std::string> args) {
        args.insert(args.begin(), {"--events", "--config", configPath_});
        const StartupOptions options = ParseStartupOptions(args, {});
        EXPECT_EQ(options.error, "");
        std::FILE* out = std::tmpfile();
        EXPECT_EQ(RunEventQuery(options, out, stderr), 0);
        std::rewind(out);
        std::vector<std::string> texts;
        char line[1024];
        while (std::fgets(line, sizeof line, out) != nullptr) {
            std::string text(line);
            text.pop_back();  // the line break
            const std::size_t at = text.rfind("  e");
            texts.push_back(at == std::string::npos ? "?" + text : text.substr(at + 2));
        }
        std::fclose(out);
        return texts;
    }

    static QJsonObject Object(const JsonReply& reply) {
        return QJsonDocument::fromJson(reply.body).object();
    }

    // Every page from the first to the last; the texts in the order the API gave them.
    std::vector<std::string> ApiTexts(const CEventsApi& api, const std::string& query, int limit,
                                      int* pages = nullptr) {
        std::vector<std::string> texts;
        std::string cursor;
        for (int page = 1; page <= 1000; ++page) {
            std::string q = query + "&limit=" + std::to_string(limit);
            if (!cursor.empty()) q += "&cursor=" + cursor;
            const JsonReply reply = api.Get(q);
            EXPECT_EQ(reply.status, 200) << q << ": " << reply.body.toStdString();
            const QJsonObject json = Object(reply);
            const QJsonArray events = json.value("events").toArray();
            EXPECT_LE(events.size(), limit);
            for (const auto& event : events)
                texts.push_back(event.toObject().value("text").toString().toStdString());
            if (pages) *pages = page;
            if (json.value("next").isNull() || reply.status != 200) return texts;
            cursor = json.value("next").toString().toStdString();
        }
        ADD_FAILURE() << "the pages never end: " << query;
        return texts;
    }

    std::string dir_;
    std::string configPath_;
};

struct FilterCase {
    const char* query;
    std::vector<std::string> args;  // the same filter on the command line
};

TEST_F(EventsApiTest, EveryFilterListsWhatTheCommandLineLists) {
    // West of UTC: a local day's last hour is the next day in UTC.
    const ScopedTimeZone zone("America/New_York");
    FillHistory();
    const FilterCase cases[] = {
        {"", {}},
        {"since=2026-03-02", {"--since", "2026-03-02"}},
        {"until=2026-03-02", {"--until", "2026-03-02"}},
        {"since=2026-03-02&until=2026-03-03", {"--since", "2026-03-02", "--until", "2026-03-03"}},
        {"since=2026-03-03&until=2026-03-03", {"--since", "2026-03-03", "--until", "2026-03-03"}},
        {"device=Amp+1", {"--device", "Amp 1"}},
        {"device=Stage%20Left", {"--device", "Stage Left"}},
        {"device=Amp", {"--device", "Amp"}},
        {"type=error", {"--type", "error"}},
        {"type=information", {"--type", "information"}},
        {"device=Amp%2010&type=warning", {"--device", "Amp 10", "--type", "warning"}},
        {"type=information&until=2026-03-01&since=2026-03-01&device=Amp+1",
         {"--since", "2026-03-01", "--until", "2026-03-01", "--device", "Amp 1", "--type",
          "information"}},
        {"since=2026-03-09", {"--since", "2026-03-09"}},
    };
    // A small scan limit makes pages that end before they are full, the way a long history
    // with a rare filter does.
    for (const int scanLimit : {20000, 7}) {
        const CEventsApi api(HistoryPath(), {scanLimit, 2000});
        for (const FilterCase& c : cases) {
            std::vector<std::string> expected = CommandLineTexts(c.args);
            std::reverse(expected.begin(), expected.end());
            for (const int limit : {1, 5, 1000}) {
                EXPECT_THAT(ApiTexts(api, c.query, limit), ElementsAreArray(expected))
                    << "query " << c.query << ", limit " << limit << ", scan " << scanLimit;
            }
        }
    }
}

TEST_F(EventsApiTest, TextFilterAddsToTheCommandLineFilters) {
    const ScopedTimeZone zone("UTC");
    FillHistory();
    CEventStore store;
    ASSERT_TRUE(store.Open(HistoryPath(), CEventStore::Mode::Read));
    const struct {
        const char* query;
        std::vector<std::string> args;
        const char* text;
    } cases[] = {
        {"text=FAN", {}, "fan"},
        {"text=fan+fault&device=Amp+10", {"--device", "Amp 10"}, "fan fault"},
        {"text=127.0.0.3&type=error", {"--type", "error"}, "127.0.0.3"},
        {"text=stage", {}, "stage"},
        {"text=nothing+like+it", {}, "nothing like it"},
    };
    const CEventsApi api(HistoryPath());
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "--events");
        EventFilter filter = EventFilterFromOptions(ParseStartupOptions(args, {}));
        filter.text = c.text;
        std::vector<std::string> expected;
        ASSERT_TRUE(store.ReadAll(filter, [&](const EventRecord& r) {
            expected.insert(expected.begin(), r.text);
            return true;
        }));
        EXPECT_THAT(ApiTexts(api, c.query, 4), ElementsAreArray(expected)) << c.query;
    }
}

TEST_F(EventsApiTest, PagesFollowTheLimitAndTheEventsCarryTheirFields) {
    const ScopedTimeZone zone("UTC");
    EventRecord alert;
    alert.timeUs = LocalToUtcMicros(2026, 3, 1, 12, 0, 0, 250);
    alert.type = EVENTLOG_ERROR_TYPE;
    alert.eventId = EV_DEVICE_ALERT;
    alert.device = "Amp \"1\"\n";
    alert.address = "127.0.0.2";
    alert.serial = "S1";
    alert.text = "fan\r\nbad \xFF byte";
    EventRecord started;
    started.timeUs = alert.timeUs - 1000000;
    started.type = EVENTLOG_SUCCESS;
    started.eventId = EV_MONITOR_STARTED;
    {
        CEventStore store;
        ASSERT_TRUE(store.Open(HistoryPath(), CEventStore::Mode::Write));
        ASSERT_TRUE(store.Append({started, alert}));
    }
    const CEventsApi api(HistoryPath());
    const JsonReply first = api.Get("limit=1");
    ASSERT_EQ(first.status, 200);
    QJsonParseError parse{};
    const QJsonObject page = QJsonDocument::fromJson(first.body, &parse).object();
    ASSERT_EQ(parse.error, QJsonParseError::NoError) << first.body.toStdString();
    const QJsonArray events = page.value("events").toArray();
    ASSERT_EQ(events.size(), 1);
    const QJsonObject event = events.at(0).toObject();
    EXPECT_EQ(event.value("id").toInteger(), 2);
    EXPECT_EQ(event.value("time").toString(), "2026-03-01T12:00:00.250000Z");
    EXPECT_EQ(event.value("type").toString(), "error");
    EXPECT_EQ(event.value("event").toString(), "EV_DEVICE_ALERT");
    EXPECT_EQ(event.value("eventId").toInteger(), EV_DEVICE_ALERT);
    EXPECT_EQ(event.value("device").toString(), QString::fromUtf8("Amp \"1\"\n"));
    EXPECT_EQ(event.value("address").toString(), "127.0.0.2");
    EXPECT_EQ(event.value("serial").toString(), "S1");
    EXPECT_EQ(event.value("text").toString(), QString::fromUtf8("fan\r\nbad \xEF\xBF\xBD byte"));
    ASSERT_TRUE(page.value("next").isString());

    const JsonReply second =
        api.Get("limit=1&cursor=" + page.value("next").toString().toStdString());
    const QJsonObject last = Object(second).value("events").toArray().at(0).toObject();
    EXPECT_EQ(last.value("event").toString(), "EV_MONITOR_STARTED");
    EXPECT_EQ(last.value("type").toString(), "information");
    EXPECT_TRUE(last.value("device").isNull());
    EXPECT_TRUE(last.value("serial").isNull());
    // A full page cannot know that nothing older follows: the page after it says so.
    const QJsonValue next = Object(second).value("next");
    if (next.isString()) {
        const JsonReply end = api.Get("limit=1&cursor=" + next.toString().toStdString());
        EXPECT_EQ(Object(end).value("events").toArray().size(), 0);
        EXPECT_TRUE(Object(end).value("next").isNull());
    }
}

TEST_F(EventsApiTest, BadQueriesAreRefusedWithTheReason) {
    FillHistory();
    const CEventsApi api(HistoryPath());
    const struct {
        const char* query;
        const char* why;
    } cases[] = {
        {"since=2026-02-30", "since: not a day: 2026-02-30"},
        {"until=yesterday", "until: not a day: yesterday"},
        {"since=2026-3-1", "since: not a day: 2026-3-1"},
        {"type=fatal", "type: not error, warning or information: fatal"},
        {"device=", "device: empty device name"},
        {"limit=0", "limit: not a number from 1 to 1000: 0"},
        {"limit=1001", "limit: not a number from 1 to 1000: 1001"},
        {"limit=-5", "limit: not a number from 1 to 1000: -5"},
        {"limit=99999999999999999999", "limit: not a number from 1 to 1000"},
        {"cursor=xyz", "cursor: not one this service gave"},
        {"cursor=MTIzNDU", "cursor: not one this service gave"},  // "12345", no row
        {"cursor=", "cursor: not one this service gave"},
        {"Device=Amp+1", "unknown parameter: Device"},
        {"csv", "unknown parameter: csv"},
        {"type=error&type=warning", "parameter given twice: type"},
        // An encoded "=" is part of the name.
        {"device=a&device%3Da", "unknown parameter: device=a"},
    };
    for (const auto& c : cases) {
        const JsonReply reply = api.Get(c.query);
        EXPECT_EQ(reply.status, 400) << c.query;
        EXPECT_THAT(Object(reply).value("error").toString().toStdString(), HasSubstr(c.why))
            << c.query;
    }
}

TEST_F(EventsApiTest, ACursorGoesBackAndForthUnchanged) {
    const EventCursor cursors[] = {{0, 0}, {1772366400123456, 42}, {INT64_MAX, INT64_MAX}};
    for (const EventCursor& c : cursors) {
        const std::string text = EncodeEventCursor(c);
        EXPECT_EQ(text.find_first_of("+/=&%"), std::string::npos) << text;
        const auto back = DecodeEventCursor(text);
        ASSERT_TRUE(back) << text;
        EXPECT_EQ(back->timeUs, c.timeUs);
        EXPECT_EQ(back->rowId, c.rowId);
    }
}

TEST_F(EventsApiTest, ASiteWithoutHistoryHasNoEventsAndABrokenOneSaysWhy) {
    const CEventsApi api(HistoryPath());
    const JsonReply empty = api.Get("type=error");
    EXPECT_EQ(empty.status, 200);
    EXPECT_EQ(Object(empty).value("events").toArray().size(), 0);
    EXPECT_TRUE(Object(empty).value("next").isNull());

    std::ofstream(HistoryPath()) << "this is no database, just text that fills a page\n";
    const JsonReply broken = api.Get("");
    EXPECT_EQ(broken.status, 503);
    EXPECT_THAT(Object(broken).value("error").toString().toStdString(),
                HasSubstr("the event history cannot be read"));
}

}  // namespace
