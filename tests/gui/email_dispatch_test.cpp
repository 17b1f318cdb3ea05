// E-mail dispatch from the main window: the test e-mail and alert e-mails delivered to a real
// SMTP server (Debian's aiosmtpd on loopback), and the outcome in the log and the dialog.
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <cstdlib>

#include "MainFormFixture.h"
#include "comms/Mymessages.h"
#include "integration/SmtpSink.h"
#include "support/EmailOutcomeCases.h"

namespace {


const std::string kWorkedExampleBody =
    "Model:\t\tRV12\r\nSerial No:\t10203040\r\n\r\nOutput Channels Condition:\r\n\tChannel 1: \tOK\r\n"
    "\tChannel 2: \tFAN FAILURE\r\n\tChannel 3: \tOK\r\n\tChannel 4: \tOK\r\n\tChannel 5: \tOK\r\n\r\n"
    "Power Supply Condition:\r\n\t-5V: \t\tOK\r\n\t+12V: \t\tOUT OF LIMITS\r\n\t+72V (A): \tOK\r\n"
    "\t+72V (B): \tOK\r\n\r\nTotal On Time: 25 h 5 min\r\n";

class EmailDispatchTest : public MainFormFixture {
protected:
    EmailDispatchTest() : MainFormFixture(15) {}
    void SetUp() override {
        MainFormFixture::SetUp();
        if (!smtpsink::AiosmtpdInstalled()) {
            if (const char* ci = std::getenv("CI"); ci && std::string(ci) == "true") {
                FAIL() << "python3-aiosmtpd is needed under CI";
            }
            GTEST_SKIP() << "python3-aiosmtpd is not installed for /usr/bin/python3";
        }
        server_ = std::make_unique<smtpsink::Server>("127.0.0.1");
        ASSERT_TRUE(server_->Running());
        StartForm({"alerts"});
        form_->EnableEmailRadioBtn->setChecked(true);
        form_->ServerIpAddrEdit->setText("127.0.0.1");
        form_->ServerPortEdit->setText(QString::fromStdString(server_->PortText()));
        form_->UserNameEdit->setText("AVLO Monitor");
        form_->UserEmailEdit->setText("monitor@site.example.com");
        form_->Email1Edit->setText("one@example.com");
        form_->Email2Edit->setText("two@example.com");
        form_->Email3Edit->setText("three@example.com");
    }
    std::map<std::string, std::string> Stored(int n) {
        const auto path = server_->WaitMessage(n, std::chrono::seconds(10));
        return path ? smtpsink::Parse(*path) : std::map<std::string, std::string>{};
    }
    int AddAlertDevice() {
        TRegisterDlg::Context c = Ctx("Stage", Address(2), false);
        c.ModelCode = 3;
        c.Serial = "10203040";
        return form_->Core().AddDevice(&c);
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
    form_->SendTestEmailBtn1Click();
    EXPECT_FALSE(form_->SendTestEmailBtn->isEnabled());  // until the outcome is in
    auto f = Stored(1);
    ASSERT_TRUE(WaitUntil([this] { return form_->SendTestEmailBtn->isEnabled(); }));
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

    const auto shown = MessageBoxSeam::TakeShown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].kind, MsgKind::Information);
    EXPECT_EQ(shown[0].text, "Your e-mail has been sent.");
    const auto sent = EventsWithId(EV_EMAIL_SENT);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].text.value_or(""),
              "\r\n\nTo : one@example.com,two@example.com,three@example.com\r\nSubject : AVLO TEST EMAIL\r\n"
              "Message : This is a test e-mail.\r\n");
}

TEST_F(EmailDispatchTest, FirstFaultSendsOneAlertWithTheWorkedExampleAndMarksIt) {
    form_->Core().NotifiableEvents.FanErr = true;
    const int id = AddAlertDevice();
    ASSERT_GT(id, 0);
    const auto deviceId = static_cast<std::uint16_t>(id);
    form_->Core().ApplyStatus(deviceId, HealthyStatus(), "10203040", 3);
    form_->Core().ApplyStatus(deviceId, WorkedExample(), "10203040", 3);
    ASSERT_TRUE(WaitUntil([this] { return EventsWithId(EV_EMAIL_SENT).size() == 1; }, 10000));
    auto f = Stored(1);
    ASSERT_FALSE(f.empty());
    EXPECT_EQ(f["subject"], "AVLO Alert [RV12, # 10203040]: FAN FAILURE, POWER SUPPLY FAILURE");
    EXPECT_TRUE(f["body"].starts_with(kWorkedExampleBody + EmailDisclaimer)) << f["body"];
    const TMainForm::Device& device = *form_->Core().FindDeviceById(deviceId);
    EXPECT_EQ(device.Notified.FanOk[1], 1);
    EXPECT_EQ(device.Notified.SupplyOk[1], 1);
    EXPECT_EQ(EventsWithId(EV_EMAIL_SENT).size(), 1u);

    // The same faults again that day: no second mail.
    form_->Core().ApplyStatus(deviceId, WorkedExample(), "10203040", 3);
    EXPECT_FALSE(server_->WaitMessage(2, std::chrono::milliseconds(700)));
    EXPECT_TRUE(MessageBoxSeam::TakeShown().empty());  // alerts never show a dialog
}

TEST_F(EmailDispatchTest, ServerDownLogsTheFailureMarksNothingAndTriesAgain) {
    form_->ServerPortEdit->setText("1");  // nothing listens there
    form_->Core().NotifiableEvents.FanErr = true;
    const auto deviceId = static_cast<std::uint16_t>(AddAlertDevice());
    form_->Core().ApplyStatus(deviceId, HealthyStatus(), "10203040", 3);
    form_->Core().ApplyStatus(deviceId, WorkedExample(), "10203040", 3);
    ASSERT_TRUE(WaitUntil([this] { return !EventsWithId(EV_EMAIL_FAILED).empty(); }));
    auto failed = EventsWithId(EV_EMAIL_FAILED);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_TRUE(failed[0].text.value_or("").starts_with(
        "[19] AVLO Monitor could not establish connection with 127.0.0.1 SMTP server via port 1.\r\n"
        "\r\n\nTo : one@example.com,two@example.com,three@example.com\r\nSubject : AVLO Alert [RV12"))
        << failed[0].text.value_or("");
    EXPECT_EQ(form_->Core().FindDeviceById(deviceId)->Notified.FanOk[1], 0);

    form_->ServerPortEdit->setText(QString::fromStdString(server_->PortText()));
    form_->Core().ApplyStatus(deviceId, WorkedExample(), "10203040", 3);
    EXPECT_TRUE(server_->WaitMessage(1, std::chrono::seconds(10)));
    EXPECT_TRUE(WaitUntil([&] { return form_->Core().FindDeviceById(deviceId)->Notified.FanOk[1] == 1; }));
}

TEST_F(EmailDispatchTest, PortZeroPassesTheCheckButIsNotConfiguredProperly) {
    form_->ServerPortEdit->setText("0");
    form_->SendTestEmailBtn1Click();
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
    form_->Core().NotifiableEvents.FanErr = true;
    const int dev = AddSimDevice(3, "02", "10203040");
    Site().SetChannelFault(dev, 2, devsim::ChannelFault::Fan, true);
    TRegisterDlg::Context c = Ctx("Balcony", Address(3), true);
    const int id = form_->Core().AddDevice(&c);
    ASSERT_GT(id, 0);
    // The monitor's work happens in its event loop: connect, status, decision, delivery.
    ASSERT_TRUE(WaitUntil([this] { return EventsWithId(EV_EMAIL_SENT).size() == 1; }, 10000));
    auto first = Stored(1);
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(first["subject"], "AVLO Alert [RV12, # 10203040]: FAN FAILURE");
    EXPECT_NE(first["body"].find("\tChannel 2: \tFAN FAILURE\r\n"), std::string::npos) << first["body"];
    const auto deviceId = static_cast<std::uint16_t>(id);
    ASSERT_TRUE(WaitUntil([&] { return form_->Core().FindDeviceById(deviceId)->Notified.FanOk[1] == 1; }));

    const int queriesBefore = Site().Snapshot(dev).statusQueries;
    form_->Core().PollAll();
    ASSERT_TRUE(WaitUntil([&] { return Site().Snapshot(dev).statusQueries > queriesBefore; }));
    Pump(500);
    EXPECT_FALSE(server_->WaitMessage(2, std::chrono::milliseconds(200)));

    Site().SetChannelFault(dev, 5, devsim::ChannelFault::Channel, true);
    form_->Core().PollAll();
    ASSERT_TRUE(WaitUntil([this] { return EventsWithId(EV_EMAIL_SENT).size() == 2; }, 10000));
    auto second = Stored(2);
    ASSERT_FALSE(second.empty());
    EXPECT_EQ(second["subject"], "AVLO Alert [RV12, # 10203040]: CHANNEL FAILURE, FAN FAILURE");
    EXPECT_NE(second["body"].find("\tChannel 2: \tFAN FAILURE\r\n"), std::string::npos);
    EXPECT_NE(second["body"].find("\tChannel 5: \tCHANNEL FAILURE\r\n"), std::string::npos);
    EXPECT_EQ(form_->Core().FindDeviceById(deviceId)->Stats[StatsChanErr + 4], 1);
}

TEST_F(EmailDispatchTest, ResultsForUnknownJobsAreIgnoredAndKnownJobsAreLogged) {
    form_->Core().Post(WM_SMTPRESULT, SmtpReplyTimeout, 999);
    WaitUntil([] { return false; }, 100);
    EXPECT_TRUE(EventsWithId(EV_EMAIL_FAILED).empty());

    auto job = std::make_unique<CMonitorCore::EmailJob>();
    job->JobId = 1000;
    job->Summary = "\r\n\nTo : a@example.com,,\r\nSubject : S\r\nMessage : B";
    form_->Core().EmailJobs().push_back(std::move(job));
    form_->Core().Post(WM_SMTPRESULT, 0x100 | SmtpReplyTimeout, 1000);  // only the low byte counts
    ASSERT_TRUE(WaitUntil([this] { return !EventsWithId(EV_EMAIL_FAILED).empty(); }, 2000));
    EXPECT_EQ(EventsWithId(EV_EMAIL_FAILED)[0].text.value_or(""),
              "[20] The network subsystem has failed.\r\n\r\n\nTo : a@example.com,,\r\nSubject : S\r\nMessage : B");
    form_->Core().Post(WM_SMTPRESULT, SmtpStopped, 1000);
    ASSERT_TRUE(WaitUntil([this] { return form_->Core().EmailJobs().empty(); }, 2000));
}

}  // namespace

namespace {

class EmailOutcomeReportTest : public MainFormFixture {
protected:
    EmailOutcomeReportTest() : MainFormFixture(16) {}
};

// Every outcome through the window's own reporting: the log entry's shape and the dialog's kind,
// against texts written out in full for the settings on the page.
TEST_F(EmailOutcomeReportTest, LogAndDialogForEveryOutcome) {
    StartForm();
    const EmailFields fields = emailoutcome::Fields();
    form_->ServerIpAddrEdit->setText(QString::fromStdString(fields.server));
    form_->ServerPortEdit->setText(QString::fromStdString(fields.port));
    form_->UserNameEdit->setText(QString::fromStdString(fields.userName));
    form_->UserEmailEdit->setText(QString::fromStdString(fields.sender));
    form_->Email1Edit->setText(QString::fromStdString(fields.recipient[0]));
    form_->Email2Edit->setText(QString::fromStdString(fields.recipient[1]));
    form_->Email3Edit->setText(QString::fromStdString(fields.recipient[2]));
    const std::string summary = form_->Core().EmailSummary("S", "B");
    ASSERT_EQ(
        summary,
        "\r\n\nTo : r1@example.com,r2@example.com,r3@example.com\r\nSubject : S\r\nMessage : B");
    for (const emailoutcome::OutcomeCase& c : emailoutcome::kCases) {
        SCOPED_TRACE(c.outcome);
        const std::size_t before = sink_.Events().size();
        form_->Core().LogEmailOutcome(summary, c.outcome);
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
        form_->ShowEmailOutcome(c.outcome);
        const auto shown = MessageBoxSeam::TakeShown();
        if (c.dialog.empty()) {
            EXPECT_TRUE(shown.empty());
        } else {
            ASSERT_EQ(shown.size(), 1u);
            EXPECT_EQ(shown[0].kind, c.outcome == SmtpOk ? MsgKind::Information : MsgKind::Error);
            EXPECT_EQ(shown[0].text.toStdString(), c.dialog);
        }
    }
    form_->Core().Options.Log = false;
    const std::size_t quiet = sink_.Events().size();
    form_->Core().LogEmailOutcome(summary, SmtpReplyTimeout);
    EXPECT_EQ(sink_.Events().size(), quiet);
}

}  // namespace
