#pragma once

#include <cstdint>
#include <string>

#include "platform/EventIds.h"
#include "platform/EventSink.h"

// The device an event concerns, as the event history keeps it.
struct EventDevice {
    std::string name;
    std::string address;
    std::string serial;
};

// Keeps a copy of every event that is written (the event history). Called on the writing
// thread, the main one; it must return at once.
class IEventRecorder {
public:
    virtual ~IEventRecorder() = default;
    virtual void Record(std::uint16_t type, std::uint32_t id, const std::string* text,
                        const EventDevice* device) = 0;
};

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
    // The same, for an event about one device: the history keeps the device with it.
    bool WriteEvent(std::uint32_t id, std::uint16_t type, const std::string& text,
                    const EventDevice& device);

    // Every event written from now on also goes to the recorder (not owned; null: none),
    // whether or not the system log took it.
    void SetRecorder(IEventRecorder* recorder) { recorder_ = recorder; }

private:
    bool Write(std::uint32_t id, std::uint16_t type, const std::string* text,
               const EventDevice* device);

    IEventSink& sink_;
    bool open_ = false;
    IEventRecorder* recorder_ = nullptr;
};
