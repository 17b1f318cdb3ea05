#pragma once

// The event history: every event the monitor logs, kept in an SQLite file beside the settings
// ("NAME.ini" keeps its history in "NAME-events.sqlite"), so that a site's settings and its
// history travel together. No Qt: the command-line query runs without any.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

// One event as the history keeps it. Time is UTC, in microseconds since 1970.
struct EventRecord {
    std::int64_t rowId = 0;  // given by the store; later events have larger ones
    std::int64_t timeUs = 0;
    std::uint32_t eventId = 0;
    std::uint16_t type = 0;  // EVENTLOG_SUCCESS, _ERROR_TYPE, _WARNING_TYPE, _INFORMATION_TYPE
    std::string device;      // empty when the event concerns no single device
    std::string address;
    std::string serial;
    std::string text;  // the whole insertion text, CR LF and all
};

// The three kinds a user filters by; a success counts as information.
enum class EventKind : int { Error = 1, Warning = 2, Information = 3 };
EventKind KindOfType(std::uint16_t type);
const char* KindWord(EventKind kind);  // "error", "warning", "information"
std::optional<EventKind> KindFromWord(const std::string& word);

// What to show. Every part left empty selects everything.
struct EventFilter {
    std::optional<std::int64_t> sinceUs;  // from this time on
    std::optional<std::int64_t> untilUs;  // before this time
    std::optional<std::string> device;    // the device's name, exactly
    std::optional<EventKind> kind;
    // Found, ignoring the case of ASCII letters, in the text, the device's name, address or
    // serial, or the event's name.
    std::string text;
};

// Where a newest-first reading stopped: the next page starts with the event just older.
struct EventCursor {
    std::int64_t timeUs = 0;
    std::int64_t rowId = 0;
};

struct EventPage {
    std::vector<EventRecord> rows;  // newest first
    // Where to go on from; empty when the history has nothing older to look at.
    std::optional<EventCursor> next;
};

// The history file of a settings file.
std::string EventStorePath(const std::string& configPath);

// Microseconds since 1970 (UTC) of a local date and time; of local midnight for a date.
std::int64_t LocalToUtcMicros(int year, int month, int day, int hour = 0, int minute = 0,
                              int second = 0, int milliseconds = 0);
// "YYYY-MM-DD HH:MM:SS" in local time, and "YYYY-MM-DDTHH:MM:SS.ffffffZ" in UTC.
std::string LocalTimeText(std::int64_t timeUs);
std::string UtcTimeText(std::int64_t timeUs);

// One connection to a history file. Not shared between threads: the writer thread has one,
// every reader its own (the file's write-ahead log lets them read while the writer writes).
class CEventStore {
public:
    enum class Mode { Write, Read };
    struct Settings {
        // How long a call waits for another process's lock before it gives up.
        int busyTimeoutMs = 1000;
        // Largest file size in database pages; 0: no limit. Tests stand a full disk with it.
        int maxPageCount = 0;
    };

    CEventStore();
    ~CEventStore();
    CEventStore(const CEventStore&) = delete;
    CEventStore& operator=(const CEventStore&) = delete;

    // Write makes the file and its table when they are missing; Read only opens a file that
    // is there. False with LastError() when the file cannot be used.
    bool Open(const std::string& path, Mode mode, const Settings& settings);
    bool Open(const std::string& path, Mode mode) { return Open(path, mode, Settings{}); }
    void Close();
    bool IsOpen() const { return db_ != nullptr; }
    const std::string& LastError() const { return error_; }
    const std::string& Path() const { return path_; }

    // All in one transaction: either every record is kept or none is.
    bool Append(const std::vector<EventRecord>& records);
    // Removes everything older than cutoffUs, a batch at a time so that readers never wait
    // long; the number removed, or -1 on an error.
    std::int64_t PruneBefore(std::int64_t cutoffUs);

    // Up to `limit` matching events older than `after` (from the newest when empty), newest
    // first. When a filter part no index answers (the text, or the kind together with a
    // device) has to be checked row by row, at most `scanLimit` candidate events are looked
    // at, so that one call stays short; `next` then says where to go on. A text takes its
    // candidates from the text indexes when that is the shorter way.
    // False on an error.
    bool ReadPage(const EventFilter& filter, const std::optional<EventCursor>& after, int limit,
                  int scanLimit, EventPage* page);
    // Matching events with a rowId above afterRowId and up to upToRowId, newest first.
    bool ReadNewer(const EventFilter& filter, std::int64_t afterRowId, std::int64_t upToRowId,
                   std::vector<EventRecord>* rows);
    // Every matching event, oldest first, handed over one at a time; the callback returns
    // false to stop.
    bool ReadAll(const EventFilter& filter, const std::function<bool(const EventRecord&)>& each);
    // The rowId of the newest event, 0 when there is none; -1 on an error.
    std::int64_t LastRowId();
    // The names of the devices that have events, in sorted order.
    bool DeviceNames(std::vector<std::string>* names);

    // Copies the write-ahead log into the file when it holds at least minPages pages; the
    // number of pages copied, -1 on an error. SQLite does that itself inside the commit that
    // fills the log (AutoCheckpointPages), which makes that one write take milliseconds; a
    // writer calls this between events instead.
    static constexpr int AutoCheckpointPages = 1000;
    int Checkpoint(int minPages);

    // The text index is kept by the writer, not by every write: new events wait until
    // BuildTextIndex adds them, a batch at a time in its own transaction, so that writing an
    // event stays cheap. Until then searches check them one by one; a history with more
    // events outside the index than that can bear (one written before there was an index,
    // being upgraded) is searched by looking at every event, as before.
    // The number of events not in the index yet; 0 for a history without one.
    std::int64_t TextIndexBacklog();
    // Adds up to `rows` of the oldest events not in the index yet. False on an error.
    bool BuildTextIndex(int rows);

private:
    bool Exec(const char* sql);
    bool Fail(const std::string& what);
    bool CreateSchema();
    bool CreateTextIndex();
    bool AddToTextIndex(int rows);
    bool TextIndexAfterPrune();
    // Whether a page of this filter is read from the text index: then the last id the index
    // holds; nullopt when it is read row by row.
    std::optional<std::int64_t> PlanTextSearch(const EventFilter& filter,
                                               const std::optional<EventCursor>& after);
    bool ReadPageByScan(const EventFilter& filter, const std::optional<EventCursor>& after,
                        int limit, int scanLimit, EventPage* page);
    bool ReadPageByIndex(const EventFilter& filter, const std::optional<EventCursor>& after,
                         int limit, int scanLimit, std::int64_t indexedUpTo, EventPage* page);

    static int WalCommitted(void* self, sqlite3* db, const char* name, int pages);

    sqlite3* db_ = nullptr;
    int walPages_ = 0;  // in the write-ahead log after the last commit
    std::string path_;
    std::string error_;
};
