#include "monitoring/SiteCounters.h"

#include <algorithm>
#include <utility>

#include "platform/EventSink.h"

void PollDurationHistogram::Observe(double seconds) {
    const auto* bound = std::lower_bound(Bounds.begin(), Bounds.end(), seconds);
    if (bound != Bounds.end()) ++Buckets[static_cast<std::size_t>(bound - Bounds.begin())];
    ++Count;
    Sum += seconds;
}

void SiteCounters::CountEvent(std::uint16_t type) {
    switch (type) {
        case EVENTLOG_ERROR_TYPE:
            ++ErrorEvents;
            break;
        case EVENTLOG_WARNING_TYPE:
            ++WarningEvents;
            break;
        default:
            ++InformationEvents;
            break;
    }
}

void CPollRound::Start(std::set<std::uint16_t> asked, Clock::time_point now,
                       PollDurationHistogram& h) {
    Close(h);
    waiting_ = std::move(asked);
    started_ = now;
    answered_ = false;
}

bool CPollRound::StatusArrived(std::uint16_t deviceId, Clock::time_point now,
                               PollDurationHistogram& h) {
    if (waiting_.erase(deviceId) == 0) return false;
    lastAnswer_ = now;
    answered_ = true;
    if (!waiting_.empty()) return false;
    Close(h);
    return true;
}

void CPollRound::Close(PollDurationHistogram& h) {
    // A poll nobody answered has no last status: it is not a duration.
    if (answered_) h.Observe(std::chrono::duration<double>(lastAnswer_ - started_).count());
    waiting_.clear();
    answered_ = false;
}

void CEventCounter::Record(std::uint16_t type, std::uint32_t id, const std::string* text,
                           const EventDevice* device) {
    counters_.CountEvent(type);
    if (changed_) changed_();
    if (next_) next_->Record(type, id, text, device);
}
