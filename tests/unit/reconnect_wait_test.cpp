// The wait before the next attempt after a lost link: short-lived links in a row double it up
// to the longest, a link that lived resets it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "comms/ReconnectWait.h"

namespace {

using Clock = CReconnectWait::Clock;
using std::chrono::milliseconds;

// One link: how long it lasted, and the wait the loss must give.
struct Link {
    int livedMs;
    int expectedWaitMs;
};

struct WaitCase {
    const char* name;
    int firstMs, longestMs, livedMs;
    std::vector<Link> links;
};

class ReconnectWaitTest : public testing::TestWithParam<WaitCase> {};

TEST_P(ReconnectWaitTest, GivesTheWaitAfterEachLostLink) {
    const WaitCase& c = GetParam();
    CReconnectWait wait(c.firstMs, c.longestMs, c.livedMs);
    Clock::time_point now{};
    for (std::size_t i = 0; i < c.links.size(); ++i) {
        wait.Connected(now);
        now += milliseconds(c.links[i].livedMs);
        EXPECT_EQ(wait.Lived(now), c.links[i].livedMs >= c.livedMs) << "link " << i;
        EXPECT_EQ(wait.Lost(now), c.links[i].expectedWaitMs) << "link " << i;
        EXPECT_EQ(wait.Failing(), c.links[i].livedMs < c.livedMs) << "link " << i;
        now += milliseconds(c.links[i].expectedWaitMs);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReconnectWaitTest,
    testing::Values(WaitCase{"closed_at_once_doubles_up_to_the_longest",
                             2000,
                             60000,
                             30000,
                             {{0, 2000},
                              {0, 4000},
                              {0, 8000},
                              {1, 16000},
                              {5, 32000},
                              {0, 60000},
                              {0, 60000},
                              {0, 60000}}},
                    WaitCase{
                        "a_link_that_lived_resets_the_wait",
                        2000,
                        60000,
                        30000,
                        {{0, 2000}, {0, 4000}, {0, 8000}, {30000, 2000}, {0, 2000}, {29999, 4000}}},
                    WaitCase{"every_link_lived",
                             2000,
                             60000,
                             30000,
                             {{30000, 2000}, {3600000, 2000}, {45000, 2000}}},
                    WaitCase{"a_longest_below_the_first_is_the_first",
                             2000,
                             500,
                             30000,
                             {{0, 2000}, {0, 2000}, {0, 2000}}},
                    WaitCase{"a_longest_between_doublings_caps_the_last",
                             2000,
                             5000,
                             30000,
                             {{0, 2000}, {0, 4000}, {0, 5000}, {0, 5000}}}),
    [](const auto& info) { return std::string(info.param.name); });

// Hundreds of failures in a row (a peer that drops every link for hours) stay at the longest.
TEST(ReconnectWait, StaysAtTheLongestHoweverLongItFails) {
    CReconnectWait wait(2000, 300000, 30000);
    const Clock::time_point now{};
    int last = 0;
    for (int i = 0; i < 1000; ++i) {
        wait.Connected(now);
        last = wait.Lost(now);
    }
    EXPECT_EQ(last, 300000);
    EXPECT_TRUE(wait.Failing());
}

}  // namespace
