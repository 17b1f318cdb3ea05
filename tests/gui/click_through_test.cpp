// Every command of the window as a new user would try it: each button of both pages, each
// menu entry and each entry of the notification area's menu must open or do something a
// user can see (a dialog, a window, a message, a launch, a change of the list), never
// nothing. Commands that end the program are left out.
#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QPushButton>
#include <QRadioButton>
#include <QSet>
#include <QTimer>
#include <QWidget>
#include <functional>

#include "MainFormFixture.h"
#include "platform/MessageBox.h"

namespace {

enum class Effect { Dialog, Window, Message, Launch, ListChange };

const char* Name(Effect e) {
    switch (e) {
        case Effect::Dialog:
            return "a dialog";
        case Effect::Window:
            return "a window";
        case Effect::Message:
            return "a message";
        case Effect::Launch:
            return "a launch";
        case Effect::ListChange:
            return "a change of the list";
    }
    return "?";
}

class ClickThroughTest : public MainFormFixture {
protected:
    ClickThroughTest() : MainFormFixture(47) {}

    void SetUp() override {
        MainFormFixture::SetUp();
        QuietSim(2, "CLK");
        WriteConfig("[AVLO]\r\nRegistered=1\r\nName 0=Stage\r\nIP 0=" + Address(2) +
                    "\r\navlo 0=1\r\n[Options]\r\nPoll=600000\r\nLog=1\r\n");
        StartForm({"test", "stats", "alerts"});
        WaitForFirstPoll();
        ASSERT_TRUE(WaitUntil([&] { return Cell(0, 3) == "Connected"; }));
    }

    void SelectFirstRow() {
        form_->ListView->setCurrentItem(form_->ListView->topLevelItem(0));
        form_->ListViewMouseDown(0);
    }

    static QSet<QWidget*> VisibleWindows() {
        QSet<QWidget*> out;
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (w->isVisible()) out.insert(w);
        }
        return out;
    }

    // Runs the command and tells what it did that a user can see. A modal dialog is closed
    // (rejected) once seen; a new window is hidden again afterwards.
    std::optional<Effect> Try(const std::function<void()>& command, QString& title) {
        MessageBoxSeam::TakeShown();
        ShellSeam::TakeOpened();
        const int rows = form_->ListView->topLevelItemCount();
        const QSet<QWidget*> before = VisibleWindows();
        bool modalSeen = false;  // the dialog itself may be gone once its command returns
        auto* watch = new QTimer(form_.get());
        watch->setInterval(10);
        QObject::connect(watch, &QTimer::timeout, form_.get(), [&modalSeen, &title] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (dialog == nullptr || modalSeen) return;
            modalSeen = true;
            title = dialog->windowTitle();
            dialog->reject();
        });
        watch->start();
        command();
        std::optional<Effect> effect;
        WaitUntil(
            [&] {
                if (modalSeen) {
                    effect = Effect::Dialog;
                } else if (!MessageBoxSeam::TakeShown().empty()) {
                    effect = Effect::Message;
                } else if (!ShellSeam::TakeOpened().empty()) {
                    effect = Effect::Launch;
                } else if (form_->ListView->topLevelItemCount() != rows) {
                    effect = Effect::ListChange;
                } else {
                    for (QWidget* w : VisibleWindows()) {
                        if (before.contains(w)) continue;
                        effect = Effect::Window;
                        title = w->windowTitle();
                        w->hide();
                    }
                }
                return effect.has_value();
            },
            8000);
        delete watch;
        return effect;
    }
};

TEST_F(ClickThroughTest, EveryCommandDoesSomethingAUserCanSee) {
    TMainForm& f = *form_;
    const struct {
        const char* what;
        std::function<void()> command;
        Effect expected;
    } commands[] = {
        {"Search Network button", [&] { f.SearchNetworkBtn->click(); }, Effect::Message},
        {"Register Device button", [&] { f.RegisterDeviceBtn->click(); }, Effect::Dialog},
        {"Edit button", [&] { f.EditBtn->click(); }, Effect::Dialog},
        {"Show Properties button", [&] { f.ShowPropertiesBtn->click(); }, Effect::Dialog},
        {"Show Web Page button", [&] { f.ShowWebPageBtn->click(); }, Effect::Launch},
        {"Device > Search Network", [&] { f.SearchNetworkMenu->trigger(); }, Effect::Message},
        {"Device > Register Device", [&] { f.RegisterDeviceMenu->trigger(); }, Effect::Dialog},
        {"Device > Edit", [&] { f.EditDeviceMenu->trigger(); }, Effect::Dialog},
        {"Device > Show Properties", [&] { f.ShowPropertiesMainMenu->trigger(); }, Effect::Dialog},
        {"Device > Show Web Page", [&] { f.ShowWebPage1MainMenu->trigger(); }, Effect::Launch},
        {"Tools > Event Viewer", [&] { f.EventViewerMenu->trigger(); }, Effect::Window},
        {"Tools > Options", [&] { f.OptionsMenu->trigger(); }, Effect::Dialog},
        {"Tools > Test Mode Settings", [&] { f.TestModeSettingsMenu->trigger(); }, Effect::Dialog},
        {"Help > Visit home page", [&] { f.VisitVelkanHomePageMenu->trigger(); }, Effect::Launch},
        {"Help > Send e-mail", [&] { f.SendVelkananEmailMenu->trigger(); }, Effect::Launch},
        {"Help > About", [&] { f.AboutMenu->trigger(); }, Effect::Dialog},
        {"tray > Info > home page", [&] { f.VisitVelkanHomePageMenu1->trigger(); }, Effect::Launch},
        {"tray > Info > Send e-mail", [&] { f.SendVelkanEmailMenu->trigger(); }, Effect::Launch},
        {"tray > Tools > Event Viewer", [&] { f.EventViewerMenu1->trigger(); }, Effect::Window},
        {"tray > Tools > Options", [&] { f.Options1->trigger(); }, Effect::Dialog},
        {"e-mail page: Select Events", [&] { f.SelectEventsBtn->click(); }, Effect::Dialog},
        {"e-mail page: Advanced", [&] { f.AdvancedEmailBtn->click(); }, Effect::Dialog},
        {"e-mail page: Server Security", [&] { f.ServerSecurityBtn->click(); }, Effect::Dialog},
        // No server filled in: the settings check says which field to correct.
        {"e-mail page: Send Test E-mail", [&] { f.SendTestEmailBtn->click(); }, Effect::Message},
        // Last: they change the list.
        {"Delete button", [&] { f.DeleteBtn->click(); }, Effect::ListChange},
    };
    // The e-mail page's buttons work only with e-mail alerts on.
    f.EnableEmailRadioBtn->click();
    ASSERT_TRUE(f.SelectEventsBtn->isEnabled());
    for (const auto& c : commands) {
        SCOPED_TRACE(c.what);
        if (f.ListView->topLevelItemCount() > 0) SelectFirstRow();
        QString title;
        const std::optional<Effect> effect = Try(c.command, title);
        ASSERT_TRUE(effect.has_value()) << c.what << " did nothing a user can see";
        EXPECT_EQ(Name(*effect), std::string(Name(c.expected))) << c.what;
        if (*effect == Effect::Dialog || *effect == Effect::Window) {
            EXPECT_FALSE(title.isEmpty()) << c.what << " opened a window without a caption";
        }
    }
}

// The notification area's "Open" brings the hidden window back.
TEST_F(ClickThroughTest, OpenShowsTheHiddenWindow) {
    form_->hide();
    form_->OpenMenu->trigger();
    EXPECT_TRUE(WaitUntil([&] { return form_->isVisible(); }));
}

}  // namespace
