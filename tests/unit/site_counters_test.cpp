// The site's counters: the poll duration's histogram and how a poll's rounds end, and the
// events counted by kind on their way to the history.
#include <gtest/gtest.h>

#include <vector>

#include "monitoring/SiteCounters.h"
#include "platform/EventSink.h"

namespace {

using namespace std::chrono_literals;
using Clock = CPollRound::Clock;

TEST(PollDurationHistogramTest, EachDurationGoesToTheFirstBucketThatHoldsIt) {
    PollDurationHistogram h;
    // A bound belongs to its own bucket (Prometheus' "le": less than or equal).
    for (double s : {0.0, 0.005, 0.0051, 0.01, 10.0, 10.5}) h.Observe(s);
    EXPECT_EQ(h.Buckets[0], 2u);  // 0 and 0.005
    EXPECT_EQ(h.Buckets[1], 2u);  // 0.0051 and 0.01
    EXPECT_EQ(h.Buckets[h.Bounds.size() - 1], 1u);
    EXPECT_EQ(h.Count, 6u);
    EXPECT_DOUBLE_EQ(h.Sum, 0.0 + 0.005 + 0.0051 + 0.01 + 10.0 + 10.5);
}

TEST(PollRoundTest, APollEndsWithTheLastStatusOfTheDevicesAsked) {
    PollDurationHistogram h;
    CPollRound round;
    const Clock::time_point t0{};
    round.Start({1, 2, 3}, t0, h);
    EXPECT_FALSE(round.StatusArrived(2, t0 + 10ms, h));
    EXPECT_FALSE(round.StatusArrived(9, t0 + 15ms, h));  // not asked in this poll
    EXPECT_FALSE(round.StatusArrived(1, t0 + 20ms, h));
    EXPECT_FALSE(round.StatusArrived(2, t0 + 25ms, h));  // a second answer of the same device
    EXPECT_EQ(h.Count, 0u);
    EXPECT_TRUE(round.StatusArrived(3, t0 + 40ms, h));
    EXPECT_EQ(h.Count, 1u);
    EXPECT_DOUBLE_EQ(h.Sum, 0.040);
    // Statuses after the poll ended (a refresh, a mode change) are no poll of their own.
    EXPECT_FALSE(round.StatusArrived(3, t0 + 900ms, h));
    EXPECT_EQ(h.Count, 1u);
}

TEST(PollRoundTest, ANextPollEndsAnUnfinishedOneAtItsLastStatus) {
    PollDurationHistogram h;
    CPollRound round;
    const Clock::time_point t0{};
    round.Start({1, 2}, t0, h);
    round.StatusArrived(1, t0 + 30ms, h);  // device 2 never answers
    round.Start({1, 2}, t0 + 1s, h);
    EXPECT_EQ(h.Count, 1u);
    EXPECT_DOUBLE_EQ(h.Sum, 0.030);
    // A poll nobody answered has no duration; nor has one that asked nobody.
    round.Start({}, t0 + 2s, h);
    round.StatusArrived(1, t0 + 2100ms, h);
    round.Start({1}, t0 + 3s, h);
    EXPECT_EQ(h.Count, 1u);
    EXPECT_TRUE(round.StatusArrived(1, t0 + 3005ms, h));
    EXPECT_EQ(h.Count, 2u);
}

struct Recorded {
    std::uint16_t type;
    std::uint32_t id;
};

class ListRecorder : public IEventRecorder {
public:
    void Record(std::uint16_t type, std::uint32_t id, const std::string*,
                const EventDevice*) override {
        seen.push_back({type, id});
    }
    std::vector<Recorded> seen;
};

TEST(EventCounterTest, CountsByKindAndHandsEveryEventOn) {
    SiteCounters counters;
    int changes = 0;
    CEventCounter counter(counters, [&changes] { ++changes; });
    counter.Record(EVENTLOG_SUCCESS, 1, nullptr, nullptr);  // before the history is there
    ListRecorder history;
    counter.SetNext(&history);
    for (std::uint16_t type : {EVENTLOG_INFORMATION_TYPE, EVENTLOG_WARNING_TYPE,
                               EVENTLOG_ERROR_TYPE, EVENTLOG_ERROR_TYPE}) {
        counter.Record(type, 42, nullptr, nullptr);
    }
    EXPECT_EQ(counters.InformationEvents, 2u);  // a success is information
    EXPECT_EQ(counters.WarningEvents, 1u);
    EXPECT_EQ(counters.ErrorEvents, 2u);
    EXPECT_EQ(changes, 5);
    ASSERT_EQ(history.seen.size(), 4u);
    EXPECT_EQ(history.seen[1].type, EVENTLOG_WARNING_TYPE);
    EXPECT_EQ(history.seen[1].id, 42u);
}

}  // namespace
