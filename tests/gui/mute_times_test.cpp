// When a mute of a device's alerts ends, and how the end reads: the next morning by the wall
// clock also on the days the clocks change, and the words of the list's hint.
#include <gtest/gtest.h>

#include <QDateTime>
#include <ostream>

#include "dialogs/MuteTimes.h"
#include "monitoring/MonitorCore.h"
#include "support/LocalTimes.h"
#include "support/ScopedTimeZone.h"

namespace {

std::int64_t Utc(const char* iso) {
    const QDateTime t = QDateTime::fromString(QString::fromLatin1(iso), Qt::ISODate);
    EXPECT_TRUE(t.isValid()) << iso;
    return t.toSecsSinceEpoch();
}

struct MorningCase {
    const char* what;
    const char* zone;
    LocalDateTime now;
    const char* expected;  // UTC
    friend void PrintTo(const MorningCase& c, std::ostream* out) { *out << c.what; }
};

class TomorrowMorningTest : public testing::TestWithParam<MorningCase> {};

TEST_P(TomorrowMorningTest, IsTheNextDaysEightOClockOnTheWall) {
    const MorningCase& c = GetParam();
    const ScopedTimeZone zone(c.zone);
    EXPECT_EQ(TomorrowMorning(c.now), Utc(c.expected)) << c.what;
    EXPECT_EQ(MuteEnd(MuteLength::UntilTomorrowMorning, c.now), Utc(c.expected)) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Days, TomorrowMorningTest,
    testing::Values(
        MorningCase{"afternoon", "Europe/Berlin", LocalAt(2026, 12, 11, 13, 40),
                    "2026-12-12T07:00:00Z"},
        // Early in the morning it is still tomorrow's 08:00, not today's in a few hours.
        MorningCase{"before eight", "Europe/Berlin", LocalAt(2026, 12, 11, 6, 30),
                    "2026-12-12T07:00:00Z"},
        MorningCase{"at eight", "Europe/Berlin", LocalAt(2026, 12, 11, 8, 0),
                    "2026-12-12T07:00:00Z"},
        MorningCase{"just before midnight", "Europe/Berlin", LocalAt(2026, 12, 11, 23, 59),
                    "2026-12-12T07:00:00Z"},
        MorningCase{"new year", "Europe/Berlin", LocalAt(2026, 12, 31, 22, 0),
                    "2027-01-01T07:00:00Z"},
        MorningCase{"leap day", "Europe/Berlin", LocalAt(2024, 2, 28, 17, 0),
                    "2024-02-29T07:00:00Z"},
        // The night the clocks go forward has 23 hours, the one they go back 25: still 08:00.
        MorningCase{"eve of summer time", "Europe/Berlin", LocalAt(2026, 3, 28, 20, 0),
                    "2026-03-29T06:00:00Z"},
        MorningCase{"eve of winter time", "Europe/Berlin", LocalAt(2026, 10, 24, 20, 0),
                    "2026-10-25T07:00:00Z"},
        MorningCase{"eve of summer time, America", "America/New_York", LocalAt(2026, 3, 7, 18, 0),
                    "2026-03-08T12:00:00Z"},
        MorningCase{"eve of winter time, America", "America/New_York", LocalAt(2026, 10, 31, 18, 0),
                    "2026-11-01T13:00:00Z"},
        MorningCase{"no summer time", "UTC", LocalAt(2026, 6, 30, 9, 0), "2026-07-01T08:00:00Z"}),
    [](const testing::TestParamInfo<MorningCase>& info) {
        std::string name = info.param.what;
        for (char& ch : name)
            if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return name;
    });

// An hour is an hour of real time, also across the change of the clocks: 01:30 and one hour on
// the night of summer time is 03:30 on the wall.
TEST(MuteEndTest, HoursAreRealTimeAndUnmutedIsForever) {
    const ScopedTimeZone zone("Europe/Berlin");
    const LocalDateTime night = LocalAt(2026, 3, 29, 1, 30);
    EXPECT_EQ(MuteEnd(MuteLength::OneHour, night), Utc("2026-03-29T01:30:00Z"));
    EXPECT_EQ(MuteEnd(MuteLength::FourHours, night), Utc("2026-03-29T04:30:00Z"));
    EXPECT_EQ(MuteEnd(MuteLength::OneHour, LocalAt(2026, 12, 11, 23, 30)),
              Utc("2026-12-11T23:30:00Z"));
    EXPECT_EQ(MuteEnd(MuteLength::UntilUnmuted, night), CMonitorCore::MutedIndefinitely);
}

struct TextCase {
    const char* until;  // UTC; empty: not muted, "-": until unmuted
    const char* expected;
};

TEST(MuteTextTest, SaysTheTimeTodayAndTheDayOtherwise) {
    const ScopedTimeZone zone("Europe/Berlin");
    const LocalDateTime now = LocalAt(2026, 12, 11, 10, 0);
    const TextCase cases[] = {
        {"2026-12-11T13:30:00Z", "muted until 14:30"},
        {"2026-12-11T22:59:00Z", "muted until 23:59"},
        {"2026-12-11T23:00:00Z", "muted until Sat 12 Dec 00:00"},  // local midnight
        {"2026-12-12T07:00:00Z", "muted until Sat 12 Dec 08:00"},
        {"2027-01-01T07:00:00Z", "muted until Fri 1 Jan 2027 08:00"},
        {"", ""},
        {"-", "muted"},
    };
    for (const TextCase& c : cases) {
        const std::string until = c.until;
        const std::int64_t moment = until.empty()  ? 0
                                    : until == "-" ? CMonitorCore::MutedIndefinitely
                                                   : Utc(c.until);
        EXPECT_EQ(MuteText(moment, now).toStdString(), c.expected) << c.until;
    }
}

}  // namespace
