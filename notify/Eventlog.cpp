#include "notify/Eventlog.h"

CEventLog::CEventLog(const std::string& source, const std::string& messageFile)
    : sink_(ProcessEventSink()) {
    RegisterSource(source, messageFile);
    Open(source);
}

CEventLog::~CEventLog() {
    if (open_) sink_.Close();
}

bool CEventLog::RegisterSource(const std::string& source, const std::string& messageFile) {
    return sink_.RegisterSource(source, messageFile);
}

bool CEventLog::Open(const std::string& source) {
    open_ = sink_.Open(source);
    return open_;
}

bool CEventLog::WriteEvent(std::uint32_t id, std::uint16_t type) {
    return Write(id, type, nullptr, nullptr);
}

bool CEventLog::WriteEvent(std::uint32_t id, std::uint16_t type, const std::string& text) {
    return Write(id, type, &text, nullptr);
}

bool CEventLog::WriteEvent(std::uint32_t id, std::uint16_t type, const std::string& text,
                           const EventDevice& device) {
    return Write(id, type, &text, &device);
}

bool CEventLog::Write(std::uint32_t id, std::uint16_t type, const std::string* text,
                      const EventDevice* device) {
    // The history does not depend on the system log: a log that refused the source still
    // leaves the program's own record whole.
    if (recorder_) recorder_->Record(type, id, text, device);
    if (!open_) return false;
    return sink_.Report(type, id, text);
}
