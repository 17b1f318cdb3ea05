// The test mode settings dialog, offscreen, driven as a user does, and the Tools menu entry that
// opens it: the form's texts, the enabling and look of the duration controls, OK storing what
// was chosen and starting the next cycle, Cancel storing nothing.
#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTimer>
#include <functional>

#include "MainFormFixture.h"
#include "dialogs/TestModeSettingsDlgUnit.h"

namespace {

void Key(QWidget* widget, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier,
         const QString& text = QString()) {
    QKeyEvent press(QEvent::KeyPress, key, modifiers, text);
    QApplication::sendEvent(widget, &press);
    QKeyEvent release(QEvent::KeyRelease, key, modifiers, text);
    QApplication::sendEvent(widget, &release);
}

// Selects the field's text and types over it.
void TypeInto(QSpinBox* edit, const QString& text) {
    edit->setFocus();
    Key(edit, Qt::Key_A, Qt::ControlModifier);
    for (const QChar c : text) Key(edit, c.unicode(), Qt::NoModifier, QString(c));
    Key(edit, Qt::Key_Tab);
}

QColor BaseColour(const QSpinBox* edit) {
    return edit->palette().color(edit->isEnabled() ? QPalette::Active : QPalette::Disabled,
                                 QPalette::Base);
}

// The two duration labels, the two fields and the two "minutes" labels: enabled together,
// the fields in the window colour when in use and in the button face when not.
void ExpectDurationControls(const TTestSettingsDlg& dialog, bool enabled) {
    for (const QWidget* w : std::initializer_list<const QWidget*>{
             dialog.ActiveDurationLabel, dialog.ActiveDurationEdit, dialog.ActiveMinuteLabel,
             dialog.StandbyDurationLabel, dialog.StandbyDurationEdit, dialog.StandbyMinuteLabel}) {
        EXPECT_EQ(w->isEnabled(), enabled) << w->objectName().toStdString();
    }
    const QPalette application = QApplication::palette();
    ASSERT_NE(application.color(QPalette::Base), application.color(QPalette::Button));
    const QColor expected =
        application.color(QPalette::Active, enabled ? QPalette::Base : QPalette::Button);
    EXPECT_EQ(BaseColour(dialog.ActiveDurationEdit), expected);
    EXPECT_EQ(BaseColour(dialog.StandbyDurationEdit), expected);
}

// A desktop palette whose disabled fields keep a colour of their own, neither the window
// colour nor the button face: the dialog must still show the two.
class ScopedDesktopPalette {
public:
    ScopedDesktopPalette() : saved_(QApplication::palette()) {
        QPalette palette = saved_;
        palette.setColor(QPalette::Disabled, QPalette::Base, QColor(200, 220, 255));
        palette.setColor(QPalette::Inactive, QPalette::Base, QColor(250, 250, 240));
        QApplication::setPalette(palette);
    }
    ~ScopedDesktopPalette() { QApplication::setPalette(saved_); }
    ScopedDesktopPalette(const ScopedDesktopPalette&) = delete;
    ScopedDesktopPalette& operator=(const ScopedDesktopPalette&) = delete;

private:
    QPalette saved_;
};

TEST(TestSettingsDlg, TheEmptyFormHasEveryTextAndControlOfTheForm) {
    const ScopedDesktopPalette palette;
    TTestSettingsDlg dialog(nullptr, nullptr);
    EXPECT_EQ(dialog.windowTitle(), "Test Mode Settings");
    EXPECT_EQ(dialog.ChooseLabel->text(), "Choose whether the test mode is to be enabled or not.");
    EXPECT_EQ(dialog.DescriptionLabel->text(),
              "The test will continually switch all registered Velkan devices\n"
              "between Standby and Active modes.\n"
              "Specify the duration for the Standby and Active modes.");
    EXPECT_EQ(dialog.EnableTestRadioBtn->text(), "&Enable ");
    EXPECT_EQ(dialog.DisableTestRadioBtn->text(), "&Disable");
    EXPECT_FALSE(dialog.EnableTestRadioBtn->isChecked());
    EXPECT_TRUE(dialog.DisableTestRadioBtn->isChecked());
    EXPECT_EQ(dialog.ActiveDurationLabel->text(), "Duration of Active mode is");
    EXPECT_EQ(dialog.StandbyDurationLabel->text(), "Duration of Standby mode is");
    EXPECT_EQ(dialog.ActiveMinuteLabel->text(), "minutes");
    EXPECT_EQ(dialog.StandbyMinuteLabel->text(), "minutes");
    for (const QSpinBox* edit : {dialog.ActiveDurationEdit, dialog.StandbyDurationEdit}) {
        EXPECT_EQ(edit->minimum(), 1);
        EXPECT_EQ(edit->maximum(), 60);
        EXPECT_EQ(edit->value(), 2);
    }
    EXPECT_EQ(dialog.OKBtn->text(), "OK");
    EXPECT_TRUE(dialog.OKBtn->isDefault());
    EXPECT_EQ(dialog.CancelBtn->text(), "Cancel");
    ExpectDurationControls(dialog, false);
    // Found by their names, as the form names them.
    for (const char* name : {"EnableTestRadioBtn", "DisableTestRadioBtn", "ActiveDurationEdit",
                             "StandbyDurationEdit", "ActiveDurationLabel", "StandbyDurationLabel",
                             "ActiveMinuteLabel", "StandbyMinuteLabel", "OKBtn", "CancelBtn"}) {
        EXPECT_NE(dialog.findChild<QWidget*>(QString::fromLatin1(name)), nullptr) << name;
    }
    // With nothing to store into, OK closes the form all the same.
    dialog.show();
    dialog.OKBtn->click();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
}

TEST(TestSettingsDlg, ShowsTheSettingsAndTheRadioButtonsSwitchTheDurationControls) {
    const ScopedDesktopPalette palette;
    TestModeSettings_Type settings{true, 5, 45};
    TTestSettingsDlg dialog(nullptr, &settings);
    dialog.show();
    EXPECT_TRUE(dialog.EnableTestRadioBtn->isChecked());
    EXPECT_EQ(dialog.ActiveDurationEdit->value(), 5);
    EXPECT_EQ(dialog.StandbyDurationEdit->value(), 45);
    ExpectDurationControls(dialog, true);

    dialog.DisableTestRadioBtn->click();
    ExpectDurationControls(dialog, false);
    dialog.EnableTestRadioBtn->click();
    ExpectDurationControls(dialog, true);
    dialog.EnableTestRadioBtn->click();  // clicking the checked one changes nothing
    ExpectDurationControls(dialog, true);
}

TEST(TestSettingsDlg, OkStoresWhatWasChosenAndCancelStoresNothing) {
    TestModeSettings_Type settings{false, 2, 2};
    {
        TTestSettingsDlg dialog(nullptr, &settings);
        dialog.show();
        dialog.EnableTestRadioBtn->click();
        TypeInto(dialog.ActiveDurationEdit, "15");
        TypeInto(dialog.StandbyDurationEdit, "7");
        dialog.CancelBtn->click();
        EXPECT_EQ(dialog.result(), QDialog::Rejected);
    }
    EXPECT_FALSE(settings.On);
    EXPECT_EQ(settings.Active, 2);
    EXPECT_EQ(settings.Standby, 2);
    {
        TTestSettingsDlg dialog(nullptr, &settings);
        dialog.show();
        dialog.EnableTestRadioBtn->click();
        TypeInto(dialog.ActiveDurationEdit, "15");
        TypeInto(dialog.StandbyDurationEdit, "99");  // more than the field takes
        dialog.OKBtn->click();
        EXPECT_EQ(dialog.result(), QDialog::Accepted);
    }
    EXPECT_TRUE(settings.On);
    EXPECT_EQ(settings.Active, 15);
    EXPECT_EQ(settings.Standby, 9);  // the 9 was typed, the second 9 refused
    {
        TTestSettingsDlg dialog(nullptr, &settings);
        dialog.show();
        dialog.DisableTestRadioBtn->click();
        dialog.OKBtn->click();
    }
    EXPECT_FALSE(settings.On);
    EXPECT_EQ(settings.Active, 15);
}

// ---- the menu entry of the main window ----

class TestModeMenuTest : public MainFormFixture {
protected:
    TestModeMenuTest() : MainFormFixture(56) {}

    // Opens the dialog from the menu and runs act on it once it is shown modally.
    void OpenDialog(const std::function<void(TTestSettingsDlg&)>& act) {
        bool acted = false;
        QTimer::singleShot(0, form_.get(), [&] {
            auto* dialog = dynamic_cast<TTestSettingsDlg*>(QApplication::activeModalWidget());
            ASSERT_NE(dialog, nullptr);
            acted = true;
            act(*dialog);
        });
        form_->TestModeSettingsMenu->trigger();
        EXPECT_TRUE(acted);
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    }
};

TEST_F(TestModeMenuTest, OkStartsTheNextCycleSoonAndCancelKeepsTheTimerAsItWas) {
    StartForm({"test"});
    CMonitorCore& core = form_->Core();
    ASSERT_FALSE(core.TestModeTimer->isActive());

    OpenDialog([](TTestSettingsDlg& d) {
        d.EnableTestRadioBtn->click();
        TypeInto(d.ActiveDurationEdit, "3");
        d.CancelBtn->click();
    });
    EXPECT_FALSE(core.TestModeSettings.On);
    EXPECT_EQ(core.TestModeSettings.Active, 2);
    EXPECT_FALSE(core.TestModeTimer->isActive());

    OpenDialog([](TTestSettingsDlg& d) {
        EXPECT_TRUE(d.DisableTestRadioBtn->isChecked());
        d.EnableTestRadioBtn->click();
        TypeInto(d.ActiveDurationEdit, "3");
        TypeInto(d.StandbyDurationEdit, "4");
        d.OKBtn->click();
    });
    EXPECT_TRUE(core.TestModeSettings.On);
    EXPECT_EQ(core.TestModeSettings.Active, 3);
    EXPECT_EQ(core.TestModeSettings.Standby, 4);
    EXPECT_TRUE(core.TestModeTimer->isActive());
    EXPECT_EQ(core.TestModeTimer->interval(), 100);

    // The settings went into the file with the rest.
    StopForm();
    EXPECT_NE(ReadConfig().find("[Test]\r\nOn=1\r\nActive=3\r\nStandby=4\r\n"), std::string::npos);
}

TEST_F(TestModeMenuTest, OkWithTestModeSwitchedOffStopsTheTimer) {
    WriteConfig("[Test]\r\nOn=1\r\nActive=2\r\nStandby=2\r\n");
    StartForm({"test"});
    CMonitorCore& core = form_->Core();
    ASSERT_TRUE(core.TestModeTimer->isActive());
    OpenDialog([](TTestSettingsDlg& d) {
        EXPECT_TRUE(d.EnableTestRadioBtn->isChecked());
        d.DisableTestRadioBtn->click();
        d.OKBtn->click();
    });
    EXPECT_FALSE(core.TestModeSettings.On);
    EXPECT_FALSE(core.TestModeTimer->isActive());
}

// "Disable" and OK while a cycle is sending: the devices it has not reached yet get nothing.
TEST_F(TestModeMenuTest, OkWithTestModeSwitchedOffEndsTheCycleUnderWay) {
    const int first = QuietSim(2, "5600");
    const int second = QuietSim(3, "5600");
    StartForm({"test"});
    WaitForFirstPoll();
    Add("Left", Address(2));
    Add("Right", Address(3));
    ASSERT_TRUE(
        WaitUntil([&] { return Shows(0, "Connected", "OK") && Shows(1, "Connected", "OK"); }));
    // Every request but the status queries.
    const auto commands = [this](int sim) {
        std::vector<std::string> out;
        for (const std::string& r : Site().Snapshot(sim).requests) {
            if (r != "*s?\n") out.push_back(r);
        }
        return out;
    };
    OpenDialog([](TTestSettingsDlg& d) {
        d.EnableTestRadioBtn->click();
        d.OKBtn->click();
    });
    ASSERT_TRUE(WaitUntil([&] { return !commands(first).empty(); }, 2000));
    OpenDialog([](TTestSettingsDlg& d) {
        d.DisableTestRadioBtn->click();
        d.OKBtn->click();
    });
    EXPECT_FALSE(form_->Core().TestCycleRunning());
    Pump(3500);  // the cycle would have reached the second device by now
    EXPECT_EQ(commands(first), std::vector<std::string>{"*p1\n"});
    EXPECT_TRUE(commands(second).empty());
}

}  // namespace
