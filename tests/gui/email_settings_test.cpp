// The e-mail page: enabled controls, the port filter and the settings check.
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include "MainFormFixture.h"

namespace {

class EmailSettingsTest : public MainFormFixture {
protected:
    EmailSettingsTest() : MainFormFixture(14) {}
    void SetUp() override {
        MainFormFixture::SetUp();
        StartForm();
        form_->show();
        form_->activateWindow();
        QApplication::setActiveWindow(form_.get());
        form_->EnableEmailRadioBtn->setChecked(true);
        form_->PageControl->setCurrentIndex(1);
    }
    void FillValid() {
        form_->ServerIpAddrEdit->setText("127.0.0.1");
        form_->ServerPortEdit->setText("25");
        form_->UserNameEdit->setText("tech");
        form_->UserEmailEdit->setText("tech@example.com");
        form_->Email1Edit->setText("a@example.com");
        form_->Email2Edit->setText("");
        form_->Email3Edit->setText("");
    }
};

struct CheckCase {
    const char* name;
    void (*spoil)(TMainForm&);
    QLineEdit* TMainForm::*field;
    const char* message;
};

const char* const kRecipientAt =
    "A valid e-mail address must include the '@' character.\r\nEnter the e-mail address of the recipient, then try again.\r\n";

const CheckCase kChecks[] = {
    {"no_server", [](TMainForm& f) { f.ServerIpAddrEdit->clear(); }, &TMainForm::ServerIpAddrEdit,
     "You have not entered the IP address of your Internet Service Provider.\r\nEnter the IP address, then try again."},
    {"no_port", [](TMainForm& f) { f.ServerPortEdit->clear(); }, &TMainForm::ServerPortEdit,
     "The port number of the SMTP server has not been specified.\r\nEnter the port number, then try again.\r\n"
     "Note that default port number for the SMTP server is 25."},
    {"port_not_integer",
     [](TMainForm& f) {
         const QSignalBlocker raw(f.ServerPortEdit);  // past the typing filter
         f.ServerPortEdit->setText("2x5");
     },
     &TMainForm::ServerPortEdit,
     "The port number of the SMTP server must be an integer between 1 and 65535.\r\nEnter a valid port number, then "
     "try again.\r\nNote that default port number for the SMTP server is 25."},
    {"port_too_big", [](TMainForm& f) { f.ServerPortEdit->setText("70000"); }, &TMainForm::ServerPortEdit,
     "The port number of the SMTP server must not exceed 65535.\r\nEnter a valid port number, then try again.\r\n"
     "Note that default port number for the SMTP server is 25."},
    {"no_user", [](TMainForm& f) { f.UserNameEdit->clear(); }, &TMainForm::UserNameEdit,
     "You left Your Username blank. Enter your username, then try again.\r\nNote that the username should be that "
     "used to log into your Internet Service Provider."},
    {"no_sender", [](TMainForm& f) { f.UserEmailEdit->clear(); }, &TMainForm::UserEmailEdit,
     "You left Your E-mail Address blank. Enter your e-mail address, then try again.\r\n"},
    {"sender_without_at", [](TMainForm& f) { f.UserEmailEdit->setText("tech"); }, &TMainForm::UserEmailEdit,
     "A valid e-mail address must include the '@' character.\r\nEnter your e-mail address, then try again.\r\n"},
    {"no_recipient", [](TMainForm& f) { f.Email1Edit->clear(); }, &TMainForm::Email1Edit,
     "You did not specify any recipients of this e-mail.\r\n Enter at least one e-mail address, then try again."},
    {"recipient1_without_at", [](TMainForm& f) { f.Email1Edit->setText("a"); }, &TMainForm::Email1Edit, kRecipientAt},
    {"recipient2_without_at", [](TMainForm& f) { f.Email2Edit->setText("b"); }, &TMainForm::Email2Edit, kRecipientAt},
    {"recipient3_without_at",
     [](TMainForm& f) {
         f.Email1Edit->clear();
         f.Email3Edit->setText("abc");
     },
     &TMainForm::Email3Edit, kRecipientAt},
};

TEST_F(EmailSettingsTest, EachFaultMovesTheFocusAndShowsItsMessage) {
    for (const CheckCase& c : kChecks) {
        SCOPED_TRACE(c.name);
        FillValid();
        form_->SendTestEmailBtn->setFocus();
        c.spoil(*form_);
        EXPECT_FALSE(form_->CheckEmailSettings(true));
        EXPECT_EQ(QApplication::focusWidget(), (*form_).*c.field);
        const auto shown = MessageBoxSeam::TakeShown();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].kind, MsgKind::Error);
        EXPECT_EQ(shown[0].text.toStdString(), c.message);

        // Silently: the same answer, no message, the focus stays.
        FillValid();
        form_->SendTestEmailBtn->setFocus();
        c.spoil(*form_);
        EXPECT_FALSE(form_->CheckEmailSettings(false));
        EXPECT_TRUE(MessageBoxSeam::TakeShown().empty());
        EXPECT_EQ(QApplication::focusWidget(), form_->SendTestEmailBtn);
    }
}

TEST_F(EmailSettingsTest, ValidSettingsAndPortsThatOnlyTheClientRefuses) {
    for (const char* port : {"25", "0", "-5", "65535"}) {
        FillValid();
        form_->ServerPortEdit->setText(port);
        EXPECT_TRUE(form_->CheckEmailSettings(true)) << port;
    }
    FillValid();
    form_->UserNameEdit->setText(QString(100, 'u'));  // the field allows it; the client will not
    form_->Email1Edit->setText(" ");                  // spaces are not empty... and lack "@"
    EXPECT_FALSE(form_->CheckEmailSettings(false));
    EXPECT_TRUE(MessageBoxSeam::TakeShown().empty());
}

TEST_F(EmailSettingsTest, PortFieldKeepsOnlyIntegers) {
    form_->ServerPortEdit->setText("25");
    form_->ServerPortEdit->setFocus();
    form_->ServerPortEdit->end(false);
    form_->ServerPortEdit->insert("x");
    EXPECT_EQ(form_->ServerPortEdit->text(), "25");
    form_->ServerPortEdit->clear();
    EXPECT_EQ(form_->ServerPortEdit->text(), "");
    form_->ServerPortEdit->insert("-");
    EXPECT_EQ(form_->ServerPortEdit->text(), "");
    form_->ServerPortEdit->setText("-5");
    EXPECT_EQ(form_->ServerPortEdit->text(), "-5");
    EXPECT_EQ(form_->LastServerPortText, "-5");
}

TEST_F(EmailSettingsTest, RadioButtonsEnableAndDisableTheFields) {
    const auto fieldsEnabled = [this] {
        for (QWidget* w : std::initializer_list<QWidget*>{
                 form_->ServerIpAddrEdit, form_->ServerPortEdit, form_->UserNameEdit, form_->UserEmailEdit,
                 form_->Email1Edit, form_->Email2Edit, form_->Email3Edit, form_->ServerIpAddrLabel,
                 form_->ServerPortLabel, form_->UserNameLabel, form_->UserEmailLabel, form_->Email1Label,
                 form_->Email2Label, form_->Email3Label, form_->SelectEventsBtn, form_->AdvancedEmailBtn,
                 form_->SendTestEmailBtn}) {
            if (!w->isEnabled()) return false;
        }
        return true;
    };
    const auto fieldsDisabled = [this] {
        return !form_->ServerIpAddrEdit->isEnabled() && !form_->Email3Edit->isEnabled() &&
               !form_->Email3Label->isEnabled() && !form_->SendTestEmailBtn->isEnabled() &&
               !form_->SelectEventsBtn->isEnabled() && !form_->AdvancedEmailBtn->isEnabled();
    };
    form_->DisableEmailRadioBtn->setFocus();
    form_->DisableEmailRadioBtn->setChecked(true);
    EXPECT_TRUE(fieldsDisabled());
    EXPECT_TRUE(form_->EnableEmailRadioBtn->isEnabled());
    EXPECT_TRUE(form_->DisableEmailRadioBtn->isEnabled());
    const QColor disabledColour = form_->Email1Edit->palette().color(QPalette::Base);
    form_->EnableEmailRadioBtn->setFocus();
    form_->EnableEmailRadioBtn->setChecked(true);
    EXPECT_TRUE(fieldsEnabled());
    EXPECT_NE(form_->Email1Edit->palette().color(QPalette::Base), disabledColour);
}

}  // namespace
