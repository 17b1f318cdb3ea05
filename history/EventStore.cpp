#include "history/EventStore.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <utility>
#include <variant>

#include "history/EventStoreSql.h"
#include "platform/EventIds.h"
#include "platform/EventSink.h"
#include "platform/PrivateFiles.h"

namespace {

constexpr std::int64_t MicrosPerSecond = 1000000;
// Rows removed per statement while pruning: a reader waits at most for one such batch.
constexpr int PruneBatch = 5000;

// Every id the program logs, for finding events by their name.
constexpr std::uint32_t KnownIds[] = {
    EV_DEVICE_REGISTERED, EV_DEVICE_CONNECTED,     EV_DEVICE_CONNECTION_LOST, EV_EMAIL_SENT,
    EV_EMAIL_FAILED,      EV_DEVICE_ALERT,         EV_MONITOR_STARTED,        EV_MONITOR_STOPPED,
    EV_MONITOR_ERROR,     EV_EMAIL_PASSWORD_PLACE, EV_DEVICE_MOVED,           EV_DISCOVERY_BURST,
    EV_WEB_SIGN_IN,       EV_WEB_SIGN_IN_REFUSED,  EV_DEVICE_UNREACHABLE,     EV_ALERTS_MUTED,
    EV_ALERTS_UNMUTED,    EV_WEBHOOK_SENT,         EV_WEBHOOK_FAILED,
};

std::string LowerAscii(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The user's text as a LIKE pattern that matches it literally anywhere.
std::string ContainsPattern(const std::string& text) {
    std::string pattern = "%";
    for (const char c : text) {
        if (c == '%' || c == '_' || c == '\\') pattern += '\\';
        pattern += c;
    }
    return pattern + "%";
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

}  // namespace

namespace history_sql {

bool Statement::Bind(const std::vector<Value>& values) {
    int index = 1;
    for (const Value& v : values) {
        int rc = SQLITE_OK;
        if (const auto* n = std::get_if<std::int64_t>(&v)) {
            rc = sqlite3_bind_int64(stmt_, index, *n);
        } else {
            const std::string& s = std::get<std::string>(v);
            rc = sqlite3_bind_text(stmt_, index, s.data(), static_cast<int>(s.size()),
                                   SQLITE_TRANSIENT);
        }
        if (rc != SQLITE_OK) return false;
        ++index;
    }
    return true;
}

std::string Statement::Text(int column) const {
    const auto* p = sqlite3_column_text(stmt_, column);
    if (p == nullptr) return {};
    return std::string(reinterpret_cast<const char*>(p),
                       static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)));
}

EventRecord Statement::Record() const {
    EventRecord r;
    r.rowId = Int(0);
    r.timeUs = Int(1);
    r.eventId = static_cast<std::uint32_t>(Int(2));
    r.type = static_cast<std::uint16_t>(Int(3));
    r.device = Text(4);
    r.address = Text(5);
    r.serial = Text(6);
    r.text = Text(7);
    return r;
}

void Clause::And(const std::string& condition, std::vector<Value> more) {
    sql += sql.empty() ? " WHERE " : " AND ";
    sql += condition;
    for (Value& v : more) values.push_back(std::move(v));
}

void Clause::Append(const Clause& other) {
    if (other.sql.empty()) return;
    sql += sql.empty() ? other.sql : " AND " + other.sql.substr(7);
    values.insert(values.end(), other.values.begin(), other.values.end());
}

Clause IndexedPart(const EventFilter& f) {
    Clause c;
    if (f.device) {
        c.And("device = ?", {*f.device});
    } else if (f.kind) {
        c.And("kind = ?", {static_cast<std::int64_t>(*f.kind)});
    }
    if (f.sinceUs) c.And("time >= ?", {*f.sinceUs});
    if (f.untilUs) c.And("time < ?", {*f.untilUs});
    return c;
}

std::vector<std::uint32_t> IdsNamedLike(const std::string& text) {
    const std::string wanted = LowerAscii(text);
    std::vector<std::uint32_t> ids;
    for (const std::uint32_t id : KnownIds) {
        if (LowerAscii(EventName(id)).find(wanted) != std::string::npos) ids.push_back(id);
    }
    return ids;
}

Clause ResidualPart(const EventFilter& f) {
    Clause c;
    if (f.device && f.kind) c.And("kind = ?", {static_cast<std::int64_t>(*f.kind)});
    if (!f.text.empty()) {
        const std::string pattern = ContainsPattern(f.text);
        std::string sql;
        std::vector<Value> values;
        for (const char* column : {"text", "device", "address", "serial"}) {
            sql += std::string(sql.empty() ? "(" : " OR ") + column + " LIKE ? ESCAPE '\\'";
            values.emplace_back(pattern);
        }
        std::string ids;
        for (const std::uint32_t id : IdsNamedLike(f.text)) {
            ids += (ids.empty() ? "" : ",") + std::to_string(id);
        }
        if (!ids.empty()) sql += " OR event_id IN (" + ids + ")";
        c.And(sql + ")", std::move(values));
    }
    return c;
}

void OlderThan(Clause& c, const EventCursor& at) {
    // The plain "time <=" lets the index find the start; the rest breaks ties in time.
    c.And("time <= ? AND (time < ? OR id < ?)", {at.timeUs, at.timeUs, at.rowId});
}

}  // namespace history_sql

using history_sql::Clause;
using history_sql::Columns;
using history_sql::IndexedPart;
using history_sql::NewestFirst;
using history_sql::OlderThan;
using history_sql::ResidualPart;
using history_sql::Statement;

EventKind KindOfType(std::uint16_t type) {
    switch (type) {
        case EVENTLOG_ERROR_TYPE:
            return EventKind::Error;
        case EVENTLOG_WARNING_TYPE:
            return EventKind::Warning;
        default:
            return EventKind::Information;
    }
}

const char* KindWord(EventKind kind) {
    switch (kind) {
        case EventKind::Error:
            return "error";
        case EventKind::Warning:
            return "warning";
        case EventKind::Information:
            break;
    }
    return "information";
}

std::optional<EventKind> KindFromWord(const std::string& word) {
    for (const EventKind k : {EventKind::Error, EventKind::Warning, EventKind::Information}) {
        if (word == KindWord(k)) return k;
    }
    return std::nullopt;
}

std::string EventStorePath(const std::string& configPath) {
    std::string base = configPath;
    const std::size_t slash = base.rfind('/');
    const std::size_t dot = base.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1) &&
        LowerAscii(base.substr(dot)) == ".ini") {
        base.erase(dot);
    }
    return base + "-events.sqlite";
}

std::int64_t LocalToUtcMicros(int year, int month, int day, int hour, int minute, int second,
                              int milliseconds) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;  // the zone's rules decide, as they did for the clock's own reading
    // A clock that gives no real date (a test's fixed clock with empty fields) must not overflow
    // the arithmetic: times are kept between 1970 and the end of year 9999.
    constexpr std::int64_t LastSecond = 253402300799;
    const std::int64_t t = std::clamp<std::int64_t>(std::mktime(&tm), 0, LastSecond);
    return t * MicrosPerSecond + std::clamp(milliseconds, 0, 999) * std::int64_t{1000};
}

namespace {

// The instant as "YYYY-MM-DD HH:MM:SS" in the local zone, or in UTC with the microseconds and
// a "Z" as ISO 8601 writes it.
std::string TimeText(std::int64_t timeUs, bool utc) {
    std::int64_t seconds = timeUs / MicrosPerSecond;
    std::int64_t micros = timeUs % MicrosPerSecond;
    if (micros < 0) {
        micros += MicrosPerSecond;
        --seconds;
    }
    const auto t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    if (utc) {
        gmtime_r(&t, &tm);
    } else {
        localtime_r(&t, &tm);
    }
    char buffer[48];
    const std::size_t n =
        std::strftime(buffer, sizeof buffer, utc ? "%Y-%m-%dT%H:%M:%S" : "%Y-%m-%d %H:%M:%S", &tm);
    if (utc) std::snprintf(buffer + n, sizeof buffer - n, ".%06" PRId64 "Z", micros);
    return buffer;
}

}  // namespace

std::string LocalTimeText(std::int64_t timeUs) {
    return TimeText(timeUs, false);
}

std::string UtcTimeText(std::int64_t timeUs) {
    return TimeText(timeUs, true);
}

CEventStore::CEventStore() = default;

CEventStore::~CEventStore() {
    Close();
}

bool CEventStore::Fail(const std::string& what) {
    error_ = what;
    if (db_) {
        const char* message = sqlite3_errmsg(db_);
        if (message && *message) error_ += std::string(": ") + message;
    }
    return false;
}

bool CEventStore::Exec(const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    error_ = message ? message : "unknown error";
    sqlite3_free(message);
    return false;
}

namespace {

// SQLite would make the file readable by everyone (0644 less the umask); its log and shared
// memory files take the file's own mode, so a history made here stays the user's alone. One
// that is there already (or a link the user made) is left as it is; a failure shows in the
// open that follows.
void CreateMissingFile(const std::string& path) {
    const int fd = CreatePrivateFile(path, O_RDONLY);
    if (fd >= 0) close(fd);
}

}  // namespace

bool CEventStore::Open(const std::string& path, Mode mode, const Settings& settings) {
    Close();
    path_ = path;
    error_.clear();
    if (mode == Mode::Read && !FileExists(path)) {
        error_ = "there is no event history yet";
        return false;
    }
    if (mode == Mode::Write) CreateMissingFile(path);
    const int flags =
        mode == Mode::Write ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
    // Each connection is used by one thread at a time: SQLite's own locking is not needed.
    if (sqlite3_open_v2(path.c_str(), &db_, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        Fail("cannot open");
        Close();
        return false;
    }
    sqlite3_busy_timeout(db_, settings.busyTimeoutMs);
    bool ok = true;
    if (mode == Mode::Write) {
        // The write-ahead log lets the viewer and the command-line query read while the
        // monitor writes; NORMAL syncs only at checkpoints, which is what keeps a write short
        // (a crash may lose the last events, never the file).
        ok = Exec("PRAGMA journal_mode=WAL") && Exec("PRAGMA synchronous=NORMAL");
        if (ok && settings.maxPageCount > 0) {
            ok = Exec(("PRAGMA max_page_count=" + std::to_string(settings.maxPageCount)).c_str());
        }
        ok = ok && CreateSchema();
        walPages_ = 0;
        sqlite3_wal_hook(db_, &CEventStore::WalCommitted, this);
    } else {
        // A file that is no history (or a damaged one) is found out now, not at the first read.
        Statement probe(db_, std::string("SELECT ") + Columns + " FROM events LIMIT 0");
        ok = probe.Ok() || Fail("not an event history");
    }
    if (!ok) {
        Close();
        return false;
    }
    return true;
}

bool CEventStore::CreateSchema() {
    return Exec(
               "CREATE TABLE IF NOT EXISTS events("
               " id INTEGER PRIMARY KEY,"
               " time INTEGER NOT NULL,"
               " event_id INTEGER NOT NULL,"
               " type INTEGER NOT NULL,"
               " kind INTEGER NOT NULL,"
               " device TEXT NOT NULL DEFAULT '',"
               " address TEXT NOT NULL DEFAULT '',"
               " serial TEXT NOT NULL DEFAULT '',"
               " text TEXT NOT NULL DEFAULT '');"
               "CREATE INDEX IF NOT EXISTS events_time ON events(time);"
               "CREATE INDEX IF NOT EXISTS events_device ON events(device, time);"
               "CREATE INDEX IF NOT EXISTS events_kind ON events(kind, time);") &&
           CreateTextIndex();
}

int CEventStore::WalCommitted(void* self, sqlite3* db, const char*, int pages) {
    static_cast<CEventStore*>(self)->walPages_ = pages;
    // SQLite's own rule (this hook takes the place of its automatic checkpoint), for a writer
    // that does not call Checkpoint in its spare time.
    if (pages >= AutoCheckpointPages) {
        sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    }
    return SQLITE_OK;
}

int CEventStore::Checkpoint(int minPages) {
    if (!db_ || walPages_ < minPages) return 0;
    walPages_ = 0;
    int logged = 0, copied = 0;
    const int rc =
        sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_PASSIVE, &logged, &copied);
    // A reader in the way only leaves part of the log for the next time.
    if (rc == SQLITE_BUSY || (rc == SQLITE_OK && copied < logged)) return copied;
    if (rc != SQLITE_OK) {
        Fail("cannot write");
        return -1;
    }
    // The first commit after a complete checkpoint starts the log again and syncs its header
    // (milliseconds on a busy disk): made here, with the same user version written back, so
    // that no event's write pays for it.
    Statement version(db_, "PRAGMA user_version");
    if (!version.Ok() || sqlite3_step(version.Get()) != SQLITE_ROW) {
        Fail("cannot write");
        return -1;
    }
    return Exec(("PRAGMA user_version=" + std::to_string(version.Int(0))).c_str()) ? copied : -1;
}

void CEventStore::Close() {
    if (db_) sqlite3_close_v2(db_);
    db_ = nullptr;
}

bool CEventStore::Append(const std::vector<EventRecord>& records) {
    if (!db_) return Fail("the event history is not open");
    if (records.empty()) return true;
    if (!Exec("BEGIN IMMEDIATE")) return false;
    Statement insert(db_,
                     "INSERT INTO events(time, event_id, type, kind, device, address, serial, "
                     "text) VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
    bool ok = insert.Ok() || Fail("cannot write");
    for (const EventRecord& r : records) {
        if (!ok) break;
        sqlite3_reset(insert.Get());
        ok = insert.Bind({r.timeUs, static_cast<std::int64_t>(r.eventId),
                          static_cast<std::int64_t>(r.type),
                          static_cast<std::int64_t>(KindOfType(r.type)), r.device, r.address,
                          r.serial, r.text}) &&
             sqlite3_step(insert.Get()) == SQLITE_DONE;
        if (!ok) Fail("cannot write");
    }
    if (ok && sqlite3_reset(insert.Get()) == SQLITE_OK && Exec("COMMIT")) return true;
    const std::string reason = error_;
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    error_ = reason;
    return false;
}

std::int64_t CEventStore::PruneBefore(std::int64_t cutoffUs) {
    if (!db_) {
        Fail("the event history is not open");
        return -1;
    }
    Statement remove(db_,
                     "DELETE FROM events WHERE id IN (SELECT id FROM events WHERE time < ? "
                     "ORDER BY time LIMIT " +
                         std::to_string(PruneBatch) + ")");
    if (!remove.Ok()) {
        Fail("cannot prune");
        return -1;
    }
    std::int64_t removed = 0;
    for (;;) {
        sqlite3_reset(remove.Get());
        if (!remove.Bind({cutoffUs}) || sqlite3_step(remove.Get()) != SQLITE_DONE) {
            Fail("cannot prune");
            return -1;
        }
        const int n = sqlite3_changes(db_);
        removed += n;
        if (n < PruneBatch) {
            // A history without a text index has nothing to reset.
            if (removed > 0) TextIndexAfterPrune();
            return removed;
        }
    }
}

bool CEventStore::ReadPage(const EventFilter& filter, const std::optional<EventCursor>& after,
                           int limit, int scanLimit, EventPage* page) {
    page->rows.clear();
    page->next.reset();
    if (!db_) return Fail("the event history is not open");
    if (const auto indexedUpTo = PlanTextSearch(filter, after))
        return ReadPageByIndex(filter, after, limit, scanLimit, *indexedUpTo, page);
    return ReadPageByScan(filter, after, limit, scanLimit, page);
}

bool CEventStore::ReadPageByScan(const EventFilter& filter, const std::optional<EventCursor>& after,
                                 int limit, int scanLimit, EventPage* page) {
    Clause where = IndexedPart(filter);
    if (after) OlderThan(where, *after);
    const Clause residual = ResidualPart(filter);

    // Where the scan of this call ends: the scanLimit-th candidate, or none when fewer remain.
    std::optional<EventCursor> boundary;
    if (!residual.sql.empty()) {
        Statement edge(db_, "SELECT time, id FROM events" + where.sql + NewestFirst +
                                " LIMIT 1 OFFSET " + std::to_string(scanLimit - 1));
        if (!edge.Ok() || !edge.Bind(where.values)) return Fail("cannot read");
        const int rc = sqlite3_step(edge.Get());
        if (rc == SQLITE_ROW) {
            boundary = EventCursor{edge.Int(0), edge.Int(1)};
        } else if (rc != SQLITE_DONE) {
            return Fail("cannot read");
        }
    }
    Clause all = where;
    if (boundary) {
        all.And("time >= ? AND (time > ? OR id >= ?)",
                {boundary->timeUs, boundary->timeUs, boundary->rowId});
    }
    all.Append(residual);
    Statement read(db_, std::string("SELECT ") + Columns + " FROM events" + all.sql + NewestFirst +
                            " LIMIT " + std::to_string(limit));
    if (!read.Ok() || !read.Bind(all.values)) return Fail("cannot read");
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(read.Get())) == SQLITE_ROW) page->rows.push_back(read.Record());
    if (rc != SQLITE_DONE) return Fail("cannot read");

    if (static_cast<int>(page->rows.size()) >= limit) {
        page->next = EventCursor{page->rows.back().timeUs, page->rows.back().rowId};
    } else if (boundary) {
        // The boundary itself was looked at; the next call starts just below it.
        page->next = boundary;
    }
    return true;
}

bool CEventStore::ReadNewer(const EventFilter& filter, std::int64_t afterRowId,
                            std::int64_t upToRowId, std::vector<EventRecord>* rows) {
    rows->clear();
    if (!db_) return Fail("the event history is not open");
    Clause all;
    all.And("id > ? AND id <= ?", {afterRowId, upToRowId});
    all.Append(IndexedPart(filter));
    all.Append(ResidualPart(filter));
    Statement read(db_, std::string("SELECT ") + Columns + " FROM events" + all.sql + NewestFirst);
    if (!read.Ok() || !read.Bind(all.values)) return Fail("cannot read");
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(read.Get())) == SQLITE_ROW) rows->push_back(read.Record());
    return rc == SQLITE_DONE || Fail("cannot read");
}

bool CEventStore::ReadAll(const EventFilter& filter,
                          const std::function<bool(const EventRecord&)>& each) {
    if (!db_) return Fail("the event history is not open");
    Clause all = IndexedPart(filter);
    all.Append(ResidualPart(filter));
    Statement read(
        db_, std::string("SELECT ") + Columns + " FROM events" + all.sql + " ORDER BY time, id");
    if (!read.Ok() || !read.Bind(all.values)) return Fail("cannot read");
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(read.Get())) == SQLITE_ROW) {
        if (!each(read.Record())) return true;
    }
    return rc == SQLITE_DONE || Fail("cannot read");
}

std::int64_t CEventStore::LastRowId() {
    if (!db_) {
        Fail("the event history is not open");
        return -1;
    }
    Statement read(db_, "SELECT coalesce(max(id), 0) FROM events");
    if (!read.Ok() || sqlite3_step(read.Get()) != SQLITE_ROW) {
        Fail("cannot read");
        return -1;
    }
    return read.Int(0);
}

bool CEventStore::DeviceNames(std::vector<std::string>* names) {
    names->clear();
    if (!db_) return Fail("the event history is not open");
    // One index step per name: a year of events costs no more than a day's.
    Statement next(db_, "SELECT device FROM events WHERE device > ? ORDER BY device LIMIT 1");
    if (!next.Ok()) return Fail("cannot read");
    std::string last;
    for (;;) {
        sqlite3_reset(next.Get());
        if (!next.Bind({last})) return Fail("cannot read");
        const int rc = sqlite3_step(next.Get());
        if (rc == SQLITE_DONE) return true;
        if (rc != SQLITE_ROW) return Fail("cannot read");
        last = next.Text(0);
        names->push_back(last);
    }
}
