// The settings dialogs and the about box, driven as a user drives them: the options with the
// poll list, the log switch and run at log-on; the about box's version and link; the splash;
// the notifiable events with the "alerts" switch and the all-cleared question; the advanced
// e-mail details with the date fields, down to the next alert e-mail.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QEnterEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTimer>
#include <filesystem>
#include <functional>
#include <optional>

#include "MainFormFixture.h"
#include "app/AboutDlg.h"
#include "app/OptionsDlg.h"
#include "app/Splash.h"
#include "dialogs/AdvancedEmailSettingsDlgUnit.h"
#include "dialogs/SelectEventsDlgUnit.h"
#include "notify/SmtpMessage.h"
#include "platform/Autostart.h"
#include "support/AcceleratorKeys.h"
#include "support/DesktopEntry.h"
#include "support/ScriptedSmtpPeer.h"

namespace {

namespace fs = std::filesystem;

class SettingsDialogsTest : public MainFormFixture {
protected:
    SettingsDialogsTest() : MainFormFixture(71) {}

    // Opens a modal dialog with `open` and runs `steps` on it once it is shown. A dialog that
    // the steps leave open is cancelled after a few seconds, so that a failing test ends.
    template <class Dialog>
    bool WhileOpen(const std::function<void()>& open, const std::function<void(Dialog&)>& steps) {
        bool shown = false;
        QTimer::singleShot(0, form_.get(), [&] {
            auto* dialog = dynamic_cast<Dialog*>(QApplication::activeModalWidget());
            if (!dialog) return;
            shown = true;
            QTimer::singleShot(5000, dialog, [dialog] { dialog->reject(); });
            steps(*dialog);
        });
        open();
        return shown;
    }

    std::string Entry() const { return Path("autostart/avlo-monitor.desktop"); }
    // The program the entry starts (its first argument).
    std::optional<std::string> EntryProgram() const {
        const auto exec = desktopentry::Value(Entry(), "Exec");
        const auto command = exec ? desktopentry::ExecArguments(*exec) : std::nullopt;
        if (!command || command->empty()) return std::nullopt;
        return command->front();
    }

    // A device of the table, not connected, whose statuses the test hands to the core.
    std::uint16_t AlertDevice(const std::string& name, int host) {
        DeviceContext c = Ctx(name, Address(host), false);
        c.ModelCode = 3;
        c.Serial = "1020304" + std::to_string(host);
        const int id = form_->Core().AddDevice(&c);
        EXPECT_GT(id, 0);
        const auto deviceId = static_cast<std::uint16_t>(id);
        form_->Core().ApplyStatus(deviceId, HealthyStatus(), c.Serial, 3);
        return deviceId;
    }
    // Alerts are on; the decision's e-mails are recorded instead of sent.
    void RecordAlerts() {
        form_->Core().EmailSettings.Enabled = true;
        form_->Core().AlertRecorder = [this](CMonitorCore::Device& device, const DeviceStatus&) {
            alerts_.push_back(device.Name);
            return true;
        };
    }
    static DeviceStatus FanFault(int channel) {
        DeviceStatus s = HealthyStatus();
        s.FanOk[channel] = 0;
        return s;
    }

    std::vector<std::string> alerts_;
};

// Types text into a field key by key, as the keyboard does.
void Type(QWidget* widget, const QString& text) {
    for (const QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
        QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, QString(c));
        QApplication::sendEvent(widget, &press);
        QApplication::sendEvent(widget, &release);
    }
}

void Retype(QLineEdit* edit, const QString& text) {
    edit->selectAll();
    Type(edit, text);
}

QColor TextColour(const QWidget* widget) {
    return widget->palette().color(QPalette::Active, QPalette::Text);
}

// ---- options ----

struct PollCase {
    const char* name;
    std::int32_t stored;
    const char* shown;  // the list's entry on opening
    int choose;         // the entry the user picks, -1 for none
    bool ok;            // OK, else Cancel
    std::int32_t after;
};

const PollCase kPollCases[] = {
    {"one_minute", 60000, "1 Minute", -1, true, 60000},
    {"five_minutes", 300000, "5 Minutes", -1, true, 300000},
    {"ten_minutes", 600000, "10 Minutes", -1, true, 600000},
    {"one_to_ten", 60000, "1 Minute", 2, true, 600000},
    {"ten_to_one", 600000, "10 Minutes", 0, true, 60000},
    {"odd_value_ok", 123456, "5 Minutes", -1, true, 300000},
    {"odd_value_cancel", 123456, "5 Minutes", 0, false, 123456},
    {"changed_then_cancel", 60000, "1 Minute", 2, false, 60000},
};

TEST_F(SettingsDialogsTest, PollListMapsTheIntervalBothWays) {
    StartForm();
    for (const PollCase& c : kPollCases) {
        SCOPED_TRACE(c.name);
        form_->Core().Options.Poll = c.stored;
        const int running = form_->Core().PollTimer->interval();
        QString shown;
        ASSERT_TRUE(WhileOpen<TOptionsDlg>([this] { form_->OptionsMenuClick(); },
                                           [&](TOptionsDlg& d) {
                                               shown = d.PollIntervalComboBox->currentText();
                                               if (c.choose >= 0)
                                                   d.PollIntervalComboBox->setCurrentIndex(
                                                       c.choose);
                                               (c.ok ? d.OKBtn : d.CancelBtn)->click();
                                           }));
        EXPECT_EQ(shown, c.shown);
        EXPECT_EQ(form_->Core().Options.Poll, c.after);
        // OK puts the interval to work at once; Cancel leaves the running one alone.
        EXPECT_EQ(form_->Core().PollTimer->interval(), c.ok ? c.after : running);
    }
}

TEST_F(SettingsDialogsTest, DialogShowsTheRecordAndOkStoresEveryControlCancelNone) {
    StartForm();
    Options_Type& o = form_->Core().Options;
    o = Options_Type{60000, true, false, true, false};
    WhileOpen<TOptionsDlg>(
        [this] { form_->OptionsMenuClick(); },
        [this](TOptionsDlg& d) {
            EXPECT_EQ(d.windowTitle(), "Options");
            // Said as on this system: the desktop's log-in, and the program's own history
            // under the menu path the window really has.
            EXPECT_EQ(d.AddToStartupCheckBox->text().toStdString(),
                      "&Run AVLO Monitor when you log in");
            QString viewer = form_->ToolsMenu->title() + " > " + form_->EventViewerMenu->text();
            viewer.remove(QLatin1Char('&'));
            EXPECT_EQ(viewer, "Tools > Event Viewer");
            QStringList texts;
            for (const QLabel* label : d.findChildren<QLabel*>()) texts << label->text();
            EXPECT_TRUE(texts.contains(
                "AVLO Monitor can log status messages received from Velkan devices. Logged "
                "messages can be viewed in the event history (" +
                viewer + ")."))
                << texts.join(QLatin1Char('|')).toStdString();
            EXPECT_TRUE(d.EnableLogCheckBox->isChecked());
            EXPECT_FALSE(d.EnableAvloForNewCheckBox->isChecked());
            EXPECT_TRUE(d.AddToStartupCheckBox->isChecked());
            EXPECT_FALSE(d.NotifyCheckBox->isChecked());
            EXPECT_EQ(d.NotifyCheckBox->text(), "Show desktop &notifications");
            for (QCheckBox* box : {d.EnableLogCheckBox, d.EnableAvloForNewCheckBox,
                                   d.AddToStartupCheckBox, d.NotifyCheckBox}) {
                box->click();
            }
            d.PollIntervalComboBox->setCurrentIndex(2);
            d.CancelBtn->click();
        });
    EXPECT_EQ(o.Poll, 60000);
    EXPECT_TRUE(o.Log);
    EXPECT_FALSE(o.Avlo);
    EXPECT_TRUE(o.Startup);
    EXPECT_FALSE(o.Notify);

    WhileOpen<TOptionsDlg>(
        [this] { form_->OptionsMenuClick(); },
        [](TOptionsDlg& d) {
            for (QCheckBox* box : {d.EnableLogCheckBox, d.EnableAvloForNewCheckBox,
                                   d.AddToStartupCheckBox, d.NotifyCheckBox}) {
                box->click();
            }
            d.OKBtn->click();
        });
    EXPECT_FALSE(o.Log);
    EXPECT_TRUE(o.Avlo);
    EXPECT_FALSE(o.Startup);
    EXPECT_TRUE(o.Notify);
    EXPECT_FALSE(form_->OptionsDlg);  // made for the use, gone after it
}

TEST_F(SettingsDialogsTest, UntickingTheLogStopsEventWritesAtOnceIncludingTheEndEvent) {
    StartForm();
    ASSERT_EQ(EventsWithId(EV_MONITOR_STARTED).size(), 1u);
    WhileOpen<TOptionsDlg>([this] { form_->OptionsMenuClick(); },
                           [](TOptionsDlg& d) {
                               d.EnableLogCheckBox->click();
                               d.OKBtn->click();
                           });
    Add("Stage", Address(2), false);
    EXPECT_TRUE(EventsWithId(EV_DEVICE_REGISTERED).empty());
    StopForm();
    EXPECT_TRUE(EventsWithId(EV_MONITOR_STOPPED).empty());
    EXPECT_EQ(sink_.Events().size(), 1u);  // the start event only
}

TEST_F(SettingsDialogsTest, TheEntryComesAndGoesWithTheOptionAtStartUpAndAfterTheDialog) {
    if (auto missing = desktopentry::ValidatorMissing()) GTEST_SKIP() << *missing;
    StartForm();
    ASSERT_TRUE(fs::exists(Entry()));
    EXPECT_EQ(EntryProgram(), std::optional<std::string>(ExecutablePath()));

    WhileOpen<TOptionsDlg>([this] { form_->OptionsMenuClick(); },
                           [](TOptionsDlg& d) {
                               d.AddToStartupCheckBox->click();
                               d.OKBtn->click();
                           });
    EXPECT_FALSE(fs::exists(Entry()));
    StopForm();
    EXPECT_NE(ReadConfig().find("\r\nStartup=0\r\n"), std::string::npos);

    // The next start keeps it away; a stale entry (another copy's) goes as well.
    ASSERT_TRUE(SetRunAtLogon(true, {"/another/copy/avlo-monitor"}));
    StartForm();
    EXPECT_FALSE(fs::exists(Entry()));

    WhileOpen<TOptionsDlg>([this] { form_->OptionsMenuClick(); },
                           [](TOptionsDlg& d) {
                               d.AddToStartupCheckBox->click();
                               d.OKBtn->click();
                           });
    EXPECT_EQ(EntryProgram(), std::optional<std::string>(ExecutablePath()));
    std::string complaints;
    EXPECT_TRUE(desktopentry::Validate(Entry(), &complaints)) << complaints;

    // Cancel changes nothing, but the entry is put right all the same.
    fs::remove(Entry());
    WhileOpen<TOptionsDlg>([this] { form_->OptionsMenuClick(); },
                           [](TOptionsDlg& d) {
                               d.AddToStartupCheckBox->click();
                               d.CancelBtn->click();
                           });
    EXPECT_TRUE(fs::exists(Entry()));
}

// Both menus lead to the same dialog.
TEST_F(SettingsDialogsTest, MainMenuAndNotificationAreaMenuOpenTheOptions) {
    StartForm();
    for (QAction* item : {form_->OptionsMenu, form_->Options1}) {
        SCOPED_TRACE(item->objectName().toStdString());
        EXPECT_TRUE(WhileOpen<TOptionsDlg>([item] { item->trigger(); },
                                           [](TOptionsDlg& d) { d.CancelBtn->click(); }));
    }
}

// ---- about box and splash ----

TEST_F(SettingsDialogsTest, AboutBoxShowsTheVersionThatTheProgramPrintsAndIsMadeOnce) {
    QProcess program;
    program.start(QStringLiteral(AVLO_MONITOR_BIN), {QStringLiteral("--version")});
    ASSERT_TRUE(program.waitForFinished(10000));
    const QString printed = QString::fromUtf8(program.readAllStandardOutput()).trimmed();
    ASSERT_TRUE(printed.startsWith("AVLO Monitor ")) << printed.toStdString();
    const QString version = printed.mid(QStringLiteral("AVLO Monitor ").size());
    ASSERT_FALSE(version.isEmpty());

    StartForm();
    const int madeBefore = TAboutDlg::Instances();
    QString texts[2];
    TAboutDlg* boxes[2] = {};
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(WhileOpen<TAboutDlg>([this] { form_->AboutMenu->trigger(); },
                                         [&](TAboutDlg& d) {
                                             texts[i] = d.VersionLabel->text();
                                             EXPECT_EQ(d.windowTitle(), "About AVLO Monitor");
                                             boxes[i] = &d;
                                             d.OkBtn->click();
                                         }));
    }
    EXPECT_EQ(texts[0], "Version " + version);
    EXPECT_EQ(texts[1], texts[0]);
    EXPECT_EQ(boxes[0], boxes[1]);
    EXPECT_EQ(TAboutDlg::Instances() - madeBefore, 1);
}

// The box's own button is a button of the usual size in its corner, not a bar.
TEST_F(SettingsDialogsTest, AboutBoxOkButtonHasItsNaturalSize) {
    StartForm();
    form_->CreateAboutBox();
    TAboutDlg& box = *form_->AboutDlg;
    box.show();
    QApplication::processEvents();
    EXPECT_EQ(box.OkBtn->width(), box.OkBtn->sizeHint().width());
    EXPECT_EQ(box.OkBtn->height(), box.OkBtn->sizeHint().height());
    box.hide();
}

TEST_F(SettingsDialogsTest, LinkOpensTheHomePageAndShowsTheHandOnHover) {
    StartForm();
    form_->CreateAboutBox();
    TAboutDlg& box = *form_->AboutDlg;
    TLinkLabel* link = box.VelkanLinkLabel;
    ASSERT_TRUE(link->text().startsWith("https://")) << link->text().toStdString();
    EXPECT_NE(box.cursor().shape(), Qt::PointingHandCursor);

    const QPointF inside(3, 3);
    QEnterEvent enter(inside, inside, link->mapToGlobal(inside));
    QApplication::sendEvent(link, &enter);
    EXPECT_EQ(box.cursor().shape(), Qt::PointingHandCursor);
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(link, &leave);
    EXPECT_EQ(box.cursor().shape(), Qt::ArrowCursor);

    ShellSeam::TakeOpened();
    QMouseEvent press(QEvent::MouseButtonPress, inside, link->mapToGlobal(inside), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, inside, link->mapToGlobal(inside),
                        Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(link, &press);
    QApplication::sendEvent(link, &release);
    EXPECT_EQ(ShellSeam::TakeOpened(), std::vector<QString>{link->text()});
}

TEST_F(SettingsDialogsTest, SplashShowsItsPictureFramelessForItsTimeThenGoes) {
    {
        const TSplashScreenForm splash;
        EXPECT_EQ(splash.size(), QSize(448, 258));
        EXPECT_TRUE(splash.windowFlags() & Qt::FramelessWindowHint);
        const QImage picture = splash.pixmap().toImage();
        ASSERT_EQ(picture.size(), QSize(448, 258));
        // A drawing, not a plain fill.
        EXPECT_NE(picture.pixel(5, 5), picture.pixel(224, 140));
    }
    EXPECT_EQ(SplashMs, 2000);
    bool shownMeanwhile = false;
    QObject context;
    QTimer::singleShot(100, &context, [&] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (dynamic_cast<TSplashScreenForm*>(w) && w->isVisible()) shownMeanwhile = true;
        }
    });
    QElapsedTimer clock;
    clock.start();
    ShowSplashScreen(400);
    EXPECT_GE(clock.elapsed(), 400);
    EXPECT_TRUE(shownMeanwhile);
    for (QWidget* w : QApplication::topLevelWidgets()) {
        EXPECT_FALSE(dynamic_cast<TSplashScreenForm*>(w) && w->isVisible());
    }
}

// ---- notifiable events ----

TEST_F(SettingsDialogsTest, WithoutAlertsOnlyTheChannelClassCanChange) {
    StartForm();
    form_->EnableEmailRadioBtn->setChecked(true);  // the page's buttons need it
    form_->Core().NotifiableEvents = {true, false, false, false, false};
    ASSERT_TRUE(WhileOpen<TSelectEventsDlg>(
        [this] { form_->SelectEventsBtn->click(); },
        [](TSelectEventsDlg& d) {
            EXPECT_EQ(d.windowTitle(), "Select Events");
            EXPECT_TRUE(d.ChannelEventCheckBox->isEnabled());
            EXPECT_TRUE(d.ChannelEventCheckBox->isChecked());
            for (QCheckBox* box :
                 {d.PowerSupplyEventCheckBox, d.FanEventCheckBox, d.TemperatureEventCheckBox,
                  d.OverCurrentEventCheckBox, d.MaintenanceEventCheckBox}) {
                EXPECT_FALSE(box->isEnabled()) << box->objectName().toStdString();
                EXPECT_FALSE(box->isChecked()) << box->objectName().toStdString();
            }
            d.ChannelEventCheckBox->click();
            d.FanEventCheckBox->click();  // disabled: nothing happens
            MessageBoxSeam::SetNextAnswer(MsgResultYes);
            d.OkBtn->click();
        }));
    const NotifiableEvents_Type& e = form_->Core().NotifiableEvents;
    EXPECT_FALSE(e.ChanErr);
    EXPECT_FALSE(e.PSupplyErr || e.FanErr || e.TempErr || e.OvcErr);
}

TEST_F(SettingsDialogsTest, WithAlertsEveryClassCanChangeAndCancelStoresNothing) {
    StartForm({"alerts"});
    form_->Core().NotifiableEvents = {true, false, true, false, true};
    WhileOpen<TSelectEventsDlg>(
        [this] { form_->SelectEventsBtn1Click(); },
        [](TSelectEventsDlg& d) {
            EXPECT_TRUE(d.FanEventCheckBox->isChecked());
            EXPECT_FALSE(d.TemperatureEventCheckBox->isChecked());
            for (QCheckBox* box : {d.ChannelEventCheckBox, d.PowerSupplyEventCheckBox,
                                   d.FanEventCheckBox, d.TemperatureEventCheckBox,
                                   d.OverCurrentEventCheckBox, d.MaintenanceEventCheckBox}) {
                EXPECT_TRUE(box->isEnabled()) << box->objectName().toStdString();
                if (box != d.MaintenanceEventCheckBox) box->click();
            }
            d.CancelBtn->click();
        });
    const NotifiableEvents_Type& e = form_->Core().NotifiableEvents;
    EXPECT_TRUE(e.ChanErr && !e.PSupplyErr && e.FanErr && !e.TempErr && e.OvcErr);

    WhileOpen<TSelectEventsDlg>(
        [this] { form_->SelectEventsBtn1Click(); },
        [](TSelectEventsDlg& d) {
            for (QCheckBox* box :
                 {d.ChannelEventCheckBox, d.PowerSupplyEventCheckBox, d.FanEventCheckBox,
                  d.TemperatureEventCheckBox, d.OverCurrentEventCheckBox}) {
                box->click();
            }
            d.OkBtn->click();
        });
    EXPECT_TRUE(!e.ChanErr && e.PSupplyErr && !e.FanErr && e.TempErr && !e.OvcErr);
    EXPECT_TRUE(MessageBoxSeam::TakeShown().empty());
}

TEST_F(SettingsDialogsTest, ClearingEveryClassAsksFirstNoKeepsTheDialogYesStoresIt) {
    StartForm({"alerts"});
    const char* const question =
        "You have de-selected all notifiable events.\r\nThis means that the Velkan device will not "
        "send any\r\nnotifications, regadless of any type of failure of the device.\r\nIs this "
        "what you want?";
    bool openAfterNo = false;
    NotifiableEvents_Type afterNo{};
    WhileOpen<TSelectEventsDlg>(
        [this] { form_->SelectEventsBtn1Click(); },
        [&](TSelectEventsDlg& d) {
            d.ChannelEventCheckBox->click();
            MessageBoxSeam::SetNextAnswer(MsgResultNo);
            d.OkBtn->click();
            openAfterNo = d.isVisible();
            afterNo = form_->Core().NotifiableEvents;
            const auto shown = MessageBoxSeam::TakeShown();
            ASSERT_EQ(shown.size(), 1u);
            EXPECT_EQ(shown[0].kind, MsgKind::Confirmation);
            EXPECT_EQ(shown[0].text, question);
            EXPECT_FALSE(d.ChannelEventCheckBox->isChecked());  // as the user left it

            MessageBoxSeam::SetNextAnswer(MsgResultYes);
            d.OkBtn->click();
        });
    EXPECT_TRUE(openAfterNo);
    EXPECT_TRUE(afterNo.ChanErr);  // nothing stored on No
    const NotifiableEvents_Type& e = form_->Core().NotifiableEvents;
    EXPECT_FALSE(e.ChanErr || e.PSupplyErr || e.FanErr || e.TempErr || e.OvcErr);
    EXPECT_EQ(MessageBoxSeam::TakeShown().size(), 1u);
}

TEST_F(SettingsDialogsTest, MaintenanceReminderOnlyChangesItsOwnLook) {
    StartForm({"alerts"});
    const NotifiableEvents_Type before = form_->Core().NotifiableEvents;
    WhileOpen<TSelectEventsDlg>(
        [this] { form_->SelectEventsBtn1Click(); },
        [](TSelectEventsDlg& d) {
            EXPECT_FALSE(d.ReminderComboBox->isEnabled());
            EXPECT_EQ(d.ReminderComboBox->currentText(), "6 Months");
            EXPECT_EQ(d.ReminderComboBox->palette().color(QPalette::ButtonText),
                      QColor(128, 128, 128));
            d.MaintenanceEventCheckBox->click();
            EXPECT_TRUE(d.ReminderComboBox->isEnabled());
            EXPECT_NE(d.ReminderComboBox->palette().color(QPalette::ButtonText),
                      QColor(128, 128, 128));
            d.ReminderComboBox->setCurrentIndex(1);
            d.MaintenanceEventCheckBox->click();
            EXPECT_FALSE(d.ReminderComboBox->isEnabled());
            d.OkBtn->click();
        });
    const NotifiableEvents_Type& e = form_->Core().NotifiableEvents;
    EXPECT_TRUE(e.ChanErr == before.ChanErr && e.FanErr == before.FanErr &&
                e.PSupplyErr == before.PSupplyErr && e.TempErr == before.TempErr &&
                e.OvcErr == before.OvcErr);
    StopForm();
    EXPECT_EQ(ReadConfig().find("onths"), std::string::npos);
}

// The rules beside the classes: the dialog shows the record's values (one out of range as the
// nearest allowed), OK stores what the user set, Cancel nothing; the minutes follow their box.
struct AlertRulesCase {
    const char* what;
    NotifiableEvents_Type stored;
    NotifiableEvents_Type shown;  // the rules' four values as the boxes show them
    bool toggleLost, toggleRecovery;
    int minutes, confirm;  // typed in; 0: left as shown
    NotifiableEvents_Type expected;
};

NotifiableEvents_Type Rules(bool lost, int minutes, bool recovery, int confirm) {
    NotifiableEvents_Type e;
    e.LostErr = lost;
    e.LostMinutes = minutes;
    e.Recovery = recovery;
    e.Confirm = confirm;
    return e;
}

TEST_F(SettingsDialogsTest, AlertRulesShowTheRecordAndOkStoresThem) {
    const AlertRulesCase cases[] = {
        {"defaults kept", Rules(true, 2, false, 1), Rules(true, 2, false, 1), false, false, 0, 0,
         Rules(true, 2, false, 1)},
        {"every value changed", Rules(true, 2, false, 1), Rules(true, 2, false, 1), true, true, 45,
         3, Rules(false, 45, true, 3)},
        {"the largest values", Rules(false, 30, true, 2), Rules(false, 30, true, 2), true, true,
         1440, 10, Rules(true, 1440, false, 10)},
        {"out of range shown and stored as the nearest", Rules(true, 0, false, 99),
         Rules(true, 1, false, 10), false, false, 0, 0, Rules(true, 1, false, 10)},
        {"too many minutes", Rules(true, 5000, true, -3), Rules(true, 1440, true, 1), false, false,
         0, 0, Rules(true, 1440, true, 1)},
    };
    StartForm();
    for (const AlertRulesCase& c : cases) {
        SCOPED_TRACE(c.what);
        form_->Core().NotifiableEvents = c.stored;
        for (const bool ok : {false, true}) {
            ASSERT_TRUE(WhileOpen<TSelectEventsDlg>(
                [this] { form_->SelectEventsBtn1Click(); },
                [&](TSelectEventsDlg& d) {
                    EXPECT_EQ(d.LostEventCheckBox->isChecked(), c.shown.LostErr);
                    EXPECT_EQ(d.LostMinutesSpinBox->value(), c.shown.LostMinutes);
                    EXPECT_EQ(d.LostMinutesSpinBox->isEnabled(), c.shown.LostErr);
                    EXPECT_EQ(d.RecoveryCheckBox->isChecked(), c.shown.Recovery);
                    EXPECT_EQ(d.ConfirmSpinBox->value(), c.shown.Confirm);
                    if (c.toggleLost) d.LostEventCheckBox->click();
                    EXPECT_EQ(d.LostMinutesSpinBox->isEnabled(), d.LostEventCheckBox->isChecked());
                    if (c.toggleRecovery) d.RecoveryCheckBox->click();
                    if (c.minutes) d.LostMinutesSpinBox->setValue(c.minutes);
                    if (c.confirm) d.ConfirmSpinBox->setValue(c.confirm);
                    (ok ? d.OkBtn : d.CancelBtn)->click();
                }));
            const NotifiableEvents_Type& e = form_->Core().NotifiableEvents;
            const NotifiableEvents_Type& want = ok ? c.expected : c.stored;
            EXPECT_EQ(e.LostErr, want.LostErr) << ok;
            EXPECT_EQ(e.LostMinutes, want.LostMinutes) << ok;
            EXPECT_EQ(e.Recovery, want.Recovery) << ok;
            EXPECT_EQ(e.Confirm, want.Confirm) << ok;
            // The classes are not touched by the rules.
            EXPECT_EQ(e.ChanErr, c.stored.ChanErr) << ok;
        }
    }
}

// The captions as written, and their keys: each letter once in the dialog.
TEST_F(SettingsDialogsTest, AlertRulesTextsAndKeysDoNotClash) {
    StartForm({"alerts"});
    ASSERT_TRUE(WhileOpen<TSelectEventsDlg>(
        [this] { form_->SelectEventsBtn1Click(); },
        [](TSelectEventsDlg& d) {
            QStringList texts;
            for (const QLabel* label : d.findChildren<QLabel*>()) texts << label->text();
            EXPECT_EQ(d.LostEventCheckBox->text(), "Device not &reachable for");
            EXPECT_TRUE(texts.contains(QStringLiteral("minutes")));
            EXPECT_EQ(d.RecoveryCheckBox->text(), "Send a &notice when an alerted problem clears");
            EXPECT_EQ(d.ConfirmLabel->text(), "A&lert only after a fault is seen in");
            EXPECT_EQ(d.ConfirmLabel->buddy(), d.ConfirmSpinBox);
            EXPECT_TRUE(texts.contains(QStringLiteral("statuses in a row")));
            EXPECT_EQ(d.LostMinutesSpinBox->minimum(), 1);
            EXPECT_EQ(d.LostMinutesSpinBox->maximum(), 1440);
            EXPECT_EQ(d.ConfirmSpinBox->minimum(), 1);
            EXPECT_EQ(d.ConfirmSpinBox->maximum(), 10);

            QStringList captions;
            for (const QAbstractButton* b : d.findChildren<QAbstractButton*>())
                captions << b->text();
            captions << d.ConfirmLabel->text();
            EXPECT_EQ(ClashingKeys(captions), "");
            EXPECT_EQ(AcceleratorKeys(captions).size(), 11)
                << AcceleratorKeys(captions).toStdString();
            d.CancelBtn->click();
        }));
}

// What the dialog stores decides the next alert: a fan fault alerts once the fan class is
// ticked, and after every class is cleared no fault alerts at all.
TEST_F(SettingsDialogsTest, StoredFlagsDecideTheNextAlert) {
    StartForm({"alerts"});
    RecordAlerts();
    const std::uint16_t stage = AlertDevice("Stage", 2);
    form_->Core().ApplyStatus(stage, FanFault(0), "10203042", 3);
    EXPECT_TRUE(alerts_.empty());  // fans are not selected by default

    WhileOpen<TSelectEventsDlg>([this] { form_->SelectEventsBtn1Click(); },
                                [](TSelectEventsDlg& d) {
                                    d.FanEventCheckBox->click();
                                    d.OkBtn->click();
                                });
    form_->Core().ApplyStatus(stage, FanFault(0), "10203042", 3);
    EXPECT_EQ(alerts_, std::vector<std::string>{"Stage"});

    WhileOpen<TSelectEventsDlg>([this] { form_->SelectEventsBtn1Click(); },
                                [](TSelectEventsDlg& d) {
                                    d.ChannelEventCheckBox->click();
                                    d.FanEventCheckBox->click();
                                    MessageBoxSeam::SetNextAnswer(MsgResultYes);
                                    d.OkBtn->click();
                                });
    const std::uint16_t balcony = AlertDevice("Balcony", 3);
    DeviceStatus everything = FanFault(1);
    everything.ChannelOk[0] = 0;
    form_->Core().ApplyStatus(balcony, everything, "10203043", 3);
    EXPECT_EQ(alerts_.size(), 1u);
}

// ---- advanced e-mail settings ----

LocalDateTime FifthOfMarch2024() {
    LocalDateTime t;
    t.year = 2024;
    t.month = 3;
    t.day = 5;
    t.hour = 10;
    return t;
}

TEST_F(SettingsDialogsTest, InstallerBoxFillsTodaysDateOnlyIntoEmptyFields) {
    SetClockOverride(FifthOfMarch2024);
    StartForm();
    form_->EnableEmailRadioBtn->setChecked(true);  // the page's buttons need it
    WhileOpen<TAdvancedEmailDlg>([this] { form_->AdvancedEmailBtn->click(); },
                                 [](TAdvancedEmailDlg& d) {
                                     EXPECT_EQ(d.windowTitle(), "Advanced E-mail Settings");
                                     EXPECT_FALSE(d.DayEdit->isEnabled());
                                     d.InstallerDetailsCheckBox->click();
                                     EXPECT_TRUE(d.DayEdit->isEnabled());
                                     EXPECT_EQ(d.DayEdit->text(), "05");
                                     EXPECT_EQ(d.MonthEdit->text(), "03");
                                     EXPECT_EQ(d.YearEdit->text(), "24");
                                     d.OkBtn->click();
                                 });
    const AdvancedEmail_Type& a = form_->Core().AdvancedEmail;
    EXPECT_TRUE(a.Installer);
    EXPECT_EQ(a.InstallDay + "/" + a.InstallMonth + "/" + a.InstallYear, "05/03/24");

    // With one field typed nothing is filled, whichever way the box goes.
    form_->Core().AdvancedEmail = AdvancedEmail_Type{};
    form_->Core().AdvancedEmail.InstallYear = "19";
    WhileOpen<TAdvancedEmailDlg>([this] { form_->AdvancedEmailBtn1Click(); },
                                 [](TAdvancedEmailDlg& d) {
                                     d.InstallerDetailsCheckBox->click();
                                     d.InstallerDetailsCheckBox->click();
                                     EXPECT_EQ(d.DayEdit->text(), "");
                                     EXPECT_EQ(d.MonthEdit->text(), "");
                                     EXPECT_EQ(d.YearEdit->text(), "19");
                                     // Clearing the box with empty fields fills them too.
                                     Retype(d.YearEdit, "");
                                     d.YearEdit->clear();
                                     d.InstallerDetailsCheckBox->click();
                                     EXPECT_EQ(d.DayEdit->text(), "05");
                                     d.CancelBtn->click();
                                 });
    EXPECT_EQ(form_->Core().AdvancedEmail.InstallYear, "19");
}

// The date filled in by the box is not typing: the focus stays where the user has it, so what
// the user types next goes where it was meant to. Typing a full field moves on.
TEST_F(SettingsDialogsTest, FilledDateLeavesTheFocusAndTypedDateMovesItOn) {
    SetClockOverride(FifthOfMarch2024);
    StartForm();
    form_->EnableEmailRadioBtn->setChecked(true);
    WhileOpen<TAdvancedEmailDlg>([this] { form_->AdvancedEmailBtn->click(); },
                                 [](TAdvancedEmailDlg& d) {
                                     d.InstallerDetailsCheckBox->setFocus();
                                     d.InstallerDetailsCheckBox->click();
                                     EXPECT_EQ(d.YearEdit->text(), "24");
                                     EXPECT_EQ(d.focusWidget(), d.InstallerDetailsCheckBox);

                                     Retype(d.DayEdit, "17");
                                     EXPECT_EQ(d.focusWidget(), d.MonthEdit);
                                     Retype(d.MonthEdit, "1");
                                     EXPECT_EQ(d.focusWidget(), d.MonthEdit);
                                     Type(d.MonthEdit, "1");
                                     EXPECT_EQ(d.focusWidget(), d.YearEdit);
                                     d.CancelBtn->click();
                                 });
}

TEST_F(SettingsDialogsTest, DateFieldsRefuseLettersMarkOutOfRangeRedAndStoreAsTyped) {
    StartForm();
    form_->Core().AdvancedEmail.Installer = true;
    form_->show();
    WhileOpen<TAdvancedEmailDlg>([this] { form_->AdvancedEmailBtn1Click(); },
                                 [](TAdvancedEmailDlg& d) {
                                     const QColor normal = TextColour(d.DayEdit);
                                     EXPECT_NE(normal, QColor(Qt::red));

                                     Type(d.DayEdit, "4");
                                     Type(d.DayEdit, "x");
                                     EXPECT_EQ(d.DayEdit->text(), "4");  // the letter is refused
                                     EXPECT_EQ(d.LastDayText, "4");
                                     Type(d.DayEdit, "5");
                                     EXPECT_EQ(d.DayEdit->text(), "45");
                                     EXPECT_EQ(TextColour(d.DayEdit), QColor(Qt::red));
                                     Retype(d.DayEdit, "31");
                                     EXPECT_EQ(TextColour(d.DayEdit), normal);

                                     Retype(d.MonthEdit, "13");
                                     EXPECT_EQ(TextColour(d.MonthEdit), QColor(Qt::red));
                                     Retype(d.MonthEdit, "00");
                                     EXPECT_EQ(TextColour(d.MonthEdit), normal);
                                     Retype(d.MonthEdit, "1a");
                                     EXPECT_EQ(d.MonthEdit->text(), "1");
                                     Retype(d.MonthEdit, "00");

                                     Retype(d.YearEdit, "b");
                                     EXPECT_EQ(d.YearEdit->text(), "");
                                     Type(d.YearEdit, "99");
                                     Retype(d.DayEdit, "45");
                                     d.OkBtn->click();
                                 });
    const AdvancedEmail_Type& a = form_->Core().AdvancedEmail;
    EXPECT_EQ(a.InstallDay, "45");
    EXPECT_EQ(a.InstallMonth, "00");
    EXPECT_EQ(a.InstallYear, "99");
}

TEST_F(SettingsDialogsTest, GroupsFollowTheirBoxesAndOkStoresEveryFieldCancelNone) {
    StartForm();
    AdvancedEmail_Type& a = form_->Core().AdvancedEmail;
    a.Customer = true;
    a.CustomerName = "Grand Hall";
    a.ByEmail = true;
    a.CustomerPhone = "+44 20 7946 0000";
    WhileOpen<TAdvancedEmailDlg>(
        [this] { form_->AdvancedEmailBtn1Click(); },
        [](TAdvancedEmailDlg& d) {
            EXPECT_TRUE(d.EmailNotificationRadioButton->isChecked());
            EXPECT_EQ(d.CustomerNameEdit->text(), "Grand Hall");
            EXPECT_TRUE(d.PhoneNrEdit->isEnabled());
            EXPECT_FALSE(d.InstallerNameEdit->isEnabled());
            d.CustomerDetailsCheckBox->click();
            for (QWidget* w : std::initializer_list<QWidget*>{
                     d.CustomerNameEdit, d.PhoneNrEdit, d.EmailNotificationRadioButton,
                     d.PhoneNotificationRadioButton, d.CustomerNameLabel, d.MethodOfContactLabel,
                     d.PhoneNrLabel}) {
                EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
            }
            EXPECT_NE(d.CustomerNameEdit->palette().color(QPalette::Base),
                      d.InstallerDetailsCheckBox->palette().color(QPalette::Base));
            d.CancelBtn->click();
        });
    EXPECT_TRUE(a.Customer);

    WhileOpen<TAdvancedEmailDlg>([this] { form_->AdvancedEmailBtn1Click(); },
                                 [](TAdvancedEmailDlg& d) {
                                     d.PhoneNotificationRadioButton->click();
                                     d.CustomerDetailsCheckBox->click();
                                     EXPECT_EQ(d.CustomerNameEdit->text(),
                                               "Grand Hall");  // kept while off
                                     d.InstallerDetailsCheckBox->click();
                                     d.InstallerNameEdit->setText("Sound & Light Ltd");
                                     d.OkBtn->click();
                                 });
    EXPECT_FALSE(a.Customer);
    EXPECT_EQ(a.CustomerName, "Grand Hall");
    EXPECT_FALSE(a.ByEmail);
    EXPECT_EQ(a.CustomerPhone, "+44 20 7946 0000");
    EXPECT_TRUE(a.Installer);
    EXPECT_EQ(a.InstallerName, "Sound & Light Ltd");
    StopForm();
    EXPECT_NE(ReadConfig().find("[Advanced]\r\nCustomer=0\r\nCustomerName=Grand Hall\r\n"),
              std::string::npos)
        << ReadConfig();
}

TEST_F(SettingsDialogsTest, StoredDetailsReachTheNextAlertEmail) {
    using P = ScriptedSmtpPeer;
    ScriptedSmtpPeer peer(Address(9));
    ASSERT_TRUE(peer.Listening());
    peer.Serve(P::Script{P::Reply("220 ready"), P::Expect("*"), P::Reply("250 hello"),
                         P::Expect("RSET"), P::Reply("250 reset"), P::Expect("*"),
                         P::Reply("250 sender"), P::Expect("*"), P::Reply("250 recipient"),
                         P::Expect("DATA"), P::Reply("354 go on"), P::Data(),
                         P::Reply("250 queued"), P::Expect("QUIT"), P::Reply("221 bye")});
    SetClockOverride(FifthOfMarch2024);
    StartForm();
    EmailSettings_Type& mail = form_->Core().EmailSettings;
    mail.Enabled = true;
    mail.server = Address(9);
    mail.port = peer.PortText();
    mail.userName = "Monitor";
    mail.sender = "monitor@example.com";
    mail.recipient[0] = "tech@example.com";
    mail.recipient[1].clear();
    mail.recipient[2].clear();

    WhileOpen<TAdvancedEmailDlg>([this] { form_->AdvancedEmailBtn1Click(); },
                                 [](TAdvancedEmailDlg& d) {
                                     d.CustomerDetailsCheckBox->click();
                                     d.CustomerNameEdit->setText("Grand Hall");
                                     d.PhoneNrEdit->setText("0123 456");
                                     d.InstallerDetailsCheckBox->click();  // today's date
                                     d.InstallerNameEdit->setText("Ann Fitter");
                                     d.OkBtn->click();
                                 });
    const std::uint16_t stage = AlertDevice("Stage", 2);
    DeviceStatus fault = HealthyStatus();
    fault.ChannelOk[1] = 0;
    form_->Core().ApplyStatus(stage, fault, "10203042", 3);
    ASSERT_TRUE(WaitUntil([this] { return !EventsWithId(EV_EMAIL_SENT).empty(); }, 15000));
    ASSERT_TRUE(peer.WaitFinished(std::chrono::seconds(10)));
    // The sections as they travel: quoted-printable, line by line.
    const std::string sections = EncodeSmtpQuotedPrintable(
        "Total On Time: Not Available\r\n"
        "\r\nCustomer's Details:\r\n"
        "\t\xC2\xB7 Name: \t\t\tGrand Hall\r\n"
        "\t\xC2\xB7 Telephone No: \t\t\t0123 456\r\n"
        "\t\xC2\xB7 Preferred Method of Contact: \tTelephone\r\n"
        "\r\nInstaller's Details:\r\n"
        "\t\xC2\xB7 Name: \t\t\tAnn Fitter\r\n"
        "\t\xC2\xB7 Installation Date (dd/mm/yy): \t05/03/24\r\n");
    const std::string message = peer.Get(0).data;
    EXPECT_NE(message.find("\r\n" + sections), std::string::npos) << message;
}

}  // namespace
