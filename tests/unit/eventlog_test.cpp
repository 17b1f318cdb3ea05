#include "notify/Eventlog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Calls = std::vector<std::string>;

class EventLog : public ::testing::Test {
protected:
    void SetUp() override { SetProcessEventSink(&sink_); }
    void TearDown() override { SetProcessEventSink(nullptr); }

    CCapturingSink sink_;
};

TEST_F(EventLog, ConstructionRegistersThenOpensTheSource) {
    CEventLog log("AVLO", "/opt/avlo/avlo-monitor");
    EXPECT_EQ(sink_.Calls(), (Calls{"RegisterSource", "Open"}));
    EXPECT_EQ(sink_.RegisteredSources(), Calls{"AVLO"});
    EXPECT_EQ(sink_.MessageFiles(), Calls{"/opt/avlo/avlo-monitor"});
    EXPECT_EQ(sink_.OpenedSources(), Calls{"AVLO"});
    EXPECT_FALSE(sink_.Closed());
}

TEST_F(EventLog, WritesCarryTypeIdAndTheTextExactly) {
    CEventLog log("AVLO", "/opt/avlo/avlo-monitor");
    const std::string alert = "Amp 3 (127.0.0.4)\r\nChannel 2: failed\r\n\t100%% \"load\"";
    EXPECT_TRUE(log.WriteEvent(EV_MONITOR_STARTED, EVENTLOG_INFORMATION_TYPE));
    EXPECT_TRUE(log.WriteEvent(EV_DEVICE_ALERT, EVENTLOG_ERROR_TYPE, alert));
    EXPECT_TRUE(log.WriteEvent(EV_DEVICE_CONNECTION_LOST, EVENTLOG_WARNING_TYPE, ""));
    const auto events = sink_.Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].id, EV_MONITOR_STARTED);
    EXPECT_EQ(events[0].type, EVENTLOG_INFORMATION_TYPE);
    EXPECT_FALSE(events[0].text.has_value());
    EXPECT_EQ(events[1].id, EV_DEVICE_ALERT);
    EXPECT_EQ(events[1].type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(events[1].text, alert);
    EXPECT_EQ(events[2].id, EV_DEVICE_CONNECTION_LOST);
    EXPECT_EQ(events[2].type, EVENTLOG_WARNING_TYPE);
    EXPECT_EQ(events[2].text, std::string());
}

TEST_F(EventLog, ALongTextIsNotCut) {
    CEventLog log("AVLO", "");
    const std::string text(100000, 'x');
    EXPECT_TRUE(log.WriteEvent(EV_EMAIL_FAILED, EVENTLOG_ERROR_TYPE, text));
    ASSERT_EQ(sink_.Events().size(), 1u);
    EXPECT_EQ(sink_.Events()[0].text, text);
}

TEST_F(EventLog, WriteReportsTheSinksRefusal) {
    CEventLog log("AVLO", "");
    sink_.SetReportFails(true);
    EXPECT_FALSE(log.WriteEvent(EV_EMAIL_SENT, EVENTLOG_SUCCESS));
    EXPECT_FALSE(log.WriteEvent(EV_EMAIL_SENT, EVENTLOG_SUCCESS, "to ops@site"));
}

TEST_F(EventLog, WithoutAnOpenLogNothingIsWrittenOrClosed) {
    sink_.SetOpenFails(true);
    {
        CEventLog log("AVLO", "/opt/avlo/avlo-monitor");
        EXPECT_FALSE(log.WriteEvent(EV_MONITOR_STARTED, EVENTLOG_INFORMATION_TYPE));
        EXPECT_FALSE(log.WriteEvent(EV_DEVICE_ALERT, EVENTLOG_ERROR_TYPE, "Amp 1"));
    }
    EXPECT_EQ(sink_.Calls(), (Calls{"RegisterSource", "Open"}));
    EXPECT_TRUE(sink_.Events().empty());
    EXPECT_FALSE(sink_.Closed());
}

TEST_F(EventLog, ARefusedRegistrationStillOpensAndWrites) {
    sink_.SetRegisterFails(true);
    CEventLog log("AVLO", "/opt/avlo/avlo-monitor");
    EXPECT_EQ(sink_.OpenedSources(), Calls{"AVLO"});
    EXPECT_TRUE(log.WriteEvent(EV_DEVICE_REGISTERED, EVENTLOG_INFORMATION_TYPE, "Amp 2"));
    EXPECT_EQ(sink_.Events().size(), 1u);
}

TEST_F(EventLog, ALaterOpenDecidesWhetherWritesGoThrough) {
    sink_.SetOpenFails(true);
    CEventLog log("AVLO", "");
    sink_.SetOpenFails(false);
    EXPECT_TRUE(log.Open("AVLO"));
    EXPECT_TRUE(log.WriteEvent(EV_MONITOR_STARTED, EVENTLOG_INFORMATION_TYPE));
    sink_.SetOpenFails(true);
    EXPECT_FALSE(log.Open("AVLO"));
    EXPECT_FALSE(log.WriteEvent(EV_MONITOR_STOPPED, EVENTLOG_INFORMATION_TYPE));
    EXPECT_EQ(sink_.Events().size(), 1u);
}

TEST_F(EventLog, DestructionClosesTheLog) {
    {
        CEventLog log("AVLO", "");
        log.WriteEvent(EV_MONITOR_STOPPED, EVENTLOG_INFORMATION_TYPE);
        EXPECT_FALSE(sink_.Closed());
    }
    EXPECT_EQ(sink_.Calls(), (Calls{"RegisterSource", "Open", "Report", "Close"}));
}

TEST_F(EventLog, KeepsTheSinkItWasMadeWith) {
    CCapturingSink later;
    {
        CEventLog log("AVLO", "");
        SetProcessEventSink(&later);
        EXPECT_TRUE(log.WriteEvent(EV_MONITOR_STARTED, EVENTLOG_INFORMATION_TYPE));
    }
    EXPECT_EQ(sink_.Calls(), (Calls{"RegisterSource", "Open", "Report", "Close"}));
    EXPECT_TRUE(later.Calls().empty());
}

}  // namespace
