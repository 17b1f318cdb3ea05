// The window's side of the e-mail: the test e-mail's command, unavailable while its delivery
// is under way, and the dialog that shows each outcome.
#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>

#include "MainFormFixture.h"
#include "support/EmailOutcomeCases.h"
#include "support/ScriptedSmtpPeer.h"

namespace {

class EmailDialogTest : public MainFormFixture {
protected:
    EmailDialogTest() : MainFormFixture(36) {}
    void SetUp() override {
        MainFormFixture::SetUp();
        StartForm();
    }
    // The page as the user fills it.
    void Fill(const EmailFields& f) {
        form_->ServerIpAddrEdit->setText(QString::fromStdString(f.server));
        form_->ServerPortEdit->setText(QString::fromStdString(f.port));
        form_->UserNameEdit->setText(QString::fromStdString(f.userName));
        form_->UserEmailEdit->setText(QString::fromStdString(f.sender));
        form_->Email1Edit->setText(QString::fromStdString(f.recipient[0]));
        form_->Email2Edit->setText(QString::fromStdString(f.recipient[1]));
        form_->Email3Edit->setText(QString::fromStdString(f.recipient[2]));
    }
};

// Every outcome's dialog, its kind and its text written out in full for the page's settings.
TEST_F(EmailDialogTest, DialogForEveryOutcome) {
    Fill(emailoutcome::Fields());
    for (const emailoutcome::OutcomeCase& c : emailoutcome::kCases) {
        SCOPED_TRACE(c.outcome);
        form_->ShowEmailOutcome(c.outcome);
        const auto shown = MessageBoxSeam::TakeShown();
        if (c.dialog.empty()) {
            EXPECT_TRUE(shown.empty());
        } else {
            ASSERT_EQ(shown.size(), 1u);
            EXPECT_EQ(shown[0].kind, c.outcome == SmtpOk ? MsgKind::Information : MsgKind::Error);
            EXPECT_EQ(shown[0].title, "AVLO Monitor");
            EXPECT_EQ(shown[0].text.toStdString(), c.dialog);
        }
    }
}

// The command waits for the outcome; the page's radio buttons enable it again meanwhile, but a
// second test e-mail still waits for the first. The outcome comes as a dialog.
TEST_F(EmailDialogTest, TestEmailButtonWaitsForTheOutcomeAndTheDialogShowsIt) {
    ScriptedSmtpPeer peer(Address(1));
    ASSERT_TRUE(peer.Listening());
    peer.Serve(ScriptedSmtpPeer::Script{ScriptedSmtpPeer::Reply("554 not here", 500)});
    form_->EnableEmailRadioBtn->setChecked(true);
    EmailFields f = emailoutcome::Fields();
    f.server = Address(1);
    f.port = peer.PortText();
    Fill(f);

    form_->SendTestEmailBtn->click();
    EXPECT_FALSE(form_->SendTestEmailBtn->isEnabled());
    EXPECT_TRUE(MessageBoxSeam::TakeShown().empty());
    form_->EnableEmailRadioBtnEnter();
    EXPECT_TRUE(form_->SendTestEmailBtn->isEnabled());
    form_->SendTestEmailBtn->click();
    EXPECT_EQ(form_->Core().EmailJobs().size(), 1u);

    std::vector<MessageBoxSeam::Shown> shown;
    ASSERT_TRUE(WaitUntil([&] {
        shown = MessageBoxSeam::TakeShown();
        return !shown.empty();
    }));
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].kind, MsgKind::Error);
    EXPECT_EQ(shown[0].text.toStdString(),
              "The e-mail server could not send your e-mail.\r\nCheck the IP address of the SMTP "
              "server, then try again.");
    EXPECT_TRUE(form_->SendTestEmailBtn->isEnabled());
    EXPECT_TRUE(form_->Core().EmailJobs().empty());
    EXPECT_TRUE(peer.WaitFinished(std::chrono::seconds(5)));
}

// A fault in the settings keeps the test e-mail from going out: the focus goes to the field,
// the box says why, and the log has it.
TEST_F(EmailDialogTest, TestEmailWithAFaultySettingShowsTheFaultAtItsField) {
    form_->EnableEmailRadioBtn->setChecked(true);
    form_->show();
    form_->activateWindow();
    QApplication::setActiveWindow(form_.get());
    form_->PageControl->setCurrentIndex(1);
    EmailFields f = emailoutcome::Fields();
    f.sender = "no at sign";
    Fill(f);
    form_->SendTestEmailBtn->setFocus();
    form_->SendTestEmailBtn->click();
    EXPECT_EQ(QApplication::focusWidget(), form_->UserEmailEdit);
    const auto shown = MessageBoxSeam::TakeShown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].kind, MsgKind::Error);
    EXPECT_EQ(shown[0].text.toStdString(),
              "A valid e-mail address must include the '@' character.\r\n"
              "Enter your e-mail address, then try again.\r\n");
    EXPECT_EQ(EventsWithId(EV_EMAIL_FAILED).size(), 1u);
    EXPECT_TRUE(form_->Core().EmailJobs().empty());
}

}  // namespace
