// The e-mail page's "Webhooks..." button and its dialog, offscreen: what OK stores, a ticked
// row that cannot be used, and each row's test with its outcome shown in the open dialog.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <chrono>

#include "MainFormFixture.h"
#include "dialogs/WebhooksDlgUnit.h"
#include "support/WebhookReceiver.h"

namespace {

using namespace std::chrono_literals;

class WebhooksDialogTest : public MainFormFixture {
protected:
    WebhooksDialogTest() : MainFormFixture(212) {}

    // Opens the dialog with the button, lets `drive` work on it, then presses OK.
    void RunDialog(const std::function<void(TWebhooksDlg&)>& drive) {
        bool driven = false;
        QTimer::singleShot(0, form_.get(), [&] {
            auto* dialog = form_->findChild<TWebhooksDlg*>();
            if (!dialog) return;
            drive(*dialog);
            driven = true;
            dialog->OkBtn->click();
            if (dialog->isVisible()) dialog->reject();  // OK refused: close it anyway
        });
        form_->WebhooksBtn->click();
        ASSERT_TRUE(driven) << "the dialog did not open";
    }
};

TEST_F(WebhooksDialogTest, OkStoresTheRowsAndTheCaFileInTheSettingsFile) {
    StartForm();
    ASSERT_NE(form_->WebhooksBtn, nullptr);
    EXPECT_EQ(form_->WebhooksBtn->text(), "&Webhooks...");
    EXPECT_TRUE(form_->WebhooksBtn->isEnabled()) << "webhooks do not need e-mail alerts";
    RunDialog([](TWebhooksDlg& d) {
        d.OnCheckBox[0]->setChecked(true);
        d.UrlEdit[0]->setText(" https://ntfy.example/site-7 ");
        d.FormatComboBox[0]->setCurrentText("ntfy");
        d.UrlEdit[2]->setText("https://chat.example/hooks/x");
        d.FormatComboBox[2]->setCurrentText("chat");
        d.CaFileEdit->setText("/etc/avlo/ca.pem");
    });
    const WebhookSettings_Type& w = form_->Core().WebhookSettings;
    EXPECT_TRUE(w.Targets[0].On);
    EXPECT_EQ(w.Targets[0].Url, "https://ntfy.example/site-7");
    EXPECT_EQ(w.Targets[0].Format, "ntfy");
    EXPECT_FALSE(w.Targets[2].On);
    EXPECT_EQ(w.Targets[2].Format, "chat");
    EXPECT_EQ(w.CaFile, "/etc/avlo/ca.pem");
    StopForm();
    const std::string text = ReadConfig();
    for (const char* line :
         {"[Webhooks]\r\n", "On1=1\r\n", "Url1=https://ntfy.example/site-7\r\n", "Format1=ntfy\r\n",
          "Format3=chat\r\n", "CaFile=/etc/avlo/ca.pem\r\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line << text;
    }
}

TEST_F(WebhooksDialogTest, OkRefusesATickedRowThatCannotBeUsedAndSaysWhy) {
    StartForm();
    RunDialog([](TWebhooksDlg& d) {
        d.OnCheckBox[1]->setChecked(true);
        d.UrlEdit[1]->setText("ftp://files.example/in");
    });
    const auto shown = MessageBoxSeam::TakeShown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_TRUE(shown[0].text.contains("Target 2") && shown[0].text.contains("http"))
        << shown[0].text.toStdString();
    EXPECT_FALSE(form_->Core().WebhookSettings.Targets[1].On) << "stored although refused";
}

// The dialog stays usable while a test is on its way; each row shows its own outcome.
TEST_F(WebhooksDialogTest, SendTestShowsEachRowsOutcomeInTheOpenDialog) {
    if (access(smtpsink::Python, X_OK) != 0) GTEST_SKIP() << "needs Debian's /usr/bin/python3";
    const WebhookReceiver good("ok");
    const WebhookReceiver failing("status:500");
    ASSERT_TRUE(good.Running() && failing.Running());
    StartForm();
    form_->Core().WebhookTimes.TryLimit = 1500ms;
    form_->Core().WebhookTimes.RetryWaits = {300ms, 300ms};
    TWebhooksDlg dialog(form_->Core().WebhookSettings, form_->Core(), form_.get());
    dialog.show();
    dialog.UrlEdit[0]->setText(QString::fromStdString(good.Url()));
    dialog.FormatComboBox[0]->setCurrentText("chat");
    dialog.UrlEdit[1]->setText(QString::fromStdString(failing.Url()));
    dialog.UrlEdit[2]->setText("ftp://files.example/in");

    for (QPushButton* button : dialog.SendTestBtn) button->click();
    EXPECT_EQ(dialog.OutcomeLabel[0]->text(), "Sending...");
    EXPECT_FALSE(dialog.SendTestBtn[1]->isEnabled());
    EXPECT_EQ(dialog.OutcomeLabel[2]->text(), "Not sent: its URL is not an http or https URL.");
    EXPECT_TRUE(WaitUntil([&] { return dialog.OutcomeLabel[0]->text() == "Test sent."; }, 15000))
        << dialog.OutcomeLabel[0]->text().toStdString();
    // The failing row is still retrying: the dialog answers meanwhile.
    EXPECT_EQ(dialog.OutcomeLabel[1]->text(), "Sending...");
    dialog.UrlEdit[2]->setText("typed while a test runs");
    EXPECT_TRUE(WaitUntil([&] { return dialog.SendTestBtn[1]->isEnabled(); }, 15000));
    EXPECT_EQ(dialog.OutcomeLabel[1]->text(), "Test failed: HTTP status 500 (3 tries)");
    ASSERT_EQ(good.Requests().size(), 1u);
    EXPECT_NE(good.Requests()[0].Body.find("test message"), std::string::npos);
    EXPECT_EQ(form_->Core().WebhookSettings, WebhookSettings_Type{}) << "a test saves nothing";
}

}  // namespace
