// The window's e-mail through a strict Postfix, as careful providers run it: it refuses a HELO
// name that is no host name, 8-bit bytes without a transfer encoding, bare line feeds and
// envelope addresses with blanks. The test e-mail and an alert must arrive whole, and an alert
// the server took must count as delivered even when one recipient was refused.
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include "MainFormFixture.h"
#include "integration/PostfixServer.h"
#include "notify/EmailOutcome.h"

namespace {

using namespace std::chrono_literals;

class EmailPostfixTest : public MainFormFixture {
protected:
    EmailPostfixTest() : MainFormFixture(42) {}

    // The page as a user fills it: a display name with a blank, blanks typed around the
    // port and the addresses.
    void StartWith(postfixtest::PostfixServer& server) {
        if (const std::string why = postfixtest::Unavailable(); !why.empty()) {
            if (postfixtest::UnderCi()) FAIL() << why;
            GTEST_SKIP() << why;
        }
        ASSERT_TRUE(server.Start()) << server.Log();
        StartForm({"alerts"});
        form_->EnableEmailRadioBtn->setChecked(true);
        form_->ServerIpAddrEdit->setText(QString::fromStdString(server.Address()));
        form_->ServerPortEdit->setText(QString::fromStdString(" " + server.PortText()));
        form_->UserNameEdit->setText("AVLO Monitor");
        form_->UserEmailEdit->setText(" monitor@avlo.test");
        form_->Email1Edit->setText("one@avlo.test ");
        form_->Email2Edit->setText(" two@avlo.test");
        form_->Email3Edit->setText("three@avlo.test");
    }

    static DeviceStatus FanAndSupplyFault() {
        DeviceStatus s = HealthyStatus();
        s.FanOk[1] = 0;
        s.SupplyOk[1] = 0;
        return s;
    }

    int AddStage() {
        TRegisterDlg::Context c = Ctx("Stage", Address(2), false);
        c.ModelCode = 3;
        c.Serial = "10203040";
        return form_->Core().AddDevice(&c);
    }
};

TEST_F(EmailPostfixTest, TestEmailArrivesWholeAtEveryRecipient) {
    postfixtest::PostfixServer server;
    StartWith(server);
    if (IsSkipped() || HasFatalFailure()) return;

    form_->SendTestEmailBtn1Click();
    auto mails = server.ParseByRecipient(3, 20s);
    ASSERT_TRUE(WaitUntil([this] { return form_->SendTestEmailBtn->isEnabled(); }, 20000));
    const auto shown = MessageBoxSeam::TakeShown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text.toStdString(), "Your e-mail has been sent.");
    ASSERT_EQ(mails.size(), 3u) << server.Log();
    for (const char* to : {"one@avlo.test", "two@avlo.test", "three@avlo.test"}) {
        SCOPED_TRACE(to);
        auto& f = mails[to];
        EXPECT_EQ(f["defects"], "0") << f["defect-list"];
        EXPECT_EQ(f["subject"], "AVLO TEST EMAIL");
        EXPECT_EQ(f["from-name"], "AVLO Monitor");
        EXPECT_EQ(f["from-address"], "monitor@avlo.test");
        EXPECT_EQ(f["transfer-encoding"], "quoted-printable");
        EXPECT_EQ(f["all-7bit"], "yes");
        // The disclaimer's UTF-8 bytes survive the trip.
        EXPECT_NE(f["body"].find("This is a test e-mail."), std::string::npos) << f["body"];
        const std::string disclaimer = EmailDisclaimer;
        const std::string firstLine = disclaimer.substr(0, disclaimer.find('\r'));
        EXPECT_NE(f["body"].find(firstLine.substr(0, 40)), std::string::npos) << f["body"];
    }
    EXPECT_EQ(EventsWithId(EV_EMAIL_SENT).size(), 1u);
}

TEST_F(EmailPostfixTest, AlertArrivesAndIsMarkedEvenWhenTheServerRefusesOneRecipient) {
    // "two" has no mailbox here: the server refuses it and takes the message for the others.
    postfixtest::PostfixServer server("127.0.0.1", {"one", "three"});
    StartWith(server);
    if (IsSkipped() || HasFatalFailure()) return;
    form_->Core().NotifiableEvents.FanErr = true;
    form_->Core().NotifiableEvents.PSupplyErr = true;
    const int id = AddStage();
    ASSERT_GT(id, 0);
    const auto deviceId = static_cast<std::uint16_t>(id);

    form_->Core().ApplyStatus(deviceId, HealthyStatus(), "10203040", 3);
    form_->Core().ApplyStatus(deviceId, FanAndSupplyFault(), "10203040", 3);
    auto mails = server.ParseByRecipient(2, 20s);
    ASSERT_EQ(mails.size(), 2u) << server.Log();
    auto& f = mails["one@avlo.test"];
    EXPECT_EQ(f["defects"], "0") << f["defect-list"];
    EXPECT_EQ(f["subject"], "AVLO Alert [RV12, # 10203040]: FAN FAILURE, POWER SUPPLY FAILURE");
    EXPECT_NE(f["body"].find("\tChannel 2: \tFAN FAILURE"), std::string::npos) << f["body"];
    EXPECT_NE(f["body"].find("\t+12V: \t\tOUT OF LIMITS"), std::string::npos) << f["body"];
    EXPECT_EQ(mails["three@avlo.test"]["subject"], f["subject"]);

    // Logged with the refusal, yet delivered: the faults are marked and not mailed again.
    ASSERT_TRUE(WaitUntil(
        [&] { return form_->Core().FindDeviceById(deviceId)->Notified.FanOk[1] == 1; }, 10000));
    EXPECT_EQ(form_->Core().FindDeviceById(deviceId)->Notified.SupplyOk[1], 1);
    const auto failed = EventsWithId(EV_EMAIL_FAILED);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_TRUE(failed[0].text.value_or("").starts_with("[9] ")) << failed[0].text.value_or("");
    form_->Core().ApplyStatus(deviceId, FanAndSupplyFault(), "10203040", 3);
    Pump(1500);
    EXPECT_EQ(server.Messages().size(), 2u);
    EXPECT_TRUE(form_->Core().EmailJobs().empty());
}

}  // namespace
