#include "comms/RequestQueue.h"

#include <cstring>

bool CRequestQueue::Push(const char* buf, int len, bool awaitsStatus) {
    if (buf == nullptr || len < 0) len = 0;
    if (len > RequestBytes) len = RequestBytes;
    std::lock_guard lock(lock_);
    if (count_ == Capacity) return false;
    Request& slot = ring_[(first_ + count_) % Capacity];
    if (len > 0) std::memcpy(slot.bytes, buf, static_cast<std::size_t>(len));
    slot.length = len;
    slot.awaitsStatus = awaitsStatus;
    ++count_;
    return true;
}

bool CRequestQueue::Pop(Request& out) {
    std::lock_guard lock(lock_);
    if (count_ == 0) return false;
    out = ring_[first_];
    first_ = (first_ + 1) % Capacity;
    --count_;
    return true;
}

int CRequestQueue::Count() const {
    std::lock_guard lock(lock_);
    return count_;
}

int CRequestQueue::Clear() {
    std::lock_guard lock(lock_);
    const int dropped = count_;
    first_ = 0;
    count_ = 0;
    return dropped;
}
