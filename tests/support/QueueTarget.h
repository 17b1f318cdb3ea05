#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/MessageTarget.h"

// A message target for tests: records every posted message in order and lets a test wait
// for the one it expects.
class QueueTarget : public IMessageTarget {
public:
    struct Message {
        std::uint32_t msg;
        std::uint32_t wParam;
        std::uint32_t lParam;
        std::uint16_t Code() const { return static_cast<std::uint16_t>(wParam & 0xFFFF); }
        std::uint16_t High() const { return static_cast<std::uint16_t>(wParam >> 16); }
    };
    using Clock = std::chrono::steady_clock;

    void Post(std::uint32_t msg, std::uint32_t wParam, std::uint32_t lParam) override {
        {
            std::lock_guard lock(mutex_);
            messages_.push_back(Entry{Message{msg, wParam, lParam}, Clock::now()});
        }
        cv_.notify_all();
    }

    // Takes the messages in order up to and including the first that matches; nullopt when
    // none matches within the time limit (the messages before stay queued then).
    std::optional<Message> WaitFor(const std::function<bool(const Message&)>& match,
                                   std::chrono::milliseconds limit,
                                   std::vector<Message>* skipped = nullptr) {
        std::unique_lock lock(mutex_);
        std::optional<Message> found;
        cv_.wait_for(lock, limit, [&] {
            for (std::size_t i = 0; i < messages_.size(); ++i) {
                if (match(messages_[i].m)) {
                    found = messages_[i].m;
                    for (std::size_t k = 0; k < i; ++k) {
                        if (skipped) skipped->push_back(messages_[k].m);
                    }
                    messages_.erase(messages_.begin(), messages_.begin() + static_cast<long>(i) + 1);
                    return true;
                }
            }
            return false;
        });
        return found;
    }

    std::optional<Message> WaitForCode(std::uint16_t code, std::chrono::milliseconds limit,
                                       std::vector<Message>* skipped = nullptr) {
        return WaitFor([code](const Message& m) { return m.Code() == code; }, limit, skipped);
    }

    // Everything queued so far, removed from the queue.
    std::vector<Message> Drain() {
        std::lock_guard lock(mutex_);
        std::vector<Message> out;
        for (const auto& e : messages_) out.push_back(e.m);
        messages_.clear();
        return out;
    }

    // Waits a while and returns what arrived, removed from the queue.
    std::vector<Message> Collect(std::chrono::milliseconds window) {
        std::unique_lock lock(mutex_);
        cv_.wait_for(lock, window, [] { return false; });
        std::vector<Message> out;
        for (const auto& e : messages_) out.push_back(e.m);
        messages_.clear();
        return out;
    }

private:
    struct Entry {
        Message m;
        Clock::time_point at;
    };
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Entry> messages_;
};
