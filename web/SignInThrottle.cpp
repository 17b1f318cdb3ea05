#include "web/SignInThrottle.h"

#include <algorithm>

CSignInThrottle::CSignInThrottle(SteadyNow now) : now_(std::move(now)) {}

std::chrono::milliseconds CSignInThrottle::Delay(int streak) {
    if (streak < FreeFailures) return std::chrono::milliseconds(0);
    const int doublings = std::min(streak - FreeFailures, 5);
    return std::min<std::chrono::milliseconds>(std::chrono::seconds(1) * (1 << doublings),
                                               LongestWait);
}

std::chrono::milliseconds CSignInThrottle::WaitFor(const std::string& address) {
    const auto now = now_();
    const std::lock_guard lock(mutex_);
    const auto found = records_.find(address);
    if (found == records_.end() || found->second.streak == 0) return {};
    const Record& record = found->second;
    const auto allowed = record.recent.back() + Delay(record.streak);
    if (allowed <= now) return {};
    return std::chrono::ceil<std::chrono::milliseconds>(allowed - now);
}

void CSignInThrottle::Failed(const std::string& address) {
    const auto now = now_();
    const std::lock_guard lock(mutex_);
    if (records_.size() >= MaxAddresses && !records_.contains(address)) Forget(now);
    Record& record = records_[address];
    // A minute without a failure starts the count afresh.
    if (!record.recent.empty() && now - record.recent.back() >= Window) record = Record{};
    while (!record.recent.empty() && now - record.recent.front() >= Window)
        record.recent.pop_front();
    record.recent.push_back(now);
    if (record.streak > 0) {
        ++record.streak;
    } else if (record.recent.size() >= static_cast<std::size_t>(FreeFailures)) {
        record.streak = FreeFailures;
    }
    // Once slowed down, only the last failure's time matters.
    while (record.recent.size() > static_cast<std::size_t>(FreeFailures)) record.recent.pop_front();
}

void CSignInThrottle::Succeeded(const std::string& address) {
    const std::lock_guard lock(mutex_);
    records_.erase(address);
}

void CSignInThrottle::Forget(std::chrono::steady_clock::time_point now) {
    std::erase_if(records_, [&](const auto& item) {
        return item.second.recent.empty() || now - item.second.recent.back() >= Window;
    });
    if (records_.size() < MaxAddresses) return;
    const auto quietest = std::min_element(records_.begin(), records_.end(), [](auto& a, auto& b) {
        return a.second.recent.back() < b.second.recent.back();
    });
    records_.erase(quietest);
}
