#pragma once

#include <cstdint>
#include <mutex>
#include <shared_mutex>

// The receive store shared by the worker threads and the main thread: fixed arrays, one lock
// per store, held only while copying. No operation allocates.
class CData {
public:
    static constexpr int StatusSlots = 50;
    static constexpr int StatusBytes = 256;
    static constexpr int ReplySlots = 50;
    static constexpr int ReplyBytes = 64;
    static constexpr int RequestBytes = 64;
    static constexpr int DiscoveryRequestBytes = 32;

    CData() = default;
    CData(const CData&) = delete;
    CData& operator=(const CData&) = delete;

    bool PutStatusMessage(std::uint16_t deviceId, const char* buf, int len);
    int GetStatusMessage(std::uint16_t deviceId, char* dest, int capacity) const;

    bool PutReply(const std::uint8_t* addr, const char* buf, int len);
    int TakeReply(std::uint8_t* addr, char* dest, int capacity);
    int ReplyCount() const;

    void SetRequest(const char* buf, int len);
    int GetRequest(char* dest, int capacity) const;
    void SetDiscoveryRequest(const char* buf, int len);
    int GetDiscoveryRequest(char* dest, int capacity) const;

private:
    struct StatusSlot {
        std::uint16_t deviceId = 0;
        char bytes[StatusBytes] = {};
        std::int32_t length = 0;
    };
    struct ReplyEntry {
        std::uint8_t addr[4] = {};
        char bytes[ReplyBytes] = {};
        std::int32_t length = 0;
    };
    struct RequestSlot {
        char bytes[RequestBytes] = {};
        std::int32_t length = 0;
    };

    static void StoreRequest(RequestSlot& slot, const char* buf, int len, int limit);
    static int CopyRequest(const RequestSlot& slot, char* dest, int capacity);

    mutable std::shared_mutex statusLock_;
    StatusSlot status_[StatusSlots];
    std::int32_t statusNext_ = 0;

    mutable std::mutex replyLock_;
    ReplyEntry replies_[ReplySlots];
    std::int32_t replyWrite_ = 0;
    std::int32_t replyRead_ = 0;

    mutable std::mutex requestLock_;
    RequestSlot request_;
    RequestSlot discovery_;
};
