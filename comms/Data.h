#pragma once

#include <cstdint>
#include <mutex>
#include <shared_mutex>

// The receive store shared by the worker threads and the main thread: fixed arrays, one lock
// per store, held only while copying. No operation allocates. Requests to the devices do not
// pass through here: each connection thread keeps its own queue of them (CRequestQueue).
//
// The status store keeps one slot per device: the newest message of that device. A device
// that sends its status many times only rewrites its own slot, so a burst from many devices
// (each asked twice at start-up) can never push another device's status out. Slots are taken
// by device id as they first write; a deleted device's slot is handed back with
// ReleaseStatus. Ids are never reused within a run, so should the table ever fill up (more
// writing devices than slots, which the registration limit keeps far off), the slot written
// longest ago is the one taken over: a device that has stopped writing, before any live one.
class CData {
public:
    static constexpr int StatusSlots = 256;
    static constexpr int StatusBytes = 256;
    static constexpr int ReplySlots = 50;
    static constexpr int ReplyBytes = 64;
    static constexpr int DiscoveryRequestBytes = 32;

    CData() = default;
    CData(const CData&) = delete;
    CData& operator=(const CData&) = delete;

    bool PutStatusMessage(std::uint16_t deviceId, const char* buf, int len);
    int GetStatusMessage(std::uint16_t deviceId, char* dest, int capacity) const;
    // Forgets the device's status and frees its slot (the device was deleted).
    void ReleaseStatus(std::uint16_t deviceId);

    bool PutReply(const std::uint8_t* addr, const char* buf, int len);
    int TakeReply(std::uint8_t* addr, char* dest, int capacity);
    int ReplyCount() const;

    void SetDiscoveryRequest(const char* buf, int len);
    int GetDiscoveryRequest(char* dest, int capacity) const;

private:
    struct StatusSlot {
        std::uint16_t deviceId = 0;  // 0: free
        char bytes[StatusBytes] = {};
        std::int32_t length = 0;
        std::uint64_t written = 0;  // write sequence number: which slot is the oldest
    };
    struct ReplyEntry {
        std::uint8_t addr[4] = {};
        char bytes[ReplyBytes] = {};
        std::int32_t length = 0;
    };
    struct RequestSlot {
        char bytes[DiscoveryRequestBytes] = {};
        std::int32_t length = 0;
    };

    StatusSlot& SlotForWrite(std::uint16_t deviceId);
    const StatusSlot* FindStatus(std::uint16_t deviceId) const;

    static void StoreRequest(RequestSlot& slot, const char* buf, int len, int limit);
    static int CopyRequest(const RequestSlot& slot, char* dest, int capacity);

    mutable std::shared_mutex statusLock_;
    StatusSlot status_[StatusSlots];
    std::uint64_t statusWrites_ = 0;

    mutable std::mutex replyLock_;
    ReplyEntry replies_[ReplySlots];
    std::int32_t replyWrite_ = 0;
    std::int32_t replyRead_ = 0;

    mutable std::mutex requestLock_;
    RequestSlot discovery_;
};
