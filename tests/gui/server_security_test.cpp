// The e-mail page's "Server Security..." button and its dialog, offscreen: the port it
// proposes for each mode, the keys it stores, and the password kept out of the settings (in
// the file beside them here: the test program has no keyring).
#include <sys/stat.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <fstream>
#include <sstream>

#include "MainFormFixture.h"
#include "dialogs/ServerSecurityDlgUnit.h"

namespace {

class ServerSecurityTest : public MainFormFixture {
protected:
    ServerSecurityTest() : MainFormFixture(93) {}

    // Opens the dialog with the button, lets `drive` work on it, and closes it with OK.
    void RunDialog(const std::function<void(TServerSecurityDlg&)>& drive) {
        bool driven = false;
        QTimer::singleShot(0, form_.get(), [&] {
            auto* dialog = form_->findChild<TServerSecurityDlg*>();
            if (!dialog) return;
            drive(*dialog);
            driven = true;
            dialog->OkBtn->click();
        });
        form_->ServerSecurityBtn->click();
        ASSERT_TRUE(driven) << "the dialog did not open";
    }
};

TEST_F(ServerSecurityTest, TheButtonIsOnTheEmailPageAndFollowsItsEnabledState) {
    StartForm();
    ASSERT_NE(form_->ServerSecurityBtn, nullptr);
    EXPECT_EQ(form_->ServerSecurityBtn->text(), "Server &Security...");
    EXPECT_FALSE(form_->ServerSecurityBtn->isEnabled());  // e-mail disabled in a new install
    form_->EnableEmailRadioBtn->setChecked(true);
    form_->EnableEmailRadioBtnEnter();
    EXPECT_TRUE(form_->ServerSecurityBtn->isEnabled());
}

TEST_F(ServerSecurityTest, ChoosingAModeProposesItsPortOnlyOverAnotherModesDefault) {
    StartForm();
    const struct {
        const char* port;
        const char* startTls;
        const char* sslTls;
        const char* none;
    } cases[] = {
        {"25", "Port: 587", "Port: 465", "Port: 25"},
        {"465", "Port: 587", "Port: 465", "Port: 25"},
        {"2525", "Port: 2525", "Port: 2525", "Port: 2525"},  // the user's own port stays
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.port);
        TServerSecurityDlg::Context context;
        context.Port = c.port;
        TServerSecurityDlg dialog(context, "tech", form_->Core().PasswordStore());
        dialog.StartTlsRadioBtn->setChecked(true);
        EXPECT_EQ(dialog.PortLabel->text(), c.startTls);
        dialog.SslTlsRadioBtn->setChecked(true);
        EXPECT_EQ(dialog.PortLabel->text(), c.sslTls);
        dialog.NoSecurityRadioBtn->setChecked(true);
        EXPECT_EQ(dialog.PortLabel->text(), c.none);
    }
}

TEST_F(ServerSecurityTest, OkStoresTheKeysAndThePortAndKeepsThePasswordOutOfTheSettings) {
    const std::string password = "s3cret p\xC3\xA4ss";
    StartForm();
    form_->EnableEmailRadioBtn->setChecked(true);
    form_->UserNameEdit->setText("tech");
    ASSERT_EQ(form_->ServerPortEdit->text(), "25");
    RunDialog([&](TServerSecurityDlg& dialog) {
        // No sign-in name yet: the page's user name is proposed.
        EXPECT_EQ(dialog.SignInUserEdit->text(), "tech");
        EXPECT_FALSE(dialog.SignInUserEdit->isEnabled());
        dialog.StartTlsRadioBtn->setChecked(true);
        dialog.SignInCheckBox->setChecked(true);
        EXPECT_TRUE(dialog.PasswordEdit->isEnabled());
        EXPECT_EQ(dialog.PasswordEdit->echoMode(), QLineEdit::Password);
        dialog.SignInUserEdit->setText("alarm@site.test");
        dialog.PasswordEdit->setText(QString::fromStdString(password));
        dialog.CaFileEdit->setText("/etc/site/ca.pem");
    });
    const EmailSettings_Type& e = form_->Core().EmailSettings;
    EXPECT_EQ(e.Security, 1);
    EXPECT_TRUE(e.SignIn);
    EXPECT_EQ(e.SignInUser, "alarm@site.test");
    EXPECT_EQ(e.CaFile, "/etc/site/ca.pem");
    EXPECT_EQ(form_->ServerPortEdit->text(), "587");
    EXPECT_EQ(e.port, "587");
    EXPECT_TRUE(WaitUntil(
        [&] {
            return ReadConfig().find(
                       "Security=1\r\nSignIn=1\r\nSignInUser=alarm@site.test\r\n"
                       "CaFile=/etc/site/ca.pem\r\n") != std::string::npos;
        },
        6000))
        << ReadConfig();
    EXPECT_EQ(ReadConfig().find(password), std::string::npos);

    // No keyring in this program: the file beside the settings, for this user alone.
    const std::string secret = options_.configPath + ".secret";
    std::ifstream in(secret, std::ios::binary);
    std::ostringstream stored;
    stored << in.rdbuf();
    EXPECT_EQ(stored.str(), password);
    struct stat st {};
    ASSERT_EQ(stat(secret.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // Opened again: the stored settings, the password not shown, and where it is kept.
    RunDialog([&](TServerSecurityDlg& dialog) {
        EXPECT_TRUE(dialog.StartTlsRadioBtn->isChecked());
        EXPECT_TRUE(dialog.SignInCheckBox->isChecked());
        EXPECT_EQ(dialog.SignInUserEdit->text(), "alarm@site.test");
        EXPECT_EQ(dialog.PasswordEdit->text(), "");
        EXPECT_TRUE(dialog.PasswordPlaceLabel->text().contains(QString::fromStdString(secret)))
            << dialog.PasswordPlaceLabel->text().toStdString();
    });
    // An empty password field keeps the stored password.
    std::ifstream again(secret, std::ios::binary);
    std::ostringstream kept;
    kept << again.rdbuf();
    EXPECT_EQ(kept.str(), password);
}

// Where a control is in the dialog.
QRect InDialog(const QWidget& dialog, const QWidget& control) {
    return QRect(control.mapTo(&dialog, QPoint()), control.size());
}

TEST_F(ServerSecurityTest, SignInWithoutEncryptionIsPointedOutInRoomOfItsOwn) {
    StartForm();
    TServerSecurityDlg dialog({}, "tech", form_->Core().PasswordStore());
    dialog.show();
    const int before = dialog.height();
    dialog.SignInCheckBox->setChecked(true);
    QApplication::processEvents();
    EXPECT_TRUE(dialog.PlainSignInLabel->isVisible());
    // The dialog grows for the warning: it covers no other text and is not squeezed.
    const QRect warning = InDialog(dialog, *dialog.PlainSignInLabel);
    EXPECT_GT(dialog.height(), before);
    EXPECT_TRUE(dialog.rect().contains(warning));
    EXPECT_GE(warning.height(),
              dialog.PlainSignInLabel->heightForWidth(dialog.PlainSignInLabel->width()));
    for (const QWidget* other : std::initializer_list<const QWidget*>{
             dialog.PasswordEdit, dialog.PasswordPlaceLabel, dialog.CaFileEdit, dialog.OkBtn}) {
        EXPECT_FALSE(warning.intersects(InDialog(dialog, *other)))
            << other->objectName().toStdString();
    }
    dialog.SslTlsRadioBtn->setChecked(true);
    EXPECT_FALSE(dialog.PlainSignInLabel->isVisible());
}

// The mail client never sends a password without encryption, so OK does not take such
// settings either: it says why and leaves the dialog open to be put right.
TEST_F(ServerSecurityTest, OkRefusesSignInWithoutEncryption) {
    StartForm();
    form_->EnableEmailRadioBtn->setChecked(true);
    bool stillOpen = false;
    RunDialog([&](TServerSecurityDlg& dialog) {
        dialog.NoSecurityRadioBtn->setChecked(true);
        dialog.SignInCheckBox->setChecked(true);
        dialog.PasswordEdit->setText(QStringLiteral("secret"));
        dialog.OkBtn->click();
        stillOpen = dialog.isVisible();
        const auto shown = MessageBoxSeam::TakeShown();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].title, "Server Security");
        EXPECT_EQ(shown[0].text,
                  "The password would travel in the clear: a password is never sent without "
                  "encryption. Choose STARTTLS or SSL/TLS, or clear \"Server requires sign-in\".");
        // Put right, OK takes the settings.
        dialog.StartTlsRadioBtn->setChecked(true);
    });
    EXPECT_TRUE(stillOpen);
    EXPECT_EQ(form_->Core().EmailSettings.Security, 1);
    EXPECT_TRUE(form_->Core().EmailSettings.SignIn);
}

}  // namespace
