#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// Event types, with the values the Windows event log gave them.
constexpr std::uint16_t EVENTLOG_SUCCESS = 0;
constexpr std::uint16_t EVENTLOG_ERROR_TYPE = 1;
constexpr std::uint16_t EVENTLOG_WARNING_TYPE = 2;
constexpr std::uint16_t EVENTLOG_INFORMATION_TYPE = 4;

// The symbolic name of an event id ("EV_DEVICE_CONNECTED"); "EV_UNKNOWN" for others.
const char* EventName(std::uint32_t id);

// The text with every CR LF, LF or CR replaced by " | " and every other control as "\xNN"
// (PrintableText), for outputs that take one line: a terminal, the system log, --events.
std::string SingleLine(const std::string& text);

// The syslog message of an event: "<name> (0x<id>): <text on one line>", or
// "<name> (0x<id>)" when there is no text.
std::string FormatEventMessage(std::uint32_t id, const std::string* text);

// The syslog priority of an event type; an unknown type is logged as information.
int SyslogPriority(std::uint16_t type);

// Where the program's events go: the system log in service, a recorder in tests.
class IEventSink {
public:
    virtual ~IEventSink() = default;
    // Makes the source known to the log; true when done (or when there is nothing to do).
    virtual bool RegisterSource(const std::string& source, const std::string& messageFile) = 0;
    virtual bool Open(const std::string& source) = 0;
    // text null: the event has no insertion text.
    virtual bool Report(std::uint16_t type, std::uint32_t id, const std::string* text) = 0;
    virtual void Close() = 0;
};

// The system log through syslog(3), facility LOG_USER, identity = the source.
class CSyslogSink : public IEventSink {
public:
    bool RegisterSource(const std::string& source, const std::string& messageFile) override;
    bool Open(const std::string& source) override;
    bool Report(std::uint16_t type, std::uint32_t id, const std::string* text) override;
    void Close() override;

private:
    // openlog() keeps the identity pointer, so the string lives here and is only replaced
    // under the lock that also covers every syslog() call.
    std::mutex mutex_;
    std::string identity_;
};

struct CapturedEvent {
    std::uint16_t type = 0;
    std::uint32_t id = 0;
    std::optional<std::string> text;
};

// Records every call, for tests; safe to use from several threads.
class CCapturingSink : public IEventSink {
public:
    bool RegisterSource(const std::string& source, const std::string& messageFile) override;
    bool Open(const std::string& source) override;
    bool Report(std::uint16_t type, std::uint32_t id, const std::string* text) override;
    void Close() override;

    // Make the next calls fail, as a log that refuses the source would.
    void SetRegisterFails(bool fails);
    void SetOpenFails(bool fails);
    void SetReportFails(bool fails);

    std::vector<CapturedEvent> Events() const;
    std::vector<std::string> RegisteredSources() const;
    std::vector<std::string> MessageFiles() const;
    std::vector<std::string> OpenedSources() const;
    bool Closed() const;
    // Method names in call order ("RegisterSource", "Open", "Report", "Close").
    std::vector<std::string> Calls() const;

private:
    mutable std::mutex mutex_;
    bool registerFails_ = false;
    bool openFails_ = false;
    bool reportFails_ = false;
    bool closed_ = false;
    std::vector<CapturedEvent> events_;
    std::vector<std::string> registered_;
    std::vector<std::string> messageFiles_;
    std::vector<std::string> opened_;
    std::vector<std::string> calls_;
};

// Passes everything to another sink and also prints each event as one line
// ("2026-12-10 05:23:25 EV_DEVICE_CONNECTED 0x40000005 Amp 1 at 127.0.0.2"), so that a
// headless run shows its events on the terminal.
class CStderrEchoSink : public IEventSink {
public:
    explicit CStderrEchoSink(IEventSink& inner, std::FILE* out = stderr);

    bool RegisterSource(const std::string& source, const std::string& messageFile) override;
    bool Open(const std::string& source) override;
    bool Report(std::uint16_t type, std::uint32_t id, const std::string* text) override;
    void Close() override;

private:
    IEventSink& inner_;
    std::FILE* out_;
};

// The sink every CEventLog created from now on writes to: the installed one, else a
// process-wide CSyslogSink.
IEventSink& ProcessEventSink();
// Installs a sink (not owned; it must outlive its users); null restores the syslog sink.
void SetProcessEventSink(IEventSink* sink);
