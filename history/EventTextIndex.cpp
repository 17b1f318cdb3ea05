// The history's text index: a full-text table of the three-character pieces (trigrams) of
// every event's text, device name, address and serial, so that a search for a rare text no
// longer reads a year of events one by one.
//
// Texts of one or two characters (and texts that are not UTF-8) are looked up in a second,
// coarser index instead (EventTextGrams.h): which blocks of events hold their last byte pair.
//
// The index only names candidates: every candidate is checked with the same LIKE as the plain
// search, so the rows found are exactly the plain search's (the index folds the case of all
// letters, LIKE only of ASCII ones: the index finds a little more, the check drops it).
//
// The index holds the events up to the id `done`; the writer adds the newer ones in batches
// (BuildTextIndex), because a full-text write per event would cost more than the event's own.
// A search takes the few newer ones as candidates too. The same batches upgrade a history
// written before there was an index; until they are through, searches look at every event.
//
// Order: the index gives events in id order, the window wants them in time order. The two
// agree except for events written with an older time than one written before them (the clock
// set back); these are noted in events_late, and a search takes them from there and merges
// them in. With more of them than MaxLateEvents, searches go back to looking at every event.
//
// The query plan is fixed here rather than left to SQLite's planner: candidates come from the
// index in descending id order, each is looked up by its id and checked, a bounded number per
// call. Only when a device or a type is chosen too are the two ways counted (up to CompareCap
// each) and the one with fewer events to look at taken.
#include <sqlite3.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "history/EventStore.h"
#include "history/EventStoreSql.h"
#include "history/EventTextGrams.h"

using history_sql::Clause;
using history_sql::Columns;
using history_sql::IdsNamedLike;
using history_sql::IndexedPart;
using history_sql::NewestFirst;
using history_sql::OlderThan;
using history_sql::ResidualPart;
using history_sql::Statement;
using history_sql::Value;

namespace {

constexpr int MaxLateEvents = 1000;
// Events outside the index that a search still checks one by one.
constexpr std::int64_t MaxBacklog = 4000;
constexpr int CompareCap = 4000;
// A long text needs no more pieces than this to make its candidates rare.
constexpr std::size_t MaxTrigrams = 32;
constexpr std::int64_t NoId = std::numeric_limits<std::int64_t>::max();

// The index, its bookkeeping, and the triggers that note late events and take removed events
// out of the index. `older` is the newest event of a history from before the index: the
// trigger did not see those, so which of them are late is only known once the index has
// taken them in; `maxtime` is the newest time the index has met, for finding them.
constexpr const char* TextIndexSchema =
    "CREATE VIRTUAL TABLE IF NOT EXISTS events_fts USING fts5(text, device, address, serial,"
    " content='events', content_rowid='id', tokenize='trigram case_sensitive 0',"
    " detail=none, columnsize=0);"
    "CREATE TABLE IF NOT EXISTS events_grams(gram INTEGER NOT NULL, block INTEGER NOT NULL,"
    " PRIMARY KEY (gram, block)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS events_late(event INTEGER PRIMARY KEY);"
    "CREATE TABLE IF NOT EXISTS events_index_state(done INTEGER NOT NULL,"
    " maxtime INTEGER NOT NULL, older INTEGER NOT NULL);"
    "INSERT INTO events_index_state SELECT 0, -9223372036854775807,"
    " (SELECT coalesce(max(id), 0) FROM events)"
    " WHERE NOT EXISTS (SELECT 1 FROM events_index_state);"
    "CREATE INDEX IF NOT EXISTS events_event ON events(event_id);"
    "CREATE TRIGGER IF NOT EXISTS events_late_noted AFTER INSERT ON events"
    " WHEN new.time < (SELECT max(time) FROM events) BEGIN"
    " INSERT OR IGNORE INTO events_late(event) VALUES (new.id);"
    "END;"
    "CREATE TRIGGER IF NOT EXISTS events_unindexed AFTER DELETE ON events BEGIN"
    " INSERT INTO events_fts(events_fts, rowid, text, device, address, serial)"
    "  SELECT 'delete', old.id, old.text, old.device, old.address, old.serial"
    "  FROM events_index_state WHERE old.id <= done;"
    " DELETE FROM events_late WHERE event = old.id;"
    "END;";

// The text's characters, each as its UTF-8 bytes; false when the text is not UTF-8.
bool Characters(const std::string& text, std::vector<std::string>* chars) {
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t n = lead < 0x80                   ? 1
                              : lead >= 0xC2 && lead < 0xE0 ? 2
                              : lead >= 0xE0 && lead < 0xF0 ? 3
                              : lead >= 0xF0 && lead < 0xF5 ? 4
                                                            : 0;
        if (n == 0 || i + n > text.size()) return false;
        for (std::size_t k = 1; k < n; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        }
        chars->push_back(text.substr(i, n));
        i += n;
    }
    return true;
}

// The full-text query for a text: every event holding all of its three-character pieces (the
// index keeps no positions, so this is a superset of the events holding the text). Empty
// when that index cannot answer: fewer than three characters, or not UTF-8.
std::string TrigramQuery(const std::string& text) {
    std::vector<std::string> chars;
    if (!Characters(text, &chars) || chars.size() < 3) return {};
    std::vector<std::string> pieces;
    for (std::size_t i = 0; i + 3 <= chars.size() && pieces.size() < MaxTrigrams; ++i) {
        std::string piece = chars[i] + chars[i + 1] + chars[i + 2];
        if (std::find(pieces.begin(), pieces.end(), piece) == pieces.end())
            pieces.push_back(std::move(piece));
    }
    std::string query;
    for (const std::string& piece : pieces) {
        if (!query.empty()) query += " AND ";
        query += '"';
        for (const char c : piece) query += c == '"' ? std::string("\"\"") : std::string(1, c);
        query += '"';
    }
    return query;
}

// How the indexes are asked for a text: the full-text query, or else the byte pair's key.
struct TextProbe {
    std::string query;
    std::optional<std::int64_t> gram;
};

std::optional<TextProbe> ProbeFor(const std::string& text) {
    TextProbe probe{TrigramQuery(text), std::nullopt};
    if (probe.query.empty()) probe.gram = history_grams::KeyFor(text);
    if (probe.query.empty() && !probe.gram) return std::nullopt;
    return probe;
}

// The events that may match, largest id first: those the index names for the text, those
// whose event name holds it and those not in the index yet, merged. Only ids from lo to hi.
class Candidates {
public:
    Candidates(sqlite3* db, const TextProbe& probe, const std::vector<std::uint32_t>& ids,
               std::int64_t done, std::int64_t lo, std::int64_t hi) {
        // One range, so that SQLite takes both of its ends.
        Add(db, "SELECT id FROM events WHERE id BETWEEN ? AND ? ORDER BY id DESC",
            {std::max(lo, done + 1), hi});
        if (probe.gram) {
            // Every event of every block that holds the pair, block by block downwards.
            Add(db,
                "SELECT id FROM events_grams CROSS JOIN events"
                " WHERE gram = ?1 AND block BETWEEN ?2 AND ?3"
                " AND id BETWEEN max(block << ?6, ?4) AND min(((block + 1) << ?6) - 1, ?5)"
                " ORDER BY block DESC, id DESC",
                {*probe.gram, history_grams::BlockOf(lo), history_grams::BlockOf(hi), lo, hi,
                 std::int64_t{history_grams::BlockShift}});
        } else {
            Add(db,
                "SELECT rowid FROM events_fts WHERE events_fts MATCH ? AND rowid BETWEEN ? AND ?"
                " ORDER BY rowid DESC",
                {probe.query, lo, hi});
        }
        for (const std::uint32_t id : ids) {
            Add(db,
                "SELECT id FROM events INDEXED BY events_event WHERE event_id = ?"
                " AND id BETWEEN ? AND ? ORDER BY id DESC",
                {static_cast<std::int64_t>(id), lo, hi});
        }
    }

    bool Failed() const { return failed_; }
    // The next candidate; false at the end or on an error.
    bool Next(std::int64_t* id) {
        if (failed_) return false;
        std::optional<std::int64_t> best;
        for (const Source& s : sources_) {
            if (s.live && (!best || s.head > *best)) best = s.head;
        }
        if (!best) return false;
        for (Source& s : sources_) {
            if (s.live && s.head == *best) Step(s);
        }
        *id = *best;
        return !failed_;
    }

private:
    struct Source {
        std::unique_ptr<Statement> statement;
        std::int64_t head = 0;
        bool live = false;
    };

    void Add(sqlite3* db, const char* sql, const std::vector<Value>& values) {
        Source s;
        s.statement = std::make_unique<Statement>(db, sql);
        if (!s.statement->Ok() || !s.statement->Bind(values)) {
            failed_ = true;
            return;
        }
        Step(s);
        sources_.push_back(std::move(s));
    }
    void Step(Source& s) {
        const int rc = sqlite3_step(s.statement->Get());
        s.live = rc == SQLITE_ROW;
        if (s.live) s.head = s.statement->Int(0);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) failed_ = true;
    }

    std::vector<Source> sources_;
    bool failed_ = false;
};

// Reads one integer; nullopt when there is no row or on an error (*ok false then).
std::optional<std::int64_t> ReadInt(sqlite3* db, const std::string& sql,
                                    const std::vector<Value>& values, bool* ok) {
    Statement read(db, sql);
    if (!read.Ok() || !read.Bind(values)) {
        *ok = false;
        return std::nullopt;
    }
    const int rc = sqlite3_step(read.Get());
    if (rc == SQLITE_ROW) return read.Int(0);
    if (rc != SQLITE_DONE) *ok = false;
    return std::nullopt;
}

// The ids of the in-order events that can match a filter: from the first to the last
// in-order event of the time range and below the cursor (in-order events have their ids in
// time order, so these are all of them and no others). lo > hi when there are none. False on
// an error.
bool IdRange(sqlite3* db, const EventFilter& filter, const std::optional<EventCursor>& after,
             std::int64_t* lo, std::int64_t* hi) {
    *lo = 0;
    *hi = NoId;
    bool ok = true;
    // The time index's walk passes over late events only, of which there are few.
    const auto edge = [&](const std::string& condition, const char* direction,
                          const std::vector<Value>& values) {
        return ReadInt(db,
                       "SELECT id FROM events INDEXED BY events_time WHERE " + condition +
                           " AND NOT EXISTS (SELECT 1 FROM events_late WHERE event = id)"
                           " ORDER BY time " +
                           direction + ", id " + direction + " LIMIT 1",
                       values, &ok);
    };
    if (filter.sinceUs) *lo = edge("time >= ?", "ASC", {*filter.sinceUs}).value_or(NoId);
    if (filter.untilUs) *hi = edge("time < ?", "DESC", {*filter.untilUs}).value_or(0);
    if (after) {
        const auto below = edge("time <= ? AND (time < ? OR id < ?)", "DESC",
                                {after->timeUs, after->timeUs, after->rowId});
        *hi = std::min(*hi, below.value_or(0));
    }
    return ok;
}

bool NewerThan(const EventRecord& a, const EventRecord& b) {
    return a.timeUs != b.timeUs ? a.timeUs > b.timeUs : a.rowId > b.rowId;
}

}  // namespace

bool CEventStore::CreateTextIndex() {
    // Only a history without it takes the write lock here.
    Statement made(db_, "SELECT 1 FROM events_grams");
    if (made.Ok()) return true;
    // All or nothing, in one transaction. A SQLite without FTS5 (or a full disk) leaves the
    // history without the index: searches then look at every event, as they always did.
    if (!Exec("BEGIN IMMEDIATE")) return false;
    if (Exec(TextIndexSchema) && Exec("COMMIT")) return true;
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    error_.clear();
    return true;
}

std::int64_t CEventStore::TextIndexBacklog() {
    if (!db_) return 0;
    bool ok = true;
    return ReadInt(db_,
                   "SELECT max(0, (SELECT coalesce(max(id), 0) FROM events) - done)"
                   " FROM events_index_state",
                   {}, &ok)
        .value_or(0);
}

bool CEventStore::BuildTextIndex(int rows) {
    if (!db_) return Fail("the event history is not open");
    if (!Exec("BEGIN IMMEDIATE")) return false;
    if (!AddToTextIndex(rows)) {
        Fail("cannot build the text index");
    } else if (Exec("COMMIT")) {
        return true;
    }
    const std::string reason = error_;
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    error_ = reason;
    return false;
}

bool CEventStore::AddToTextIndex(int rows) {
    std::int64_t done = 0, maxTime = 0;
    {
        Statement state(db_, "SELECT done, maxtime FROM events_index_state");
        if (!state.Ok() || sqlite3_step(state.Get()) != SQLITE_ROW) return false;
        done = state.Int(0);
        maxTime = state.Int(1);
    }
    Statement read(db_,
                   "SELECT id, time, text, device, address, serial FROM events WHERE id > ?"
                   " ORDER BY id LIMIT ?");
    Statement index(db_,
                    "INSERT INTO events_fts(rowid, text, device, address, serial)"
                    " VALUES (?, ?, ?, ?, ?)");
    Statement late(db_, "INSERT OR IGNORE INTO events_late(event) VALUES (?)");
    Statement gram(db_, "INSERT OR IGNORE INTO events_grams(gram, block) VALUES (?, ?)");
    if (!read.Ok() || !index.Ok() || !late.Ok() || !gram.Ok() ||
        !read.Bind({done, static_cast<std::int64_t>(rows)}))
        return false;
    history_grams::BlockCollector grams(
        [&gram](std::int64_t block, const std::vector<std::int64_t>& keys) {
            for (const std::int64_t key : keys) {
                if (!gram.Rebind({key, block}) || sqlite3_step(gram.Get()) != SQLITE_DONE)
                    return false;
            }
            return true;
        });
    int rc = SQLITE_ROW;
    std::vector<std::string> fields(4);
    while ((rc = sqlite3_step(read.Get())) == SQLITE_ROW) {
        done = read.Int(0);
        const std::int64_t time = read.Int(1);
        for (int i = 0; i < 4; ++i) fields[static_cast<std::size_t>(i)] = read.Text(2 + i);
        if (!index.Rebind({done, fields[0], fields[1], fields[2], fields[3]}) ||
            sqlite3_step(index.Get()) != SQLITE_DONE || !grams.Add(done, fields))
            return false;
        // Older than an event written before it (one from before the index, which the
        // trigger did not see): found by the merge, not by the id order.
        if (time < maxTime && (!late.Rebind({done}) || sqlite3_step(late.Get()) != SQLITE_DONE))
            return false;
        maxTime = std::max(maxTime, time);
    }
    if (rc != SQLITE_DONE || !grams.Finish()) return false;
    Statement save(db_, "UPDATE events_index_state SET done = ?, maxtime = ?");
    return save.Ok() && save.Bind({done, maxTime}) && sqlite3_step(save.Get()) == SQLITE_DONE;
}

bool CEventStore::TextIndexAfterPrune() {
    // New events take ids from the largest one left on (from 1 in an empty table): the
    // index's bookkeeping must not count those as indexed already. The byte pairs of blocks
    // that have no events left go; a block with some left keeps all of its pairs, which can
    // only name an event or two more than needed.
    const std::string sql =
        "UPDATE events_index_state SET done = 0, maxtime = -9223372036854775807, older = 0"
        " WHERE NOT EXISTS (SELECT 1 FROM events);"
        "UPDATE events_index_state SET done = min(done, (SELECT max(id) FROM events))"
        " WHERE EXISTS (SELECT 1 FROM events);"
        "DELETE FROM events_grams WHERE block < coalesce((SELECT min(id) FROM events) >> " +
        std::to_string(history_grams::BlockShift) + ", 9223372036854775807);";
    return Exec(sql.c_str());
}

std::optional<std::int64_t> CEventStore::PlanTextSearch(const EventFilter& filter,
                                                        const std::optional<EventCursor>& after) {
    if (filter.text.empty()) return std::nullopt;
    const auto probe = ProbeFor(filter.text);
    if (!probe) return std::nullopt;
    // Any trouble here (a history without the index among them) leaves the plain scan,
    // which says what is wrong if it is wrong for it too.
    bool ok = true;
    const auto done =
        ReadInt(db_,
                "SELECT done FROM events_index_state WHERE done >= older AND"
                " (SELECT coalesce(max(id), 0) FROM events) - done <= ? AND"
                " (SELECT count(*) FROM (SELECT 1 FROM events_late LIMIT ?)) <= ?",
                {MaxBacklog, std::int64_t{MaxLateEvents + 1}, std::int64_t{MaxLateEvents}}, &ok);
    if (!ok || !done) return std::nullopt;
    if (!filter.device && !filter.kind) return done;

    // A device or a type: their own index may have fewer events to look at than the text's.
    Clause indexed = IndexedPart(filter);
    if (after) OlderThan(indexed, *after);
    indexed.values.emplace_back(std::int64_t{CompareCap});
    const auto inRange =
        ReadInt(db_, "SELECT count(*) FROM (SELECT 1 FROM events" + indexed.sql + " LIMIT ?)",
                indexed.values, &ok);
    std::int64_t lo = 0, hi = 0;
    if (!ok || !IdRange(db_, filter, after, &lo, &hi)) return std::nullopt;
    const std::int64_t others = inRange.value_or(0);
    Candidates candidates(db_, *probe, IdsNamedLike(filter.text), *done, lo, hi);
    std::int64_t found = 0, id = 0;
    while (found < others && candidates.Next(&id)) ++found;
    if (candidates.Failed() || found >= others) return std::nullopt;
    return done;
}

bool CEventStore::ReadPageByIndex(const EventFilter& filter,
                                  const std::optional<EventCursor>& after, int limit, int scanLimit,
                                  std::int64_t indexedUpTo, EventPage* page) {
    Clause all = IndexedPart(filter);
    all.Append(ResidualPart(filter));
    if (after) OlderThan(all, *after);

    // The in-order events, from the index, newest first.
    std::vector<EventRecord> inOrder;
    std::optional<EventCursor> boundary;
    std::int64_t lo = 0, hi = 0;
    if (!IdRange(db_, filter, after, &lo, &hi)) return Fail("cannot read");
    if (lo <= hi) {
        const auto probe = ProbeFor(filter.text);
        if (!probe) return Fail("cannot read");
        Candidates candidates(db_, *probe, IdsNamedLike(filter.text), indexedUpTo, lo, hi);
        Statement check(db_, std::string("SELECT ") + Columns +
                                 ", EXISTS (SELECT 1 FROM events_late WHERE event = id), (" +
                                 all.Conditions() + ") FROM events WHERE id = ?");
        if (!check.Ok()) return Fail("cannot read");
        std::vector<Value> values = all.values;
        values.emplace_back(std::int64_t{0});
        int looked = 0;
        std::int64_t id = 0;
        while (static_cast<int>(inOrder.size()) < limit && candidates.Next(&id)) {
            values.back() = id;
            if (!check.Rebind(values)) return Fail("cannot read");
            const int rc = sqlite3_step(check.Get());
            if (rc == SQLITE_DONE) continue;  // removed since the index named it
            if (rc != SQLITE_ROW) return Fail("cannot read");
            if (check.Int(8) != 0) continue;  // late: the merge below has it
            if (check.Int(9) != 0) inOrder.push_back(check.Record());
            if (++looked >= scanLimit) {
                boundary = EventCursor{check.Int(1), id};
                break;
            }
        }
        if (candidates.Failed()) return Fail("cannot read");
    }

    // The late events of the same stretch, merged in by time.
    Clause late = all;
    if (boundary) {
        late.And("time >= ? AND (time > ? OR id >= ?)",
                 {boundary->timeUs, boundary->timeUs, boundary->rowId});
    }
    Statement read(db_, std::string("SELECT ") + Columns +
                            " FROM events_late CROSS JOIN events ON id = event" + late.sql +
                            NewestFirst + " LIMIT " + std::to_string(limit));
    if (!read.Ok() || !read.Bind(late.values)) return Fail("cannot read");
    std::vector<EventRecord> lateRows;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(read.Get())) == SQLITE_ROW) lateRows.push_back(read.Record());
    if (rc != SQLITE_DONE) return Fail("cannot read");

    page->rows.resize(inOrder.size() + lateRows.size());
    std::merge(std::make_move_iterator(inOrder.begin()), std::make_move_iterator(inOrder.end()),
               std::make_move_iterator(lateRows.begin()), std::make_move_iterator(lateRows.end()),
               page->rows.begin(), NewerThan);
    if (static_cast<int>(page->rows.size()) >= limit) {
        page->rows.resize(static_cast<std::size_t>(limit));
        page->next = EventCursor{page->rows.back().timeUs, page->rows.back().rowId};
    } else {
        page->next = boundary;
    }
    return true;
}
