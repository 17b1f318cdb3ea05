#pragma once

// The monitor's side of the event history: every logged event is handed to a writer thread,
// which keeps it in the history file. The main thread only stamps the time and queues, so a
// slow, locked, damaged or full file can never hold up monitoring; when the file cannot be
// used, the writer says why once and drops events until the next daily save tries again.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "history/EventStore.h"
#include "notify/Eventlog.h"
#include "platform/MessageTarget.h"

// What the writer posts to the monitor; wParam is one of HistoryReport. New events are not
// announced: a reader looks for them itself (they come often, and monitoring need not know).
constexpr std::uint32_t WM_EVENTHISTORY = 0x8320;
enum HistoryReport : std::uint32_t {
    HistoryFailed = 2,  // the file cannot be used: TakeFailure() says why
};

class CEventHistory : public IEventRecorder {
public:
    // Events are kept this long; older ones go at the daily save.
    static constexpr int RetentionDays = 400;
    // Events waiting for the writer beyond this are dropped, so that memory stays bounded
    // while the disk does not keep up.
    static constexpr std::size_t MaxQueued = 20000;

    // target (may be null) receives WM_EVENTHISTORY. The file is opened by the writer at the
    // first event, so that nothing is touched while logging is off.
    CEventHistory(std::string path, IMessageTarget* target,
                  CEventStore::Settings settings = CEventStore::Settings{});
    // Writes what is still queued (bounded by the file's busy timeout) and ends the writer.
    ~CEventHistory() override;
    CEventHistory(const CEventHistory&) = delete;
    CEventHistory& operator=(const CEventHistory&) = delete;

    // Stamps the event with the clock's time and queues it.
    void Record(std::uint16_t type, std::uint32_t id, const std::string* text,
                const EventDevice* device) override;
    // Queues a complete record as it is.
    void Add(EventRecord record);
    // Told of every event Record stamps, at once and on its thread, whether or not the file
    // will keep it: the live view of the network face needs no read of the file. Null: none.
    void SetListener(std::function<void(const EventRecord&)> listener) {
        listener_ = std::move(listener);
    }
    // The daily save's share: after a failure the file is tried again; then everything older
    // than RetentionDays before nowUs is removed.
    void DailyMaintenance(std::int64_t nowUs);
    // Only the removal of old events (at start-up); nothing while the file is failed.
    void Prune(std::int64_t nowUs);

    // Why the file could not be used, once per failure; empty otherwise.
    std::string TakeFailure();
    // Waits until everything handed over so far has been written or dropped, and the text
    // index of an older history is built; false after ms.
    bool WaitIdle(int ms);
    const std::string& Path() const { return path_; }
    std::uint64_t Dropped() const;

    // The clock's time now, as the history keeps times.
    static std::int64_t NowMicros();

private:
    void Run();
    void Failed(const std::string& reason);
    void Post(HistoryReport report);

    const std::string path_;
    IMessageTarget* const target_;
    const CEventStore::Settings settings_;
    CEventStore store_;  // the writer thread's alone

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<EventRecord> queue_;
    bool stop_ = false;
    bool busy_ = false;             // the writer holds records taken from the queue
    bool failed_ = false;           // events are dropped until the next daily save
    std::int64_t pruneBefore_ = 0;  // 0: nothing to prune
    bool indexing_ = false;         // an older history's text index is being built
    std::string failure_;           // not yet taken by the monitor
    std::uint64_t dropped_ = 0;
    std::function<void(const EventRecord&)> listener_;
    std::thread thread_;
};
