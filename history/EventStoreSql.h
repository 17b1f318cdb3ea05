#pragma once

// The pieces of SQL the event history's two halves share: the plain table (EventStore.cpp)
// and its text index (EventTextIndex.cpp). Not for use outside the history.
#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "history/EventStore.h"

namespace history_sql {

// The columns EventRecord is read from, in Statement::Record's order.
constexpr const char* Columns = "id, time, event_id, type, device, address, serial, text";
constexpr const char* NewestFirst = " ORDER BY time DESC, id DESC";

using Value = std::variant<std::int64_t, std::string>;

// A statement that finalizes itself.
class Statement {
public:
    Statement(sqlite3* db, const std::string& sql) {
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt_, nullptr) != SQLITE_OK) stmt_ = nullptr;
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool Ok() const { return stmt_ != nullptr; }
    sqlite3_stmt* Get() const { return stmt_; }
    // Text from the network never becomes part of the statement: it is always bound.
    bool Bind(const std::vector<Value>& values);
    // Resets the statement and binds values afresh, for running it again.
    bool Rebind(const std::vector<Value>& values) {
        sqlite3_reset(stmt_);
        return Bind(values);
    }
    std::int64_t Int(int column) const { return sqlite3_column_int64(stmt_, column); }
    std::string Text(int column) const;
    EventRecord Record() const;

private:
    sqlite3_stmt* stmt_ = nullptr;
};

// A WHERE clause being built, with the values its placeholders stand for.
struct Clause {
    std::string sql;
    std::vector<Value> values;

    void And(const std::string& condition, std::vector<Value> more = {});
    // other's conditions join this one's; both start with WHERE when not empty
    void Append(const Clause& other);
    // The conditions without the leading WHERE; "1" when there are none.
    std::string Conditions() const { return sql.empty() ? "1" : sql.substr(7); }
};

// The conditions an index answers: the device (or else the kind) and the time range.
Clause IndexedPart(const EventFilter& f);
// The conditions checked row by row: the kind beside a device, and the text.
Clause ResidualPart(const EventFilter& f);
// Events older than the cursor, in newest-first order.
void OlderThan(Clause& c, const EventCursor& at);
// The events whose name holds the text (ignoring the case of ASCII letters).
std::vector<std::uint32_t> IdsNamedLike(const std::string& text);

}  // namespace history_sql
