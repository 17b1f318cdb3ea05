#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "web/SignInThrottle.h"

namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;

class SignInThrottleTest : public ::testing::Test {
protected:
    std::chrono::steady_clock::time_point now{};
    CSignInThrottle throttle{[this] { return now; }};
    const std::string address = "127.0.0.9";

    void FailTimes(int count, std::chrono::milliseconds apart = 1s) {
        for (int i = 0; i < count; ++i) {
            throttle.Failed(address);
            if (i + 1 < count) now += apart;
        }
    }
};

TEST_F(SignInThrottleTest, FourFailuresCostNothingTheFifthSlowsDown) {
    FailTimes(4);
    EXPECT_EQ(throttle.WaitFor(address), milliseconds(0));
    throttle.Failed(address);
    EXPECT_EQ(throttle.WaitFor(address), milliseconds(1000));
    now += 400ms;
    EXPECT_EQ(throttle.WaitFor(address), milliseconds(600));
    now += 600ms;
    EXPECT_EQ(throttle.WaitFor(address), milliseconds(0));
}

TEST_F(SignInThrottleTest, EachFurtherFailureDoublesTheWaitUpToThirtySeconds) {
    FailTimes(5);
    const milliseconds expected[] = {2s, 4s, 8s, 16s, 30s, 30s, 30s};
    for (const milliseconds wait : expected) {
        now += throttle.WaitFor(address);  // a patient guesser, trying as soon as allowed
        throttle.Failed(address);
        EXPECT_EQ(throttle.WaitFor(address), wait);
    }
}

TEST_F(SignInThrottleTest, FailuresSpreadOverMoreThanAMinuteDoNotSlowDown) {
    // Five failures, but never five within one minute.
    FailTimes(5, 15s);
    EXPECT_EQ(throttle.WaitFor(address), milliseconds(0));
    now += 1s;
    throttle.Failed(address);  // the last five now fall within 60 s
    EXPECT_EQ(throttle.WaitFor(address), milliseconds(1000));
}

TEST_F(SignInThrottleTest, QuietMinuteOrRightPasswordEndsTheSlowDown) {
    FailTimes(8);
    ASSERT_GT(throttle.WaitFor(address), milliseconds(0));
    now += 60s;
    throttle.Failed(address);
    EXPECT_EQ(throttle.WaitFor(address), milliseconds(0)) << "a quiet minute starts afresh";

    FailTimes(5);
    ASSERT_GT(throttle.WaitFor(address), milliseconds(0));
    throttle.Succeeded(address);
    EXPECT_EQ(throttle.WaitFor(address), milliseconds(0));
    FailTimes(4);
    EXPECT_EQ(throttle.WaitFor(address), milliseconds(0)) << "a success starts afresh";
}

TEST_F(SignInThrottleTest, OneAddressIsNotSlowedDownForAnothersFailures) {
    FailTimes(6);
    EXPECT_EQ(throttle.WaitFor("127.0.0.10"), milliseconds(0));
    EXPECT_GT(throttle.WaitFor(address), milliseconds(0));
}

TEST(SignInThrottleThreadsTest, FailuresFromManyThreadsAreAllCounted) {
    CSignInThrottle throttle;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 100; ++i) {
                throttle.Failed("127.0.0.1");
                throttle.Failed("127.0.1." + std::to_string(t));
                throttle.WaitFor("127.0.0.1");
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    // Hundreds of failures within a second: the longest wait, short only by the time since.
    EXPECT_GT(throttle.WaitFor("127.0.0.1"), std::chrono::seconds(25));
    EXPECT_GT(throttle.WaitFor("127.0.1.3"), std::chrono::seconds(25));
    EXPECT_EQ(throttle.WaitFor("127.0.2.1"), std::chrono::milliseconds(0));
}

}  // namespace
