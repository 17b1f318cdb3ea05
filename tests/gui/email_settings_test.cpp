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
     "You have not entered the IP address of your Internet Service Provider.\r\nEnter the IP "
     "address, then try again."},
    {"no_port", [](TMainForm& f) { f.ServerPortEdit->clear(); }, &TMainForm::ServerPortEdit,
     "The port number of the SMTP server has not been specified.\r\nEnter the port number, then "
     "try again.\r\n"
     "Note that default port number for the SMTP server is 25."},
    {"port_not_integer",
     [](TMainForm& f) {
         f.Core().EmailSettings.port = "2x5";  // past the typing filter
     },
     &TMainForm::ServerPortEdit,
     "The port number of the SMTP server must be an integer between 1 and 65535.\r\nEnter a valid "
     "port number, then "
     "try again.\r\nNote that default port number for the SMTP server is 25."},
    {"port_too_big", [](TMainForm& f) { f.ServerPortEdit->setText("70000"); },
     &TMainForm::ServerPortEdit,
     "The port number of the SMTP server must not exceed 65535.\r\nEnter a valid port number, then "
     "try again.\r\n"
     "Note that default port number for the SMTP server is 25."},
    {"no_user", [](TMainForm& f) { f.UserNameEdit->clear(); }, &TMainForm::UserNameEdit,
     "You left Your Username blank. Enter your username, then try again.\r\nNote that the username "
     "should be that "
     "used to log into your Internet Service Provider."},
    {"no_sender", [](TMainForm& f) { f.UserEmailEdit->clear(); }, &TMainForm::UserEmailEdit,
     "You left Your E-mail Address blank. Enter your e-mail address, then try again.\r\n"},
    {"sender_without_at", [](TMainForm& f) { f.UserEmailEdit->setText("tech"); },
     &TMainForm::UserEmailEdit,
     "A valid e-mail address must include the '@' character.\r\nEnter your e-mail address, then "
     "try again.\r\n"},
    {"no_recipient", [](TMainForm& f) { f.Email1Edit->clear(); }, &TMainForm::Email1Edit,
     "You did not specify any recipients of this e-mail.\r\n Enter at least one e-mail address, "
     "then try again."},
    {"recipient1_without_at", [](TMainForm& f) { f.Email1Edit->setText("a"); },
     &TMainForm::Email1Edit, kRecipientAt},
    {"recipient2_without_at", [](TMainForm& f) { f.Email2Edit->setText("b"); },
     &TMainForm::Email2Edit, kRecipientAt},
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
    // A user name the field allows and the client will not take passes the check: lengths
    // are the client's business.
    FillValid();
    form_->UserNameEdit->setText(QString(100, 'u'));
    EXPECT_TRUE(form_->CheckEmailSettings(true));
    EXPECT_TRUE(MessageBoxSeam::TakeShown().empty());
}

TEST_F(EmailSettingsTest, ARecipientOfSpacesIsNotEmptyButLacksTheAt) {
    // Not "no recipients" (test 8): the spaces count as text, which then has no "@" (test 9).
    FillValid();
    form_->Email1Edit->setText(" ");
    form_->SendTestEmailBtn->setFocus();
    EXPECT_FALSE(form_->CheckEmailSettings(true));
    EXPECT_EQ(QApplication::focusWidget(), form_->Email1Edit);
    const auto shown = MessageBoxSeam::TakeShown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text.toStdString(), kRecipientAt);
}

TEST_F(EmailSettingsTest, PortFieldKeepsOnlyIntegers) {
    form_->ServerPortEdit->setText("25");
    form_->ServerPortEdit->setFocus();
    form_->ServerPortEdit->end(false);
    form_->ServerPortEdit->insert("x");
    EXPECT_EQ(form_->ServerPortEdit->text(), "25");
    EXPECT_EQ(form_->Core().EmailSettings.port, "25");
    form_->ServerPortEdit->clear();
    EXPECT_EQ(form_->ServerPortEdit->text(), "");
    form_->ServerPortEdit->insert("-");
    EXPECT_EQ(form_->ServerPortEdit->text(), "");
    form_->ServerPortEdit->setText("-5");
    EXPECT_EQ(form_->ServerPortEdit->text(), "-5");
    EXPECT_EQ(form_->LastServerPortText, "-5");
    EXPECT_EQ(form_->Core().EmailSettings.port, "-5");  // what the core sends with
}

TEST_F(EmailSettingsTest, RadioButtonsEnableAndDisableTheFields) {
    QWidget* const fields[] = {
        form_->ServerIpAddrEdit, form_->ServerPortEdit,    form_->UserNameEdit,
        form_->UserEmailEdit,    form_->Email1Edit,        form_->Email2Edit,
        form_->Email3Edit,       form_->ServerIpAddrLabel, form_->ServerPortLabel,
        form_->UserNameLabel,    form_->UserEmailLabel,    form_->Email1Label,
        form_->Email2Label,      form_->Email3Label,       form_->SelectEventsBtn,
        form_->AdvancedEmailBtn, form_->SendTestEmailBtn};
    // "on" or "off" when every field agrees, "mixed" otherwise.
    const auto state = [&] {
        int on = 0;
        for (QWidget* w : fields) on += w->isEnabled() ? 1 : 0;
        return on == static_cast<int>(std::size(fields)) ? "on" : on == 0 ? "off" : "mixed";
    };
    const QColor enabledColour = QApplication::palette().color(QPalette::Base);
    const QColor disabledColour = QApplication::palette().color(QPalette::Midlight);
    ASSERT_NE(enabledColour, disabledColour);
    const auto colour = [this] { return form_->Email1Edit->palette().color(QPalette::Base); };
    ASSERT_EQ(state(), "on");  // the fixture checked Enable

    // Focus alone, the checked button unchanged: each step needs the focused button's handler.
    form_->DisableEmailRadioBtn->setFocus();
    EXPECT_EQ(QApplication::focusWidget(), form_->DisableEmailRadioBtn);
    EXPECT_EQ(state(), "off");
    EXPECT_EQ(colour(), disabledColour);
    form_->EnableEmailRadioBtn->setFocus();
    EXPECT_EQ(QApplication::focusWidget(), form_->EnableEmailRadioBtn);
    EXPECT_EQ(state(), "on");
    EXPECT_EQ(colour(), enabledColour);
    EXPECT_TRUE(form_->EnableEmailRadioBtn->isChecked());

    // A check without a focus change (a click on a window that is not active, a shortcut):
    // the focus stays on the page's tab bar.
    form_->PageControl->setFocus();
    QWidget* const neutral = QApplication::focusWidget();
    ASSERT_NE(neutral, form_->EnableEmailRadioBtn);
    ASSERT_NE(neutral, form_->DisableEmailRadioBtn);
    form_->DisableEmailRadioBtn->setChecked(true);
    EXPECT_EQ(state(), "off");
    form_->EnableEmailRadioBtn->setChecked(true);
    EXPECT_EQ(state(), "on");
    EXPECT_EQ(QApplication::focusWidget(), neutral);
    // The radio buttons themselves stay usable whatever the state.
    form_->DisableEmailRadioBtn->setChecked(true);
    EXPECT_TRUE(form_->EnableEmailRadioBtn->isEnabled());
    EXPECT_TRUE(form_->DisableEmailRadioBtn->isEnabled());
}

// ---- the page and the core's e-mail settings ----

class EmailPageSettingsTest : public MainFormFixture {
protected:
    EmailPageSettingsTest() : MainFormFixture(14) {}
};

TEST_F(EmailPageSettingsTest, ThePageShowsTheLoadedSettings) {
    StartForm();
    EXPECT_FALSE(form_->EnableEmailRadioBtn->isChecked());
    EXPECT_TRUE(form_->DisableEmailRadioBtn->isChecked());
    EXPECT_EQ(form_->ServerPortEdit->text(), "25");
    EXPECT_EQ(form_->ServerIpAddrEdit->text(), "");
    EXPECT_EQ(form_->Email1Edit->text(), "service@example.com");
    EXPECT_EQ(form_->Email2Edit->text(), "");
    EXPECT_FALSE(form_->ServerPortEdit->isEnabled());  // e-mail disabled: its fields too
    StopForm();

    WriteConfig(
        "[email]\r\nserverport=587\r\nALERTS=1\r\nServerIp=127.0.0.7\r\nUserName=tech\r\n"
        "UserEmail=tech@example.com\r\nEmail 1=a@example.com\r\nEmail 2=b@example.com\r\n"
        "Email 3=c@example.com\r\n");
    StartForm();
    EXPECT_TRUE(form_->EnableEmailRadioBtn->isChecked());
    EXPECT_TRUE(form_->ServerPortEdit->isEnabled());
    EXPECT_EQ(form_->ServerIpAddrEdit->text(), "127.0.0.7");
    EXPECT_EQ(form_->ServerPortEdit->text(), "587");
    EXPECT_EQ(form_->LastServerPortText, "587");
    EXPECT_EQ(form_->UserNameEdit->text(), "tech");
    EXPECT_EQ(form_->UserEmailEdit->text(), "tech@example.com");
    EXPECT_EQ(form_->Email1Edit->text(), "a@example.com");
    EXPECT_EQ(form_->Email2Edit->text(), "b@example.com");
    EXPECT_EQ(form_->Email3Edit->text(), "c@example.com");
}

// What is typed is the core's setting at once (the next e-mail goes out with it), and the
// file has it within seconds.
TEST_F(EmailPageSettingsTest, WhatIsTypedIsTheSettingAndIsSaved) {
    StartForm();
    form_->EnableEmailRadioBtn->setChecked(true);
    form_->ServerIpAddrEdit->setText("127.0.0.9");
    form_->ServerPortEdit->setText("2525");
    form_->UserNameEdit->setText("tech");
    form_->UserEmailEdit->setText("tech@example.com");
    form_->Email1Edit->setText("a@example.com");
    form_->Email2Edit->setText("b@example.com");
    form_->Email3Edit->setText("c@example.com");
    const EmailSettings_Type& e = form_->Core().EmailSettings;
    EXPECT_TRUE(e.Enabled);
    EXPECT_EQ(e.server, "127.0.0.9");
    EXPECT_EQ(e.port, "2525");
    EXPECT_EQ(e.userName, "tech");
    EXPECT_EQ(e.sender, "tech@example.com");
    EXPECT_EQ(e.recipient[0], "a@example.com");
    EXPECT_EQ(e.recipient[1], "b@example.com");
    EXPECT_EQ(e.recipient[2], "c@example.com");
    EXPECT_TRUE(WaitUntil(
        [&] {
            return ReadConfig().find(
                       "[Email]\r\nAlerts=1\r\nServerIp=127.0.0.9\r\nServerPort=2525\r\n"
                       "UserName=tech\r\nUserEmail=tech@example.com\r\n"
                       "Email 1=a@example.com\r\nEmail 2=b@example.com\r\n"
                       "Email 3=c@example.com\r\n") != std::string::npos;
        },
        6000))
        << ReadConfig();
    form_->DisableEmailRadioBtn->setChecked(true);
    EXPECT_FALSE(e.Enabled);
}

// The e-mail fields limit what can be typed, but a longer text in the file is the user's
// setting all the same: it is shown whole, and the other fields keep their limit.
TEST_F(EmailPageSettingsTest, LongerTextsFromTheFileThanAFieldTakesAreShownWhole) {
    StartForm();
    const int limit = form_->UserEmailEdit->maxLength();
    StopForm();
    ASSERT_LT(limit, 300);
    const std::string sender = std::string(300, 's') + "@example.com";
    const std::string recipient =
        "r\xC3\xA9" + std::string(290, 'r') + "@example.com";  // "é": 2 bytes
    WriteConfig("[Email]\r\nUserEmail=" + sender + "\r\nEmail 1=" + recipient + "\r\n");
    StartForm();
    EXPECT_EQ(form_->UserEmailEdit->text().toStdString(), sender);
    EXPECT_EQ(form_->Email1Edit->text().toStdString(), recipient);
    EXPECT_EQ(form_->Email2Edit->maxLength(), limit);
    EXPECT_EQ(form_->Core().EmailSettings.sender, sender);
}

}  // namespace
