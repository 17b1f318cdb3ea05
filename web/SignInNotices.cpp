#include "web/SignInNotices.h"

#include <algorithm>

namespace {

// Accepted sign-ins by user and address; refusals by address, way and reason, not by the
// name given, so that trying many names is one series.
std::string SeriesOf(const SignInAttempt& attempt) {
    if (attempt.accepted) return "+\n" + attempt.how + '\n' + attempt.user + '\n' + attempt.address;
    return "-\n" + attempt.how + '\n' + attempt.reason + '\n' + attempt.address;
}

}  // namespace

CSignInNotices::CSignInNotices(SteadyNow now) : now_(std::move(now)) {}

bool CSignInNotices::Note(const SignInAttempt& attempt) {
    if (attempt.accepted && attempt.how == "form") return true;
    const auto now = now_();
    std::string series = SeriesOf(attempt);
    const std::lock_guard lock(mutex_);
    const auto found = lastSeen_.find(series);
    if (found != lastSeen_.end()) {
        const bool resumed = now - found->second >= QuietGap;
        found->second = now;
        return resumed;
    }
    if (lastSeen_.size() >= MaxSeries) MakeRoom(now);
    lastSeen_.emplace(std::move(series), now);
    return true;
}

void CSignInNotices::MakeRoom(TimePoint now) {
    std::erase_if(lastSeen_, [&](const auto& item) { return now - item.second >= QuietGap; });
    if (lastSeen_.size() < MaxSeries) return;
    lastSeen_.erase(std::min_element(lastSeen_.begin(), lastSeen_.end(), [](auto& a, auto& b) {
        return a.second < b.second;
    }));
}
