#pragma once

// GET /api/events: the site's event history, newest first, a page at a time. The filters are
// those of `avlo-monitor --events` (since, until, device, type) and read by the same code, so
// both list the same events; text and limit come on top, and a cursor goes on where the last
// page stopped.
#include <QByteArray>
#include <optional>
#include <string>

#include "history/EventStore.h"

struct EventsQuery {
    static constexpr int DefaultLimit = 100;
    static constexpr int MaxLimit = 1000;

    EventFilter filter;
    int limit = DefaultLimit;
    std::optional<EventCursor> after;  // none: from the newest event
};

// The query string as it arrives (after the "?", percent-encoded, "+" for a space):
// since=YYYY-MM-DD, until=YYYY-MM-DD (the whole day), device=NAME, type=error|warning|
// information, text=WORDS, limit=1..1000, cursor=<from a page's "next">. A parameter that is
// unknown, given twice or has a bad value is refused with the reason in *error.
std::optional<EventsQuery> ParseEventsQuery(const std::string& query, std::string* error);

// The cursor is opaque to clients; it carries where a newest-first reading stopped.
std::string EncodeEventCursor(const EventCursor& cursor);
std::optional<EventCursor> DecodeEventCursor(const std::string& text);

struct JsonReply {
    int status = 200;
    QByteArray body;  // application/json
};

// Answers GET /api/events from the history file. Every call opens its own reader, so calls
// may come from any thread at once and never wait for the monitor's writer.
class CEventsApi {
public:
    struct Settings {
        // Candidate events one page may look at when a filter has to be checked event by
        // event; a page that reaches it holds fewer events than asked for (even none) and a
        // "next" to go on from, so that no request keeps a thread long.
        int scanLimit = 20000;
        int busyTimeoutMs = 2000;
    };

    explicit CEventsApi(std::string historyPath) : CEventsApi(std::move(historyPath), Settings{}) {}
    CEventsApi(std::string historyPath, Settings settings);

    // 200 with {"events": [...], "next": cursor or null}; 400 with {"error": why} for a bad
    // query; 503 with {"error": why} when the history cannot be read. A site without any
    // history yet has no events.
    JsonReply Get(const std::string& query) const;

private:
    const std::string historyPath_;
    const Settings settings_;
};
