#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <set>

#include "notify/Eventlog.h"

// How long polls take, from the poll to the last status that answered it, in the buckets
// a scraper shows: Bucket[i] counts the polls that took more than Bounds[i-1] and at most
// Bounds[i] seconds; the slowest go only to Count.
struct PollDurationHistogram {
    static constexpr std::array<double, 11> Bounds = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25,
                                                      0.5,   1.0,  2.5,   5.0,  10.0};
    std::array<std::uint64_t, Bounds.size()> Buckets{};
    std::uint64_t Count = 0;
    double Sum = 0;

    void Observe(double seconds);
};

// What the site has done since the monitor started, for the metrics page. Kept on the core's
// thread; readers take a copy there.
struct SiteCounters {
    std::uint64_t AlertEmailsDelivered = 0;
    std::uint64_t AlertEmailsFailed = 0;
    // By the history's kinds: a success event counts as information.
    std::uint64_t InformationEvents = 0;
    std::uint64_t WarningEvents = 0;
    std::uint64_t ErrorEvents = 0;
    PollDurationHistogram PollDuration;

    void CountEvent(std::uint16_t type);
};

// One poll under way: the devices asked, and when the last answer came. A device that does
// not answer before the next poll leaves its poll ending at the last status that did come.
class CPollRound {
public:
    using Clock = std::chrono::steady_clock;

    // Closes the poll before (into the histogram) and starts one for the devices asked.
    void Start(std::set<std::uint16_t> asked, Clock::time_point now, PollDurationHistogram& h);
    // A status of the device arrived; true when it closed the poll into the histogram.
    bool StatusArrived(std::uint16_t deviceId, Clock::time_point now, PollDurationHistogram& h);

private:
    void Close(PollDurationHistogram& h);

    std::set<std::uint16_t> waiting_;
    Clock::time_point started_{};
    Clock::time_point lastAnswer_{};
    bool answered_ = false;
};

// Counts every event written, then hands it on to the history (when there is one).
class CEventCounter : public IEventRecorder {
public:
    CEventCounter(SiteCounters& counters, std::function<void()> changed)
        : counters_(counters), changed_(std::move(changed)) {}
    void SetNext(IEventRecorder* next) { next_ = next; }
    void Record(std::uint16_t type, std::uint32_t id, const std::string* text,
                const EventDevice* device) override;

private:
    SiteCounters& counters_;
    std::function<void()> changed_;
    IEventRecorder* next_ = nullptr;
};
