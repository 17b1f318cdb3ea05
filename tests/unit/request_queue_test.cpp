#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "comms/RequestQueue.h"

namespace {

std::string Text(const CRequestQueue::Request& r) {
    return std::string(r.bytes, static_cast<std::size_t>(r.length));
}

TEST(RequestQueue, KeepsOrderRefusesWhenFullAndWrapsAround) {
    CRequestQueue queue;
    CRequestQueue::Request out;
    EXPECT_FALSE(queue.Pop(out));
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < CRequestQueue::Capacity; ++i) {
            const std::string text = "r" + std::to_string(round) + "-" + std::to_string(i);
            ASSERT_TRUE(queue.Push(text.data(), static_cast<int>(text.size()), i % 2 == 0));
        }
        // Full: the next request is refused and nothing waiting is replaced.
        EXPECT_FALSE(queue.Push("*s?\n", 4, true));
        EXPECT_EQ(queue.Count(), CRequestQueue::Capacity);
        // Half taken and the rest taken after more went in: the ring's start moves on.
        for (int i = 0; i < CRequestQueue::Capacity; ++i) {
            ASSERT_TRUE(queue.Pop(out));
            EXPECT_EQ(Text(out), "r" + std::to_string(round) + "-" + std::to_string(i));
            EXPECT_EQ(out.awaitsStatus, i % 2 == 0);
            if (i == 2) {
                ASSERT_TRUE(queue.Push("mid", 3, false));
            }
        }
        ASSERT_TRUE(queue.Pop(out));
        EXPECT_EQ(Text(out), "mid");
        EXPECT_FALSE(queue.Pop(out));
        EXPECT_EQ(queue.Count(), 0);
    }
}

TEST(RequestQueue, ClampsLongTextsKeepsEmptyOnesAndClears) {
    CRequestQueue queue;
    const std::string seventy(70, 'x');
    ASSERT_TRUE(queue.Push(seventy.data(), 70, true));
    ASSERT_TRUE(queue.Push(nullptr, 5, true));  // an empty request is queued as empty
    ASSERT_TRUE(queue.Push("*p1\n", 4, false));
    CRequestQueue::Request out;
    ASSERT_TRUE(queue.Pop(out));
    EXPECT_EQ(Text(out), std::string(64, 'x'));
    ASSERT_TRUE(queue.Pop(out));
    EXPECT_EQ(out.length, 0);
    EXPECT_EQ(queue.Clear(), 1);
    EXPECT_EQ(queue.Count(), 0);
    EXPECT_FALSE(queue.Pop(out));
    EXPECT_EQ(queue.Clear(), 0);
}

// One producer, one consumer, as the main thread and a connection thread: every request
// that was accepted comes out once, whole, and in the order it went in.
TEST(RequestQueueConcurrency, AcceptedRequestsComeOutInOrder) {
    CRequestQueue queue;
    constexpr int Requests = 20000;
    std::vector<int> accepted;
    std::vector<int> taken;
    std::atomic<bool> done{false};
    std::thread producer([&] {
        for (int i = 0; i < Requests; ++i) {
            const std::string text = std::to_string(i);
            if (queue.Push(text.data(), static_cast<int>(text.size()), true)) accepted.push_back(i);
        }
        done = true;
    });
    std::thread consumer([&] {
        CRequestQueue::Request out;
        for (;;) {
            const bool last = done.load();
            if (queue.Pop(out)) {
                taken.push_back(std::stoi(Text(out)));
            } else if (last) {
                break;  // the producer had finished before this look found the queue empty
            } else {
                std::this_thread::yield();
            }
        }
    });
    producer.join();
    consumer.join();
    EXPECT_EQ(taken, accepted);
    EXPECT_FALSE(accepted.empty());
}

}  // namespace
