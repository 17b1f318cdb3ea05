#include "web/EventsApi.h"

#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <algorithm>
#include <charconv>
#include <map>
#include <vector>

#include "history/EventQuery.h"
#include "platform/StartupOptions.h"
#include "web/EventJson.h"

namespace {

// application/x-www-form-urlencoded, as browsers and curl -G send it.
std::string FormDecoded(std::string text) {
    for (char& c : text) {
        if (c == '+') c = ' ';
    }
    return QByteArray::fromPercentEncoding(QByteArray::fromStdString(text)).toStdString();
}

bool SplitQuery(const std::string& query, std::map<std::string, std::string>* params,
                std::string* error) {
    std::size_t from = 0;
    while (from <= query.size()) {
        std::size_t end = query.find('&', from);
        if (end == std::string::npos) end = query.size();
        const std::string pair = query.substr(from, end - from);
        from = end + 1;
        if (pair.empty()) continue;
        const std::size_t equals = pair.find('=');
        const std::string name = FormDecoded(pair.substr(0, equals));
        const std::string value = equals == std::string::npos ? "" : pair.substr(equals + 1);
        if (!params->emplace(name, FormDecoded(value)).second) {
            *error = "parameter given twice: " + name;
            return false;
        }
    }
    return true;
}

bool ParseWhole(const std::string& text, std::int64_t* number) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *number);
    return ec == std::errc() && end == text.data() + text.size();
}

// The filters --events has go through its own option parser and filter, so that the API and
// the command line can never read one filter two ways.
bool CommandLineFilter(const std::map<std::string, std::string>& params, EventFilter* filter,
                       std::string* error) {
    std::vector<std::string> args = {"--events"};
    for (const char* name : {"since", "until", "device", "type"}) {
        const auto found = params.find(name);
        if (found != params.end()) args.push_back("--" + std::string(name) + "=" + found->second);
    }
    const StartupOptions options = ParseStartupOptions(args, {});
    if (!options.error.empty()) {
        const std::string prefix = "option --";
        *error = options.error.rfind(prefix, 0) == 0 ? options.error.substr(prefix.size())
                                                     : options.error;
        return false;
    }
    *filter = EventFilterFromOptions(options);
    return true;
}

bool TakeLimit(const std::map<std::string, std::string>& params, int* limit, std::string* error) {
    const auto found = params.find("limit");
    if (found == params.end()) return true;
    std::int64_t number = 0;
    if (!ParseWhole(found->second, &number) || number < 1 || number > EventsQuery::MaxLimit) {
        *error = "limit: not a number from 1 to " + std::to_string(EventsQuery::MaxLimit) + ": " +
                 found->second;
        return false;
    }
    *limit = static_cast<int>(number);
    return true;
}

QByteArray ErrorBody(const std::string& why) {
    QJsonObject json;
    json.insert(QStringLiteral("error"), QString::fromStdString(why));
    return QJsonDocument(json).toJson(QJsonDocument::Compact);
}

QByteArray PageBody(const EventPage& page) {
    QJsonArray events;
    for (const EventRecord& record : page.rows) events.append(EventJson(record));
    QJsonObject json;
    json.insert(QStringLiteral("events"), events);
    json.insert(QStringLiteral("next"),
                page.next ? QJsonValue(QString::fromStdString(EncodeEventCursor(*page.next)))
                          : QJsonValue(QJsonValue::Null));
    return QJsonDocument(json).toJson(QJsonDocument::Compact);
}

}  // namespace

std::optional<EventsQuery> ParseEventsQuery(const std::string& query, std::string* error) {
    std::map<std::string, std::string> params;
    if (!SplitQuery(query, &params, error)) return std::nullopt;
    for (const auto& [name, value] : params) {
        static const std::string known[] = {"since", "until", "device", "type",
                                            "text",  "limit", "cursor"};
        if (std::find(std::begin(known), std::end(known), name) == std::end(known)) {
            *error = "unknown parameter: " + name;
            return std::nullopt;
        }
    }
    EventsQuery result;
    if (!CommandLineFilter(params, &result.filter, error)) return std::nullopt;
    if (const auto text = params.find("text"); text != params.end())
        result.filter.text = text->second;
    if (!TakeLimit(params, &result.limit, error)) return std::nullopt;
    if (const auto cursor = params.find("cursor"); cursor != params.end()) {
        result.after = DecodeEventCursor(cursor->second);
        if (!result.after) {
            *error = "cursor: not one this service gave";
            return std::nullopt;
        }
    }
    return result;
}

std::string EncodeEventCursor(const EventCursor& cursor) {
    const std::string plain = std::to_string(cursor.timeUs) + "." + std::to_string(cursor.rowId);
    return QByteArray::fromStdString(plain)
        .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals)
        .toStdString();
}

std::optional<EventCursor> DecodeEventCursor(const std::string& text) {
    const auto decoded = QByteArray::fromBase64Encoding(
        QByteArray::fromStdString(text),
        QByteArray::Base64UrlEncoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded) return std::nullopt;
    const std::string plain = decoded.decoded.toStdString();
    const std::size_t dot = plain.find('.');
    if (dot == std::string::npos) return std::nullopt;
    EventCursor cursor;
    if (!ParseWhole(plain.substr(0, dot), &cursor.timeUs) ||
        !ParseWhole(plain.substr(dot + 1), &cursor.rowId)) {
        return std::nullopt;
    }
    return cursor;
}

CEventsApi::CEventsApi(std::string historyPath, Settings settings)
    : historyPath_(std::move(historyPath)), settings_(settings) {}

JsonReply CEventsApi::Get(const std::string& query) const {
    std::string error;
    const std::optional<EventsQuery> request = ParseEventsQuery(query, &error);
    if (!request) return {400, ErrorBody(error)};
    // The monitor makes the file with its first event; until then there is nothing to list.
    if (access(historyPath_.c_str(), F_OK) != 0) return {200, PageBody(EventPage{})};
    CEventStore store;
    CEventStore::Settings storeSettings;
    storeSettings.busyTimeoutMs = settings_.busyTimeoutMs;
    EventPage page;
    if (!store.Open(historyPath_, CEventStore::Mode::Read, storeSettings) ||
        !store.ReadPage(request->filter, request->after, request->limit, settings_.scanLimit,
                        &page)) {
        return {503, ErrorBody("the event history cannot be read: " + store.LastError())};
    }
    return {200, PageBody(page)};
}
