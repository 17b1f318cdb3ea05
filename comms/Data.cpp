#include "comms/Data.h"

#include <cstring>

const CData::StatusSlot* CData::FindStatus(std::uint16_t deviceId) const {
    if (deviceId == 0) return nullptr;
    for (const StatusSlot& slot : status_) {
        if (slot.deviceId == deviceId) return &slot;
    }
    return nullptr;
}

// The device's own slot; else a free one; else the one written longest ago.
CData::StatusSlot& CData::SlotForWrite(std::uint16_t deviceId) {
    StatusSlot* free = nullptr;
    StatusSlot* oldest = nullptr;
    for (StatusSlot& slot : status_) {
        if (slot.deviceId == deviceId) return slot;
        if (slot.deviceId == 0) {
            if (free == nullptr) free = &slot;
        } else if (oldest == nullptr || slot.written < oldest->written) {
            oldest = &slot;
        }
    }
    return free ? *free : *oldest;
}

bool CData::PutStatusMessage(std::uint16_t deviceId, const char* buf, int len) {
    // Id 0 marks a free slot; no device has it.
    if (deviceId == 0 || len > StatusBytes || len < 0 || (len > 0 && buf == nullptr)) return false;
    std::unique_lock lock(statusLock_);
    StatusSlot& slot = SlotForWrite(deviceId);
    if (len > 0) std::memcpy(slot.bytes, buf, static_cast<std::size_t>(len));
    slot.length = len;
    slot.deviceId = deviceId;
    slot.written = ++statusWrites_;
    return true;
}

int CData::GetStatusMessage(std::uint16_t deviceId, char* dest, int capacity) const {
    if (capacity < StatusBytes || dest == nullptr) return -1;
    std::shared_lock lock(statusLock_);
    const StatusSlot* slot = FindStatus(deviceId);
    if (slot == nullptr) return 0;
    std::memcpy(dest, slot->bytes, static_cast<std::size_t>(slot->length));
    return slot->length;
}

void CData::ReleaseStatus(std::uint16_t deviceId) {
    if (deviceId == 0) return;
    std::unique_lock lock(statusLock_);
    for (StatusSlot& slot : status_) {
        if (slot.deviceId != deviceId) continue;
        slot = StatusSlot{};
        return;
    }
}

bool CData::PutReply(const std::uint8_t* addr, const char* buf, int len) {
    if (len > ReplyBytes || len < 0 || addr == nullptr || (len > 0 && buf == nullptr)) return false;
    std::lock_guard lock(replyLock_);
    ReplyEntry& entry = replies_[replyWrite_];
    std::memcpy(entry.addr, addr, sizeof entry.addr);
    if (len > 0) std::memcpy(entry.bytes, buf, static_cast<std::size_t>(len));
    entry.length = len;
    replyWrite_ = (replyWrite_ + 1) % ReplySlots;
    if (replyWrite_ == replyRead_)
        replyRead_ = (replyRead_ + 1) % ReplySlots;  // full: drop the oldest
    return true;
}

int CData::TakeReply(std::uint8_t* addr, char* dest, int capacity) {
    if (capacity < ReplyBytes || dest == nullptr || addr == nullptr) return -1;
    std::lock_guard lock(replyLock_);
    if (replyWrite_ == replyRead_) return 0;
    const ReplyEntry& entry = replies_[replyRead_];
    std::memcpy(addr, entry.addr, sizeof entry.addr);
    std::memcpy(dest, entry.bytes, static_cast<std::size_t>(entry.length));
    replyRead_ = (replyRead_ + 1) % ReplySlots;
    return entry.length;
}

int CData::ReplyCount() const {
    std::lock_guard lock(replyLock_);
    if (replyWrite_ >= replyRead_) return replyWrite_ - replyRead_;
    return ReplySlots - replyRead_ + replyWrite_;
}

void CData::StoreRequest(RequestSlot& slot, const char* buf, int len, int limit) {
    if (buf == nullptr || len < 0) len = 0;
    if (len > limit) len = limit;
    if (len > 0) std::memcpy(slot.bytes, buf, static_cast<std::size_t>(len));
    slot.length = len;
}

int CData::CopyRequest(const RequestSlot& slot, char* dest, int capacity) {
    if (slot.length > capacity || dest == nullptr) return 0;
    std::memcpy(dest, slot.bytes, static_cast<std::size_t>(slot.length));
    return slot.length;
}

void CData::SetDiscoveryRequest(const char* buf, int len) {
    std::lock_guard lock(requestLock_);
    StoreRequest(discovery_, buf, len, DiscoveryRequestBytes);
}

int CData::GetDiscoveryRequest(char* dest, int capacity) const {
    std::lock_guard lock(requestLock_);
    return CopyRequest(discovery_, dest, capacity);
}
