#include "platform/EventSink.h"

#include <syslog.h>

#include <atomic>
#include <cinttypes>
#include <utility>

#include "platform/Clock.h"
#include "platform/EventIds.h"
#include "platform/PrintableText.h"

namespace {

std::string HexId(std::uint32_t id) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08" PRIX32, id);
    return buffer;
}

std::string FormatLocalTime(const LocalDateTime& t) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day,
                  t.hour, t.minute, t.second);
    return buffer;
}

std::atomic<IEventSink*> installedSink{nullptr};

}  // namespace

const char* EventName(std::uint32_t id) {
    switch (id) {
        case EV_DEVICE_REGISTERED:
            return "EV_DEVICE_REGISTERED";
        case EV_DEVICE_CONNECTED:
            return "EV_DEVICE_CONNECTED";
        case EV_DEVICE_CONNECTION_LOST:
            return "EV_DEVICE_CONNECTION_LOST";
        case EV_EMAIL_SENT:
            return "EV_EMAIL_SENT";
        case EV_EMAIL_FAILED:
            return "EV_EMAIL_FAILED";
        case EV_DEVICE_ALERT:
            return "EV_DEVICE_ALERT";
        case EV_MONITOR_STARTED:
            return "EV_MONITOR_STARTED";
        case EV_MONITOR_STOPPED:
            return "EV_MONITOR_STOPPED";
        case EV_MONITOR_ERROR:
            return "EV_MONITOR_ERROR";
        case EV_EMAIL_PASSWORD_PLACE:
            return "EV_EMAIL_PASSWORD_PLACE";
        case EV_DEVICE_MOVED:
            return "EV_DEVICE_MOVED";
        case EV_DISCOVERY_BURST:
            return "EV_DISCOVERY_BURST";
        case EV_WEB_SIGN_IN:
            return "EV_WEB_SIGN_IN";
        case EV_WEB_SIGN_IN_REFUSED:
            return "EV_WEB_SIGN_IN_REFUSED";
        case EV_DEVICE_UNREACHABLE:
            return "EV_DEVICE_UNREACHABLE";
        case EV_ALERTS_MUTED:
            return "EV_ALERTS_MUTED";
        case EV_ALERTS_UNMUTED:
            return "EV_ALERTS_UNMUTED";
        case EV_WEBHOOK_SENT:
            return "EV_WEBHOOK_SENT";
        case EV_WEBHOOK_FAILED:
            return "EV_WEBHOOK_FAILED";
        default:
            return "EV_UNKNOWN";
    }
}

std::string SingleLine(const std::string& text) {
    std::string line;
    line.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            line += " | ";
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            line += c;
        }
    }
    // A NUL would cut the system log's message and glue two events on one line of --events;
    // an escape sequence would drive the terminal that shows them.
    return PrintableText(line);
}

std::string FormatEventMessage(std::uint32_t id, const std::string* text) {
    std::string message = std::string(EventName(id)) + " (" + HexId(id) + ")";
    if (text) message += ": " + SingleLine(*text);
    return message;
}

int SyslogPriority(std::uint16_t type) {
    switch (type) {
        case EVENTLOG_ERROR_TYPE:
            return LOG_ERR;
        case EVENTLOG_WARNING_TYPE:
            return LOG_WARNING;
        case EVENTLOG_SUCCESS:
            return LOG_NOTICE;
        default:
            return LOG_INFO;
    }
}

// syslog has no source registry: the identity given to openlog is all it needs.
bool CSyslogSink::RegisterSource(const std::string&, const std::string&) {
    return true;
}

bool CSyslogSink::Open(const std::string& source) {
    std::lock_guard lock(mutex_);
    closelog();  // drops syslog's pointer to the old identity before the string changes
    identity_ = source;
    openlog(identity_.c_str(), LOG_PID, LOG_USER);
    return true;
}

bool CSyslogSink::Report(std::uint16_t type, std::uint32_t id, const std::string* text) {
    const std::string message = FormatEventMessage(id, text);
    std::lock_guard lock(mutex_);
    syslog(SyslogPriority(type), "%s", message.c_str());
    return true;
}

void CSyslogSink::Close() {
    std::lock_guard lock(mutex_);
    closelog();
}

bool CCapturingSink::RegisterSource(const std::string& source, const std::string& file) {
    std::lock_guard lock(mutex_);
    calls_.push_back("RegisterSource");
    registered_.push_back(source);
    messageFiles_.push_back(file);
    return !registerFails_;
}

bool CCapturingSink::Open(const std::string& source) {
    std::lock_guard lock(mutex_);
    calls_.push_back("Open");
    opened_.push_back(source);
    return !openFails_;
}

bool CCapturingSink::Report(std::uint16_t type, std::uint32_t id, const std::string* text) {
    std::lock_guard lock(mutex_);
    calls_.push_back("Report");
    CapturedEvent event;
    event.type = type;
    event.id = id;
    if (text) event.text = *text;
    events_.push_back(std::move(event));
    return !reportFails_;
}

void CCapturingSink::Close() {
    std::lock_guard lock(mutex_);
    calls_.push_back("Close");
    closed_ = true;
}

void CCapturingSink::SetRegisterFails(bool fails) {
    std::lock_guard lock(mutex_);
    registerFails_ = fails;
}

void CCapturingSink::SetOpenFails(bool fails) {
    std::lock_guard lock(mutex_);
    openFails_ = fails;
}

void CCapturingSink::SetReportFails(bool fails) {
    std::lock_guard lock(mutex_);
    reportFails_ = fails;
}

std::vector<CapturedEvent> CCapturingSink::Events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

std::vector<std::string> CCapturingSink::RegisteredSources() const {
    std::lock_guard lock(mutex_);
    return registered_;
}

std::vector<std::string> CCapturingSink::MessageFiles() const {
    std::lock_guard lock(mutex_);
    return messageFiles_;
}

std::vector<std::string> CCapturingSink::OpenedSources() const {
    std::lock_guard lock(mutex_);
    return opened_;
}

bool CCapturingSink::Closed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

std::vector<std::string> CCapturingSink::Calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

CStderrEchoSink::CStderrEchoSink(IEventSink& inner, std::FILE* out) : inner_(inner), out_(out) {}

bool CStderrEchoSink::RegisterSource(const std::string& source, const std::string& file) {
    return inner_.RegisterSource(source, file);
}

bool CStderrEchoSink::Open(const std::string& source) {
    return inner_.Open(source);
}

bool CStderrEchoSink::Report(std::uint16_t type, std::uint32_t id, const std::string* text) {
    std::string line = FormatLocalTime(LocalNow()) + " " + EventName(id) + " " + HexId(id);
    if (text) line += " " + SingleLine(*text);
    line += "\n";
    // One write per line keeps lines from several threads whole.
    std::fputs(line.c_str(), out_);
    std::fflush(out_);
    return inner_.Report(type, id, text);
}

void CStderrEchoSink::Close() {
    inner_.Close();
}

IEventSink& ProcessEventSink() {
    static CSyslogSink syslogSink;
    IEventSink* sink = installedSink.load();
    return sink ? *sink : syslogSink;
}

void SetProcessEventSink(IEventSink* sink) {
    installedSink.store(sink);
}
