#include <gtest/gtest.h>

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

}  // namespace
