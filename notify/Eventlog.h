#pragma once

#include <cstdint>
#include <string>

#include "platform/EventIds.h"
#include "platform/EventSink.h"

// The program's one way into the system log. Writes go to the process event sink that was
// installed when the object was made; a log that could not be opened drops every event.
class CEventLog {
public:
    // Registers the source (a refusal is not fatal: the log is opened anyway) and opens it.
    CEventLog(const std::string& source, const std::string& messageFile);
    ~CEventLog();
    CEventLog(const CEventLog&) = delete;
    CEventLog& operator=(const CEventLog&) = delete;

    bool RegisterSource(const std::string& source, const std::string& messageFile);
    bool Open(const std::string& source);

    // false when the log is not open or the sink refused the event. The text goes to the
    // sink exactly as given.
    bool WriteEvent(std::uint32_t id, std::uint16_t type);
    bool WriteEvent(std::uint32_t id, std::uint16_t type, const std::string& text);

private:
    bool Write(std::uint32_t id, std::uint16_t type, const std::string* text);

    IEventSink& sink_;
    bool open_ = false;
};
