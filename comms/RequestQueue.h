#pragma once

#include <cstdint>
#include <mutex>

// The requests waiting to go out on one connection, oldest first. Each connection has its
// own, so no request ever replaces another: the main thread may hand over the next request
// while the thread still waits for the answer to the previous one. The ring is small and
// fixed; what does not fit is refused, and the caller says so.
class CRequestQueue {
public:
    static constexpr int Capacity = 8;
    static constexpr int RequestBytes = 64;

    struct Request {
        char bytes[RequestBytes] = {};
        std::int32_t length = 0;
        // A status query is answered with a status; a mode or channel request may or may
        // not be, so the sender waits for its answer only until the next request is due.
        bool awaitsStatus = true;
    };

    // Stores at most the first RequestBytes bytes; false when the queue is full.
    bool Push(const char* buf, int len, bool awaitsStatus);
    // The oldest request, removed; false when there is none.
    bool Pop(Request& out);
    int Count() const;
    // Forgets every waiting request; returns how many there were.
    int Clear();

private:
    mutable std::mutex lock_;
    Request ring_[Capacity];
    int first_ = 0;
    int count_ = 0;
};
