#include "comms/ReconnectWait.h"

#include <algorithm>

CReconnectWait::CReconnectWait(int firstMs, int longestMs, int livedMs)
    : firstMs_(std::max(0, firstMs)),
      longestMs_(std::max(firstMs_, longestMs)),
      livedMs_(std::max(0, livedMs)) {}

void CReconnectWait::SetLongest(int longestMs) {
    longestMs_ = std::max(firstMs_, longestMs);
}

void CReconnectWait::Connected(Clock::time_point now) {
    connectedAt_ = now;
}

bool CReconnectWait::Lived(Clock::time_point now) const {
    return now - connectedAt_ >= std::chrono::milliseconds(livedMs_);
}

int CReconnectWait::Lost(Clock::time_point now) {
    if (Lived(now)) {
        shortLinks_ = 0;
        return firstMs_;
    }
    // Doubling in 64 bits, at most 31 times, cannot overflow.
    long long wait = firstMs_;
    for (int i = 0; i < shortLinks_ && wait < longestMs_; ++i) wait *= 2;
    if (shortLinks_ < 31) ++shortLinks_;
    return static_cast<int>(std::min<long long>(wait, longestMs_));
}
