#include "history/EventQuery.h"

#include <cinttypes>

#include "platform/EventSink.h"
#include "platform/PrintableText.h"

namespace {

bool ParseDay(const std::string& text, int* year, int* month, int* day) {
    return std::sscanf(text.c_str(), "%4d-%2d-%2d", year, month, day) == 3;
}

std::string HexId(std::uint32_t id) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08" PRIX32, id);
    return buffer;
}

std::string Padded(std::string text, std::size_t width) {
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text;
}

}  // namespace

EventFilter EventFilterFromOptions(const StartupOptions& options) {
    EventFilter filter;
    int y = 0, m = 0, d = 0;
    if (!options.eventsSince.empty() && ParseDay(options.eventsSince, &y, &m, &d))
        filter.sinceUs = LocalToUtcMicros(y, m, d);
    // The whole of the last day: up to the next local midnight (mktime carries the day over).
    if (!options.eventsUntil.empty() && ParseDay(options.eventsUntil, &y, &m, &d))
        filter.untilUs = LocalToUtcMicros(y, m, d + 1);
    if (!options.eventsDevice.empty()) filter.device = options.eventsDevice;
    if (!options.eventsType.empty()) filter.kind = KindFromWord(options.eventsType);
    return filter;
}

std::string EventTextLine(const EventRecord& r) {
    std::string line = LocalTimeText(r.timeUs) + "  " + Padded(KindWord(KindOfType(r.type)), 11) +
                       "  " + Padded(EventName(r.eventId), 25) + "  " +
                       (r.device.empty() ? "-" : PrintableText(r.device));
    if (!r.text.empty()) line += "  " + SingleLine(r.text);
    return line;
}

std::string CsvField(const std::string& text) {
    // Line breaks and tabs are the CSV's own (quoted); no other control belongs in a cell.
    std::string value = PrintableText(text, "\r\n\t");
    // A spreadsheet takes a cell that starts so for a formula, which a device's serial or a
    // server's reply could then bring to run on the reader's machine.
    if (!value.empty() && std::string_view("=+-@\t\r").find(value.front()) != std::string::npos)
        value.insert(0, 1, '\'');
    if (value.find_first_of(",\"\r\n") == std::string::npos) return value;
    std::string quoted = "\"";
    for (const char c : value) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

std::string EventCsvHeader() {
    return "Time,UTC,Type,Event,Event ID,Device,Address,Serial,Text\r\n";
}

std::string EventCsvRecord(const EventRecord& r) {
    const std::string fields[] = {LocalTimeText(r.timeUs),
                                  UtcTimeText(r.timeUs),
                                  KindWord(KindOfType(r.type)),
                                  EventName(r.eventId),
                                  HexId(r.eventId),
                                  r.device,
                                  r.address,
                                  r.serial,
                                  r.text};
    std::string line;
    for (const std::string& field : fields) {
        if (!line.empty()) line += ',';
        line += CsvField(field);
    }
    return line + "\r\n";
}

int RunEventQuery(const StartupOptions& options, std::FILE* out, std::FILE* err) {
    const std::string path = EventStorePath(options.configPath);
    CEventStore store;
    // A short wait only: a reader never needs the writer's lock, so a long one means trouble.
    CEventStore::Settings settings;
    settings.busyTimeoutMs = 2000;
    if (!store.Open(path, CEventStore::Mode::Read, settings)) {
        std::fprintf(err, "avlo-monitor: %s: %s\n", path.c_str(), store.LastError().c_str());
        return 1;
    }
    if (options.eventsCsv) std::fputs(EventCsvHeader().c_str(), out);
    const bool ok = store.ReadAll(EventFilterFromOptions(options), [&](const EventRecord& r) {
        const std::string line = options.eventsCsv ? EventCsvRecord(r) : EventTextLine(r) + "\n";
        return std::fwrite(line.data(), 1, line.size(), out) == line.size();
    });
    if (!ok) {
        std::fprintf(err, "avlo-monitor: %s: %s\n", path.c_str(), store.LastError().c_str());
        return 1;
    }
    return std::fflush(out) == 0 ? 0 : 1;
}
