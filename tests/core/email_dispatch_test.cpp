// E-mail dispatch from the monitor core: the test e-mail and alert e-mails delivered to a real
// SMTP server (Debian's aiosmtpd on loopback), and the outcome in the log and for the dialog.
#include <cstdlib>

#include "CoreFixture.h"
#include "comms/Mymessages.h"
#include "integration/SmtpSink.h"
#include "support/EmailOutcomeCases.h"

namespace {


const std::string kWorkedExampleBody =
    "Model:\t\tRV12\r\nSerial No:\t10203040\r\n\r\nOutput Channels Condition:\r\n\tChannel 1: \tOK\r\n"
    "\tChannel 2: \tFAN FAILURE\r\n\tChannel 3: \tOK\r\n\tChannel 4: \tOK\r\n\tChannel 5: \tOK\r\n\r\n"
    "Power Supply Condition:\r\n\t-5V: \t\tOK\r\n\t+12V: \t\tOUT OF LIMITS\r\n\t+72V (A): \tOK\r\n"
    "\t+72V (B): \tOK\r\n\r\nTotal On Time: 25 h 5 min\r\n";

class EmailDispatchTest : public CoreFixture {
protected:
    EmailDispatchTest() : CoreFixture(15) {}
    void SetUp() override {
        CoreFixture::SetUp();
        if (!smtpsink::AiosmtpdInstalled()) {
            if (const char* ci = std::getenv("CI"); ci && std::string(ci) == "true") {
                FAIL() << "python3-aiosmtpd is needed under CI";
            }
            GTEST_SKIP() << "python3-aiosmtpd is not installed for /usr/bin/python3";
        }
        server_ = std::make_unique<smtpsink::Server>("127.0.0.1");
        ASSERT_TRUE(server_->Running());
        StartCore({"alerts"});
        core_->EmailSettings.Enabled = true;
        core_->EmailSettings.server = "127.0.0.1";
        core_->EmailSettings.port = server_->PortText();
        core_->EmailSettings.userName = "AVLO Monitor";
        core_->EmailSettings.sender = "monitor@site.example.com";
        core_->EmailSettings.recipient[0] = "one@example.com";
        core_->EmailSettings.recipient[1] = "two@example.com";
        core_->EmailSettings.recipient[2] = "three@example.com";
    }
    std::map<std::string, std::string> Stored(int n) {
        const auto path = server_->WaitMessage(n, std::chrono::seconds(10));
        return path ? smtpsink::Parse(*path) : std::map<std::string, std::string>{};
    }
    int AddAlertDevice() {
        DeviceContext c = Ctx("Stage", Address(2), false);
        c.ModelCode = 3;
        c.Serial = "10203040";
        return core_->AddDevice(&c);
    }
    static DeviceStatus WorkedExample() {
        DeviceStatus s = HealthyStatus();
        s.FanOk[1] = 0;
        s.SupplyOk[1] = 0;
        s.OperatingMinutes = 1505;
        return s;
    }

    std::unique_ptr<smtpsink::Server> server_;
};

TEST_F(EmailDispatchTest, TestEmailReachesThreeRecipientsAndIsReported) {
    EXPECT_TRUE(SendTestEmail());
    EXPECT_TRUE(testEmailBusy_);  // until the outcome is in
    auto f = Stored(1);
    ASSERT_TRUE(WaitUntil([this] { return !testEmailBusy_; }));
    ASSERT_FALSE(f.empty());
    EXPECT_EQ(f["defects"], "0");
    EXPECT_EQ(f["subject"], "AVLO TEST EMAIL");
    EXPECT_EQ(f["from-name"], "AVLO Monitor");
    EXPECT_EQ(f["from-address"], "monitor@site.example.com");
    EXPECT_EQ(f["to"], "one@example.com,two@example.com,three@example.com");
    EXPECT_EQ(f["charset"], "utf-8");
    EXPECT_TRUE(f["message-id"].ends_with("@site.example.com>")) << f["message-id"];
    const std::string body = std::string("This is a test e-mail.\r\n") + EmailDisclaimer;
    EXPECT_TRUE(f["body"].starts_with(body)) << f["body"];
    EXPECT_EQ(server_->Envelope(1),
              (std::vector<std::string>{"monitor@site.example.com", "one@example.com", "two@example.com",
                                        "three@example.com"}));

    const auto shown = TakeShownOutcomes();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].outcome, SmtpOk);
    EXPECT_EQ(shown[0].Dialog(), "Your e-mail has been sent.");
    const auto sent = EventsWithId(EV_EMAIL_SENT);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].text.value_or(""),
              "\r\n\nTo : one@example.com,two@example.com,three@example.com\r\nSubject : AVLO TEST EMAIL\r\n"
              "Message : This is a test e-mail.\r\n");
}

TEST_F(EmailDispatchTest, FirstFaultSendsOneAlertWithTheWorkedExampleAndMarksIt) {
    core_->NotifiableEvents.FanErr = true;
    const int id = AddAlertDevice();
    ASSERT_GT(id, 0);
    const auto deviceId = static_cast<std::uint16_t>(id);
    core_->ApplyStatus(deviceId, HealthyStatus(), "10203040", 3);
    core_->ApplyStatus(deviceId, WorkedExample(), "10203040", 3);
    ASSERT_TRUE(WaitUntil([this] { return EventsWithId(EV_EMAIL_SENT).size() == 1; }, 10000));
    auto f = Stored(1);
    ASSERT_FALSE(f.empty());
    EXPECT_EQ(f["subject"], "AVLO Alert [RV12, # 10203040]: FAN FAILURE, POWER SUPPLY FAILURE");
    EXPECT_TRUE(f["body"].starts_with(kWorkedExampleBody + EmailDisclaimer)) << f["body"];
    const CMonitorCore::Device& device = *core_->FindDeviceById(deviceId);
    EXPECT_EQ(device.Notified.FanOk[1], 1);
    EXPECT_EQ(device.Notified.SupplyOk[1], 1);
    EXPECT_EQ(EventsWithId(EV_EMAIL_SENT).size(), 1u);

    // The same faults again that day: no second mail.
    core_->ApplyStatus(deviceId, WorkedExample(), "10203040", 3);
    EXPECT_FALSE(server_->WaitMessage(2, std::chrono::milliseconds(700)));
    EXPECT_TRUE(TakeShownOutcomes().empty());  // alerts never show a dialog
}

TEST_F(EmailDispatchTest, ServerDownLogsTheFailureMarksNothingAndTriesAgain) {
    core_->EmailSettings.port = "1";  // nothing listens there
    core_->NotifiableEvents.FanErr = true;
    const auto deviceId = static_cast<std::uint16_t>(AddAlertDevice());
    core_->ApplyStatus(deviceId, HealthyStatus(), "10203040", 3);
    core_->ApplyStatus(deviceId, WorkedExample(), "10203040", 3);
    ASSERT_TRUE(WaitUntil([this] { return !EventsWithId(EV_EMAIL_FAILED).empty(); }));
    auto failed = EventsWithId(EV_EMAIL_FAILED);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_TRUE(failed[0].text.value_or("").starts_with(
        "[19] AVLO Monitor could not establish connection with 127.0.0.1 SMTP server via port 1.\r\n"
        "\r\n\nTo : one@example.com,two@example.com,three@example.com\r\nSubject : AVLO Alert [RV12"))
        << failed[0].text.value_or("");
    EXPECT_EQ(core_->FindDeviceById(deviceId)->Notified.FanOk[1], 0);

    core_->EmailSettings.port = server_->PortText();
    core_->ApplyStatus(deviceId, WorkedExample(), "10203040", 3);
    EXPECT_TRUE(server_->WaitMessage(1, std::chrono::seconds(10)));
    EXPECT_TRUE(WaitUntil([&] { return core_->FindDeviceById(deviceId)->Notified.FanOk[1] == 1; }));
}

TEST_F(EmailDispatchTest, PortZeroPassesTheCheckButIsNotConfiguredProperly) {
    core_->EmailSettings.port = "0";
    EXPECT_FALSE(SendTestEmail());
    EXPECT_TRUE(TakeShownOutcomes().empty());
    EXPECT_TRUE(MessageBoxSeam::TakeShown().empty());
    const auto failed = EventsWithId(EV_EMAIL_FAILED);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].text.value_or(""),
              "E-mail function is not configured properly.\r\n\r\n\nTo : one@example.com,two@example.com,"
              "three@example.com\r\nSubject : AVLO TEST EMAIL\r\nMessage : This is a test e-mail.\r\n");
    EXPECT_FALSE(server_->WaitMessage(1, std::chrono::milliseconds(300)));
}

// The whole road: a simulated amplifier reports a fault, the monitor polls it, decides, and
// the alert reaches the server; later polls the same day send nothing until a new fault.
TEST_F(EmailDispatchTest, SimulatedDeviceFaultReachesTheMailboxOncePerFault) {
    core_->NotifiableEvents.FanErr = true;
    const int dev = AddSimDevice(3, "02", "10203040");
    Site().SetChannelFault(dev, 2, devsim::ChannelFault::Fan, true);
    DeviceContext c = Ctx("Balcony", Address(3), true);
    const int id = core_->AddDevice(&c);
    ASSERT_GT(id, 0);
    // The monitor's work happens in its event loop: connect, status, decision, delivery.
    ASSERT_TRUE(WaitUntil([this] { return EventsWithId(EV_EMAIL_SENT).size() == 1; }, 10000));
    auto first = Stored(1);
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(first["subject"], "AVLO Alert [RV12, # 10203040]: FAN FAILURE");
    EXPECT_NE(first["body"].find("\tChannel 2: \tFAN FAILURE\r\n"), std::string::npos) << first["body"];
    const auto deviceId = static_cast<std::uint16_t>(id);
    ASSERT_TRUE(WaitUntil([&] { return core_->FindDeviceById(deviceId)->Notified.FanOk[1] == 1; }));

    const int queriesBefore = Site().Snapshot(dev).statusQueries;
    core_->PollAll();
    ASSERT_TRUE(WaitUntil([&] { return Site().Snapshot(dev).statusQueries > queriesBefore; }));
    Pump(500);
    EXPECT_FALSE(server_->WaitMessage(2, std::chrono::milliseconds(200)));

    Site().SetChannelFault(dev, 5, devsim::ChannelFault::Channel, true);
    core_->PollAll();
    ASSERT_TRUE(WaitUntil([this] { return EventsWithId(EV_EMAIL_SENT).size() == 2; }, 10000));
    auto second = Stored(2);
    ASSERT_FALSE(second.empty());
    EXPECT_EQ(second["subject"], "AVLO Alert [RV12, # 10203040]: CHANNEL FAILURE, FAN FAILURE");
    EXPECT_NE(second["body"].find("\tChannel 2: \tFAN FAILURE\r\n"), std::string::npos);
    EXPECT_NE(second["body"].find("\tChannel 5: \tCHANNEL FAILURE\r\n"), std::string::npos);
    EXPECT_EQ(core_->FindDeviceById(deviceId)->Stats[StatsChanErr + 4], 1);
}

TEST_F(EmailDispatchTest, ResultsForUnknownJobsAreIgnoredAndKnownJobsAreLogged) {
    core_->Post(WM_SMTPRESULT, SmtpReplyTimeout, 999);
    WaitUntil([] { return false; }, 100);
    EXPECT_TRUE(EventsWithId(EV_EMAIL_FAILED).empty());

    auto job = std::make_unique<CMonitorCore::EmailJob>();
    job->JobId = 1000;
    job->Summary = "\r\n\nTo : a@example.com,,\r\nSubject : S\r\nMessage : B";
    core_->EmailJobs().push_back(std::move(job));
    core_->Post(WM_SMTPRESULT, 0x100 | SmtpReplyTimeout, 1000);  // only the low byte counts
    ASSERT_TRUE(WaitUntil([this] { return !EventsWithId(EV_EMAIL_FAILED).empty(); }, 2000));
    EXPECT_EQ(EventsWithId(EV_EMAIL_FAILED)[0].text.value_or(""),
              "[20] The network subsystem has failed.\r\n\r\n\nTo : a@example.com,,\r\nSubject : S\r\nMessage : B");
    core_->Post(WM_SMTPRESULT, SmtpStopped, 1000);
    ASSERT_TRUE(WaitUntil([this] { return core_->EmailJobs().empty(); }, 2000));
}

}  // namespace

namespace {

class EmailOutcomeReportTest : public CoreFixture {
protected:
    EmailOutcomeReportTest() : CoreFixture(16) {}
};

// Every outcome's log entry, against texts written out in full for the settings (the
// window's test shows the dialogs).
TEST_F(EmailOutcomeReportTest, LogForEveryOutcome) {
    StartCore();
    const EmailFields fields = emailoutcome::Fields();
    static_cast<EmailFields&>(core_->EmailSettings) = fields;
    const std::string summary = core_->EmailSummary("S", "B");
    ASSERT_EQ(
        summary,
        "\r\n\nTo : r1@example.com,r2@example.com,r3@example.com\r\nSubject : S\r\nMessage : B");
    for (const emailoutcome::OutcomeCase& c : emailoutcome::kCases) {
        SCOPED_TRACE(c.outcome);
        const std::size_t before = sink_.Events().size();
        core_->LogEmailOutcome(summary, c.outcome);
        const auto events = sink_.Events();
        ASSERT_EQ(events.size(), before + 1);
        const CapturedEvent& e = events.back();
        if (c.outcome == SmtpOk) {
            EXPECT_EQ(e.id, EV_EMAIL_SENT);
            EXPECT_EQ(e.text.value_or(""), summary);
        } else {
            EXPECT_EQ(e.id, EV_EMAIL_FAILED);
            EXPECT_EQ(e.type, EVENTLOG_ERROR_TYPE);
            // The bracketed number alone where the outcome has no text.
            const std::string bracket = "[" + std::to_string(c.outcome) + "] ";
            EXPECT_EQ(e.text.value_or(""), c.log.empty() ? bracket : bracket + c.log + summary);
        }
    }
    core_->Options.Log = false;
    const std::size_t quiet = sink_.Events().size();
    core_->LogEmailOutcome(summary, SmtpReplyTimeout);
    EXPECT_EQ(sink_.Events().size(), quiet);
}

}  // namespace
