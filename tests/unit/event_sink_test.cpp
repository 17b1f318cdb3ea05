#include <gtest/gtest.h>
#include <syslog.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/EventIds.h"
#include "platform/EventSink.h"

using namespace std::string_literals;

namespace {

TEST(EventName, NamesEveryKnownIdAndOnlyThose) {
    const struct {
        std::uint32_t id;
        const char* name;
    } cases[] = {
        {0x40000004, "EV_DEVICE_REGISTERED"},
        {0x40000005, "EV_DEVICE_CONNECTED"},
        {0x80000006, "EV_DEVICE_CONNECTION_LOST"},
        {0x00000007, "EV_EMAIL_SENT"},
        {0xC0000008, "EV_EMAIL_FAILED"},
        {0xC0000009, "EV_DEVICE_ALERT"},
        {0x4000000A, "EV_MONITOR_STARTED"},
        {0x4000000B, "EV_MONITOR_STOPPED"},
        {0xC000000C, "EV_MONITOR_ERROR"},
        // Same message number with other severity bits is another event.
        {0x40000006, "EV_UNKNOWN"},
        {0x00000005, "EV_UNKNOWN"},
        {0, "EV_UNKNOWN"},
        {0xFFFFFFFF, "EV_UNKNOWN"},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(EventName(c.id), c.name) << std::hex << c.id;
    }
}

TEST(SyslogSink, MessageIsOneLineWithNameAndHexId) {
    const struct {
        std::uint32_t id;
        const char* text;  // null: no insertion text
        const char* expected;
    } cases[] = {
        {EV_DEVICE_CONNECTED, "Amp 1 at 127.0.0.2",
         "EV_DEVICE_CONNECTED (0x40000005): Amp 1 at 127.0.0.2"},
        {EV_EMAIL_SENT, "to a@b", "EV_EMAIL_SENT (0x00000007): to a@b"},
        {EV_DEVICE_ALERT, "Amp 3\r\nChannel 2 failed\r\n",
         "EV_DEVICE_ALERT (0xC0000009): Amp 3 | Channel 2 failed | "},
        {EV_DEVICE_ALERT, "a\nb\rc\r\n\r\nd", "EV_DEVICE_ALERT (0xC0000009): a | b | c |  | d"},
        {EV_MONITOR_STARTED, nullptr, "EV_MONITOR_STARTED (0x4000000A)"},
        {EV_MONITOR_STOPPED, "", "EV_MONITOR_STOPPED (0x4000000B): "},
        {0x1234ABCD, "x", "EV_UNKNOWN (0x1234ABCD): x"},
    };
    for (const auto& c : cases) {
        const std::string text = c.text ? c.text : "";
        EXPECT_EQ(FormatEventMessage(c.id, c.text ? &text : nullptr), c.expected);
    }
}

TEST(SyslogSink, PriorityFollowsTheEventType) {
    EXPECT_EQ(SyslogPriority(EVENTLOG_ERROR_TYPE), LOG_ERR);
    EXPECT_EQ(SyslogPriority(EVENTLOG_WARNING_TYPE), LOG_WARNING);
    EXPECT_EQ(SyslogPriority(EVENTLOG_INFORMATION_TYPE), LOG_INFO);
    EXPECT_EQ(SyslogPriority(EVENTLOG_SUCCESS), LOG_NOTICE);
    EXPECT_EQ(SyslogPriority(8), LOG_INFO);
}

TEST(ProcessEventSink, DefaultsToSyslogAndInstalledSinkReplacesIt) {
    IEventSink& original = ProcessEventSink();
    EXPECT_NE(dynamic_cast<CSyslogSink*>(&original), nullptr);
    CCapturingSink capture;
    SetProcessEventSink(&capture);
    EXPECT_EQ(&ProcessEventSink(), &capture);
    SetProcessEventSink(nullptr);
    EXPECT_EQ(&ProcessEventSink(), &original);
}

TEST(CapturingSink, RecordsReportsFromManyThreads) {
    CCapturingSink sink;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&sink, t] {
            for (int i = 0; i < 250; ++i) {
                const std::string text = std::to_string(t * 1000 + i);
                sink.Report(EVENTLOG_INFORMATION_TYPE, EV_DEVICE_ALERT, &text);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    const auto events = sink.Events();
    ASSERT_EQ(events.size(), 1000u);
    std::vector<bool> seen(4000, false);
    for (const auto& e : events) seen[static_cast<std::size_t>(std::stoi(*e.text))] = true;
    for (int t = 0; t < 4; ++t) {
        for (int i = 0; i < 250; ++i) EXPECT_TRUE(seen[static_cast<std::size_t>(t * 1000 + i)]);
    }
}

// Reads back everything written to a tmpfile.
std::string Contents(std::FILE* file) {
    std::fflush(file);
    std::rewind(file);
    std::string text;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, file)) text += buffer;
    return text;
}

class EchoSink : public ::testing::Test {
protected:
    void SetUp() override {
        out_ = std::tmpfile();
        ASSERT_NE(out_, nullptr);
        SetClockOverride([] { return LocalDateTime{2026, 1, 2, 3, 4, 5, 678, 5}; });
    }
    void TearDown() override {
        SetClockOverride({});
        if (out_) std::fclose(out_);
    }

    std::FILE* out_ = nullptr;
    CCapturingSink inner_;
};

TEST_F(EchoSink, PrintsOneLinePerEventAndPassesTheEventOnUnchanged) {
    CStderrEchoSink echo(inner_, out_);
    const std::string connected = "Amp 1 at 127.0.0.2";
    const std::string alert = "Amp 3\r\nfan\nsupply\rtemp";
    EXPECT_TRUE(echo.Report(EVENTLOG_INFORMATION_TYPE, EV_DEVICE_CONNECTED, &connected));
    EXPECT_TRUE(echo.Report(EVENTLOG_ERROR_TYPE, EV_DEVICE_ALERT, &alert));
    EXPECT_TRUE(echo.Report(EVENTLOG_INFORMATION_TYPE, EV_MONITOR_STOPPED, nullptr));
    EXPECT_EQ(Contents(out_),
              "2026-01-02 03:04:05 EV_DEVICE_CONNECTED 0x40000005 Amp 1 at 127.0.0.2\n"
              "2026-01-02 03:04:05 EV_DEVICE_ALERT 0xC0000009 Amp 3 | fan | supply | temp\n"
              "2026-01-02 03:04:05 EV_MONITOR_STOPPED 0x4000000B\n");
    const auto events = inner_.Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[1].type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(events[1].id, EV_DEVICE_ALERT);
    EXPECT_EQ(events[1].text, alert);
    EXPECT_FALSE(events[2].text.has_value());
}

// A device's serial is whatever it sends. Raw, the NUL cuts the system log's message, and
// the escape sequences retitle and clear the terminal that shows the headless monitor.
TEST_F(EchoSink, ControlBytesOfADeviceReachNeitherTheTerminalNorTheSystemLog) {
    CStderrEchoSink echo(inner_, out_);
    const std::string hostile = "AVLO Alert [# \x1B]0;owned\x07\x1B[2J\0NUL]\r\nMessage: \x7F"s;
    EXPECT_TRUE(echo.Report(EVENTLOG_ERROR_TYPE, EV_DEVICE_ALERT, &hostile));
    const std::string printable =
        "AVLO Alert [# \\x1B]0;owned\\x07\\x1B[2J\\x00NUL] | Message: \\x7F";
    EXPECT_EQ(Contents(out_), "2026-01-02 03:04:05 EV_DEVICE_ALERT 0xC0000009 " + printable + "\n");
    EXPECT_EQ(FormatEventMessage(EV_DEVICE_ALERT, &hostile),
              "EV_DEVICE_ALERT (0xC0000009): " + printable);
    // The record passed on is the device's own text: the history keeps it as it came.
    ASSERT_EQ(inner_.Events().size(), 1u);
    EXPECT_EQ(inner_.Events()[0].text, hostile);
}

TEST_F(EchoSink, ForwardsTheOtherCallsAndTheirOutcome) {
    CStderrEchoSink echo(inner_, out_);
    inner_.SetRegisterFails(true);
    inner_.SetOpenFails(true);
    inner_.SetReportFails(true);
    EXPECT_FALSE(echo.RegisterSource("AVLO", "/opt/avlo/avlo-monitor"));
    EXPECT_FALSE(echo.Open("AVLO"));
    EXPECT_FALSE(echo.Report(EVENTLOG_WARNING_TYPE, EV_EMAIL_FAILED, nullptr));
    echo.Close();
    EXPECT_EQ(inner_.Calls(),
              (std::vector<std::string>{"RegisterSource", "Open", "Report", "Close"}));
    EXPECT_EQ(inner_.MessageFiles(), std::vector<std::string>{"/opt/avlo/avlo-monitor"});
    EXPECT_TRUE(inner_.Closed());
    // The terminal still sees an event the system log refused.
    EXPECT_EQ(Contents(out_), "2026-01-02 03:04:05 EV_EMAIL_FAILED 0xC0000008\n");
}

TEST_F(EchoSink, RealClockGivesAPaddedDateAndTime) {
    SetClockOverride({});
    CStderrEchoSink echo(inner_, out_);
    echo.Report(EVENTLOG_INFORMATION_TYPE, EV_MONITOR_STARTED, nullptr);
    EXPECT_TRUE(std::regex_match(
        Contents(out_),
        std::regex(R"(20\d\d-[01]\d-[0-3]\d [0-2]\d:[0-5]\d:[0-6]\d EV_MONITOR_STARTED )"
                   R"(0x4000000A\n)")));
}

TEST(Clock, OverrideIsUsedUntilCleared) {
    SetClockOverride([] { return LocalDateTime{1999, 12, 31, 23, 59, 58, 999, 5}; });
    const LocalDateTime fixed = LocalNow();
    SetClockOverride({});
    EXPECT_EQ(fixed.year, 1999);
    EXPECT_EQ(fixed.second, 58);
    EXPECT_EQ(fixed.milliseconds, 999);
    EXPECT_GE(LocalNow().year, 2024);
}

TEST(Clock, RealClockAgreesWithTheCalendar) {
    const LocalDateTime now = LocalNow();
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    EXPECT_NEAR(now.year, tm.tm_year + 1900, 1);
    EXPECT_GE(now.month, 1);
    EXPECT_LE(now.month, 12);
    EXPECT_GE(now.day, 1);
    EXPECT_LE(now.day, 31);
    EXPECT_LT(now.hour, 24);
    EXPECT_LT(now.minute, 60);
    EXPECT_LT(now.second, 61);
    EXPECT_LT(now.milliseconds, 1000);
    EXPECT_GE(now.milliseconds, 0);
    // dayOfWeek counts from Sunday, as SYSTEMTIME did.
    using namespace std::chrono;
    const year_month_day date{year{now.year}, month{static_cast<unsigned>(now.month)},
                              day{static_cast<unsigned>(now.day)}};
    EXPECT_EQ(weekday{sys_days{date}}.c_encoding(), static_cast<unsigned>(now.dayOfWeek));
}

}  // namespace
